// The virtual keyboard's model: the simulation file, read and checked, and the keyboards it
// describes, which answer messages as the file says. It needs pugixml alone, so that kxb can run a
// recording's messages through it (kxb twin) in every build, also one against the maker's library.
#ifndef KAVELHIDAPI_MODEL_H
#define KAVELHIDAPI_MODEL_H

#include <pugixml.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kavelvk {

// Statuses of the virtual keyboard itself; every other value comes from the simulation file.
constexpr int STATUS_OK = 0;
constexpr int STATUS_NOT_OPEN = 0x101;
constexpr int STATUS_NO_ANSWER = 0x102;
constexpr int STATUS_MALFORMED = 0x103;
// The call is not the one the replayed recording holds next (or the recording has ended).
constexpr int STATUS_REPLAY_DIFFERS = 0x104;

// What HIDGetLibraryVersion reports when nothing says otherwise.
inline constexpr int DEFAULT_LIBRARY_VERSION[3] = {1, 0, 0};

constexpr int CONTROLLER_ADDRESS = 2;
constexpr int MODULE_SLOTS = 16;
constexpr std::size_t MEMORY_SIZE = 0x10000;

// Reads hexadecimal text as strtol in base 16 does (leading white space, sign, 0x), with nothing
// after the digits; false for empty text, no digit, trailing characters or a value beyond a long.
bool ParseHexNumber(const char* text, long* value);
// Reads a status: a hexadecimal number that fits a signed 32-bit value, or 80000000..FFFFFFFF
// taken as its two's complement (FFFFFFFF and -1 are the same status).
bool ParseStatus(const char* text, int* status);
// Reads a strict byte list: two hex digits per byte, single blanks between bytes, nothing else.
bool ParseByteList(const char* text, std::vector<std::uint8_t>* bytes);
// Reads a dotted decimal version "a.b.c"; each part a decimal number that fits an int.
bool ParseLibraryVersion(const char* text, int version[3]);

// Appends bytes as two uppercase hex digits each, separated by single blanks.
void AppendByteList(std::string* out, const std::uint8_t* bytes, std::size_t count);
// Appends a status in lowercase hex without leading zeros, negatives as 32-bit two's complement.
void AppendStatus(std::string* out, int status);
// Appends a number in uppercase hex without leading zeros (0 gives 0).
void AppendUpperHex(std::string* out, unsigned long value);

// The 64 KiB memory of one unit and which of its bytes were ever set.
class UnitMemory {
public:
    std::uint8_t Read(std::uint16_t address) const { return bytes[address]; }
    bool IsSet(std::uint16_t address) const { return (setBits[address >> 6] >> (address & 63)) & 1u; }
    void Write(std::uint16_t address, std::uint8_t value) {
        bytes[address] = value;
        setBits[address >> 6] |= std::uint64_t{1} << (address & 63);
    }

private:
    std::array<std::uint8_t, MEMORY_SIZE> bytes{};
    std::array<std::uint64_t, MEMORY_SIZE / 64> setBits{};
};

// One unit of a keyboard (the controller or a module): its fixed answers and its memory.
struct Unit {
    bool bHasVersion = false;
    std::vector<std::uint8_t> version;
    bool bHasConfig = false;
    std::vector<std::uint8_t> config;
    bool bHasSubId = false;
    std::vector<std::uint8_t> subId;
    bool bHasEeprom = false;
    std::vector<std::uint8_t> eeprom;
    // Allocated on the first byte set; a unit without it reads 00 everywhere.
    std::unique_ptr<UnitMemory> memory;

    std::uint8_t ReadMemory(std::uint16_t address) const { return memory ? memory->Read(address) : 0; }
    // Stores bytes from address on, wrapping at FFFF, and marks them as set.
    void WriteMemory(std::uint16_t address, const std::uint8_t* data, std::size_t count);
};

// An Inject element: takes over the matching messages numbered Skip+1 .. Skip+Count.
struct Injection {
    bool bAnyCmd = true;
    std::uint8_t cmd = 0;
    bool bAnyDst = true;
    std::uint8_t dst = 0;
    unsigned long skip = 0;
    bool bEndless = true;
    unsigned long count = 0;
    int status = STATUS_OK;
    // The signal raised in the calling process while a message is taken over; 0 for none.
    int signal = 0;
    std::vector<std::uint8_t> answer;
    // How many messages matched so far; the next match has number matches + 1.
    unsigned long matches = 0;
};

// What a message gets back: a status and the answer bytes (not owned), and the signal to raise
// before the call returns (0 for none).
struct Reply {
    int status = STATUS_OK;
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    int signal = 0;
};

// The highest signal number an Inject element may raise.
constexpr long SIGNAL_MAX = 0x40;

// One Keyboard element: what the file says about it and what the messages have done to it since.
class Keyboard {
public:
    pugi::xml_node node;
    // The Batch it stands in (an index into Simulation::batches; 0 when there are none) and how
    // long after that batch it is plugged in, in milliseconds.
    std::size_t batch = 0;
    long long plugAfter = 0;
    int openStatus = STATUS_OK;
    int enumerateModulesStatus = STATUS_OK;
    // Index 0 is the controller (bus address 2); index 1 + i the module in slot i, if present.
    std::array<std::unique_ptr<Unit>, 1 + MODULE_SLOTS> units;
    // First Answer element per message type and bus address, key cmd << 8 | dst.
    std::unordered_map<unsigned, std::vector<std::uint8_t>> answers;
    std::vector<Injection> injections;
    // Set when a message stored bytes in a memory since the last save.
    bool bMemoryChanged = false;

    Keyboard();
    // The unit at a bus address, or null when no unit answers there.
    Unit* UnitAt(unsigned address);
    // Numbers the message for every Inject, then answers it. scratch holds the answer of a memory
    // read; the reply points into it or into the keyboard's own data.
    Reply Message(std::uint8_t cmd, std::uint8_t dst, const std::uint8_t* data, std::size_t dataLen,
                  std::vector<std::uint8_t>* scratch);

private:
    Reply Answer(std::uint8_t cmd, std::uint8_t dst, const std::uint8_t* data, std::size_t dataLen,
                 std::vector<std::uint8_t>* scratch);
};

// The bus address of the unit at index i of Keyboard::units.
inline unsigned UnitAddress(std::size_t index) {
    return index == 0 ? CONTROLLER_ADDRESS : 4 + 2 * static_cast<unsigned>(index - 1);
}

// A Batch element: keyboards plugged in together and unplugged together once served. Times are
// milliseconds.
struct Batch {
    pugi::xml_node node;
    // After the previous batch was unplugged (the first: after the library's first call).
    long long plugAfter = 0;
    // After the batch was served.
    long long unplugAfter = 0;
    // Its keyboards: Simulation::keyboards[firstKeyboard .. firstKeyboard + keyboardCount - 1].
    std::size_t firstKeyboard = 0;
    std::size_t keyboardCount = 0;
};

// A simulation document, checked and turned into keyboards.
class Simulation {
public:
    int libraryVersion[3] = {1, 0, 0};
    // What Count() reports after Enumerate when there are no batches: the Count element or the
    // number of keyboards.
    int count = 0;
    std::vector<std::unique_ptr<Keyboard>> keyboards;
    // Empty when the keyboards stand in no Batch: then every keyboard is attached all the time.
    std::vector<Batch> batches;

    // Reads and checks a file; on failure fills *error with one line saying what is wrong.
    bool LoadFile(const std::string& path, std::string* error);
    // The same for a document held in memory (used by the tests).
    bool LoadText(const std::string& text, std::string* error);
    // Rewrites every keyboard's Memory elements from the memory as it stands.
    void UpdateMemoryElements();
    // Updates the Memory elements and writes the document to path; false when it cannot be written.
    bool Save(const std::string& path);
    // Saves to path unless the last save there already holds the memory as it stands; false when
    // it cannot be written.
    bool SaveChanges(const std::string& path);
    // Updates the Memory elements and returns the document as text (used by the tests).
    std::string SaveText();

    // Fills *attached with the indexes into keyboards of those attached at time now (milliseconds
    // on the library's clock), in document order.
    void Attached(long long now, std::vector<std::size_t>* attached);
    // Whether a keyboard is attached at time now.
    bool IsAttached(const Keyboard& keyboard, long long now);
    // Marks the batch of a keyboard served at time now, unless it was served before.
    void Serve(const Keyboard& keyboard, long long now);

private:
    bool Build(std::string* error);
    // Unplugs the current batch and plugs in the next when their time has come.
    void Advance(long long now);
    pugi::xml_document document;
    std::string savedPath;
    // The batch plugged in now or next (batches.size() after the last) and when it is plugged in.
    std::size_t currentBatch = 0;
    long long currentPluggedAt = 0;
    bool bCurrentServed = false;
    long long currentUnpluggedAt = 0;
};

// Makes text safe for a one-line message: control characters become \xNN.
std::string OneLine(const std::string& text);

} // namespace kavelvk

#endif
