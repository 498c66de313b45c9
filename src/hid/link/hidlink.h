// The program's side of the device link: every protocol message that kavelwrite and kxb send, the
// bus addresses they go to, and the one way each to send a message with an answer and without.
// The library's own interface is kavelhidapi.h one folder up, as the bundled library declares it;
// a build against the maker's library takes the maker's copy, which is why this folder has none.
#ifndef KAVELWRITE_HIDLINK_H
#define KAVELWRITE_HIDLINK_H

#include <array>
#include <memory>
#include <string>
#include <vector>

class KavelHid;
class KavelHidDevice;

// ---- messages.cpp: the message table

// Message types.
const unsigned char MID_MSGT_CMD_EXE_RD_CONFIG = 0x11; // controller: a type id per module slot
const unsigned char MID_MSGT_CMD_RD_MEM = 0x16;        // address low, address high, length: the bytes
const unsigned char MID_MSGT_CMD_WR_MEM = 0x17;        // address low, address high, the bytes; no answer
const unsigned char MID_MSGT_CMD_RESET = 0xF1;         // controller: restart with what was written
const unsigned char MID_MSGT_CMD_VERSION = 0xF7;       // type id, major, minor, build, perhaps a fifth byte
const unsigned char MID_MSGT_CMD_RD_MODULE_EEPROM = 0xF9; // module: a block of its EEPROM
const unsigned char MID_MSGT_CMD_FF = 0xFF;               // module: its own bus address and its sub-id

// Bus addresses.
const int MID_ADDR_MASTER = 2;       // the controller
const int MID_ADDR_NONE = 0x3F;      // no module
const int MID_ADDR_MODULE_FIRST = 4; // the module in slot 0; each further slot adds 2
// Returns the bus address of the module in slot nSlot (the caller keeps nSlot in range).
constexpr int ModuleBusAddress(int nSlot) {
    return MID_ADDR_MODULE_FIRST + 2 * nSlot;
}

// A unit's memory: 16-bit addresses, sent low byte first.
const int MID_MEMORY_SIZE = 0x10000;
// The most bytes one memory read can ask for: its length travels in one byte.
const int MID_RD_MEM_LENGTH_MAX = 0xFF;

// Status 281 means the keyboard is busy: the same message may be sent again after a pause.
const int MID_STATUS_BUSY = 281;

// Every answer is received into a buffer of this size, offered whole to each message.
const int MID_RESPONSE_CAPACITY = 255;

// What came back for a message that asked for an answer.
struct MessageAnswer {
    std::array<unsigned char, MID_RESPONSE_CAPACITY> pResponse{};
    int nResponseLen = 0; // the length the library stored back, as it stored it
    int nLength = 0;      // the answer bytes that may be read: nResponseLen kept within the buffer
};

// Sends a message that asks for an answer, offering the whole buffer; returns the library's status.
int SendForAnswer(KavelHidDevice* device, unsigned char cmd, unsigned char dst,
                  std::vector<unsigned char>& arData, MessageAnswer* answer);
// Sends a message that asks for no answer; returns the library's status.
int SendWithoutAnswer(KavelHidDevice* device, unsigned char cmd, unsigned char dst,
                      std::vector<unsigned char>& arData);
// Returns a pointer to the bytes of a message's data; a valid pointer also when it is empty.
unsigned char* MessageData(std::vector<unsigned char>& arData);

// The memory messages: the address, low byte first, then the bytes to write (17) or how many to
// read (16).

// Makes arData the start of a memory message: the low and the high byte of lAddress (higher bits
// do not travel); room is reserved for nMore further bytes.
void MemoryMessageAddress(long lAddress, std::vector<unsigned char>& arData, size_t nMore);
// Makes arData a memory read of nLength bytes (at most MID_RD_MEM_LENGTH_MAX) at lAddress.
void MemoryReadMessage(long lAddress, int nLength, std::vector<unsigned char>& arData);
// Returns the address that a memory message's data carries, or -1 when it is shorter than one.
int MemoryMessageAddressOf(const std::vector<unsigned char>& arData);
// The bytes of a memory write after its address: the offset in its data where they begin.
const size_t MEMORY_WRITE_BYTES_AT = 2;
// The offset of a memory read's length in its data.
const size_t MEMORY_READ_LENGTH_AT = 2;

// ---- recorder.cpp: a recording of every call into the library, whichever library it is

// The calls into the library that the program makes through these functions and the keyboards
// that HidGetDevice hands out are written to the recording, once RecordingStart has opened one;
// without a recording they go to the library as they are.

// What RecordingStart returns for a file that exists and is not a recording: it is left as it is.
const int RECORDING_NOT_A_RECORDING = -1;
// What RecordingStart returns for a named pipe that no program has open for reading.
const int RECORDING_NO_READER = -2;
// What a program that refuses to record into the script it runs reports as its reason.
const int RECORDING_IS_THE_SCRIPT = -3;

// Starts recording into path, replacing a recording that is there, with header lines naming
// sProgram (name, version and verb), its arguments and the time in UTC; returns 0, the errno of a
// file that cannot be made, RECORDING_NOT_A_RECORDING or RECORDING_NO_READER.
int RecordingStart(const std::string& path, const std::string& sProgram, int argc, char* argv[]);
// Returns the file that RecordingStart was last given.
const std::string& RecordingPath();
// Ends the recording with a line saying how the run ended: its exit status, and the signal whose
// stop request ended it (0 for none); returns 0, or the errno of the first write that failed.
int RecordingEnd(int nExitStatus, int nStopSignal);
// Ends the recording of a program that a signal is about to end at once; safe in a signal handler.
void RecordingSignalEnd(int nSignal);
// Makes a write that waits for the recording's reader give up, so that a stop request is not held
// back by a pipe that nobody reads; safe in a signal handler.
void RecordingInterrupt();
// Returns what the library says of its version, as HIDGetLibraryVersion.
int HidLibraryVersion(int* major, int* minor, int* build);

// Destroys the enumerator, after the line that says the program lets its keyboards go.
struct HidReleaser {
    void operator()(KavelHid* hid) const;
};
// The enumerator of the attached keyboards, released when it goes out of scope.
using HidEnumerator = std::unique_ptr<KavelHid, HidReleaser>;
// Makes the enumerator; times in the recording count from here.
HidEnumerator HidCreate();
// Scans for keyboards; returns what the library counts afterwards (negative: none could be found).
int HidEnumerate(KavelHid* hid);
// Returns keyboard nIndex, as the library hands it out (null where it hands out none); while
// recording, a keyboard that records every call made to it.
KavelHidDevice* HidGetDevice(KavelHid* hid, int nIndex);
// Returns device as HidGetDevice hands out keyboard nIndex: while recording, a keyboard that passes
// every call on to it and records it (kept until the enumerator is released), otherwise device.
KavelHidDevice* RecordingKeyboard(KavelHidDevice* device, int nIndex);

// The text of a recording that cannot be made or written: "Recording file error: PATH: REASON",
// for an errno or a RECORDING_ code.
std::string RecordingErrorText(const std::string& path, int nError);

#endif
