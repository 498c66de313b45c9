// The virtual keyboard behind kavelhidapi.h: the model (model.h) read once per process from a
// simulation file, keyboards as the program sees them, a trace of every call and the saved
// simulation; or, instead of the simulation, the replay of a recorded run. The program never sees
// these declarations; the library's own tests use them directly.
#ifndef KAVELHIDAPI_VIRTUAL_KEYBOARD_H
#define KAVELHIDAPI_VIRTUAL_KEYBOARD_H

#include "kavelhidapi.h"
#include "model.h"
#include "recording.h"

#include <pugixml.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kavelvk {

// The trace file: one line per call, appended and flushed line by line. Disabled when not opened.
class Tracer {
public:
    // Opens path for appending; false when it cannot be opened.
    bool Open(const std::string& path);
    bool Enabled() const { return file != nullptr; }
    void Enumerate(long long t, int count);
    void OpenDevice(long long t, int keyboard, int status);
    void EnumerateModules(long long t, int keyboard, int status);
    void SendCommand(long long t, int keyboard, std::uint8_t cmd, std::uint8_t dst, const std::uint8_t* data,
                     std::size_t dataLen, int status, bool bAnswerAsked, const std::uint8_t* answer,
                     std::size_t answerLen);

private:
    void Write();
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, FileCloser> file;
    std::string line;
};

// Whole milliseconds since *origin, or 0 without an origin.
long long ElapsedMs(const std::chrono::steady_clock::time_point* origin);

struct Library;

// A keyboard as the program sees it. The tracer and origin may be null (no trace, T = 0); without a
// library the keyboard is attached all the time.
class VirtualKeyboard : public KavelHidDevice {
public:
    VirtualKeyboard(Keyboard* model, int index, Tracer* tracer,
                    const std::chrono::steady_clock::time_point* origin, Library* library = nullptr);
    ~VirtualKeyboard() override = default;
    int Open() override;
    int Close() override;
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override;
    int EnumerateModules() override;
    bool IsOpen() const { return bOpen; }
    // Whether Open was called, whatever it returned.
    bool OpenTried() const { return bOpenTried; }
    // The simulation's keyboard behind it.
    const Keyboard& Model() const { return *model; }

private:
    // Whether the keyboard is attached now; an unplugged keyboard answers nothing.
    bool Attached() const;
    Keyboard* model;
    int index;
    Tracer* tracer;
    const std::chrono::steady_clock::time_point* origin;
    Library* library;
    bool bOpen = false;
    bool bOpenTried = false;
    std::vector<std::uint8_t> scratch;
};

// A call the program makes, with what the replay compares.
struct ProgramCall {
    int kind = CALL_RELEASE;
    int keyboard = 0;
    std::uint8_t cmd = 0;
    std::uint8_t dst = 0;
    const std::uint8_t* data = nullptr;
    std::size_t dataLen = 0;
    bool bAnswerAsked = false;
};

// A recording being replayed: the program's calls taken one by one against its call lines.
// Messages go to the given stream (standard error in the library), or nowhere when it is null.
class Replay {
public:
    // program names the program that runs (its name, and its verb for kxb) for the line that says
    // where the run differs; empty when unknown.
    Replay(std::unique_ptr<::Recording> recording, std::FILE* messages, std::string program = "");
    // Says so when the run ended before the recording did.
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    const ::Recording& Recorded() const { return *recording; }
    // Whether calls of that kind are compared with the recording (a plain trace lacks some kinds).
    bool Replays(int kind) const;
    // The recorded call when the program's call agrees with the next one; otherwise null, and the
    // first time the line that says where the run differs. t is the call's time for that line.
    const ::RecordedCall* Take(const ProgramCall& call, long long t);
    bool Diverged() const { return bDiverged; }
    // The time of a call made outside an enumerator: since the newest one was made, 0 before.
    void EnumeratorMade(std::chrono::steady_clock::time_point origin);
    long long TimeOutsideEnumerator() const;

private:
    std::unique_ptr<::Recording> recording;
    std::FILE* messages;
    std::string program;
    std::size_t next = 0;
    bool bDiverged = false;
    bool bHasOrigin = false;
    std::chrono::steady_clock::time_point origin;
};

// A keyboard as the program sees it during a replay. The tracer and origin may be null.
class ReplayKeyboard : public KavelHidDevice {
public:
    ReplayKeyboard(Replay* replay, int index, Tracer* tracer,
                   const std::chrono::steady_clock::time_point* origin);
    ~ReplayKeyboard() override = default;
    int Open() override;
    int Close() override;
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override;
    int EnumerateModules() override;

private:
    // The recorded status of a call without data, or 104 when it differs.
    int StatusCall(int kind, long long t);
    Replay* replay;
    int index;
    Tracer* tracer;
    const std::chrono::steady_clock::time_point* origin;
};

// What the process read at its first call into the library.
struct Library {
    std::string simulationPath;
    // True when a simulation file was named but could not be read or broke a rule.
    bool bInvalid = false;
    // The valid simulation, or null.
    std::unique_ptr<Simulation> simulation;
    std::string savePath;
    // The replay that answers instead of a simulation, or null.
    std::unique_ptr<Replay> replay;
    Tracer tracer;
    // The first call into the library, where the batches' clock starts.
    std::chrono::steady_clock::time_point start;
    // Replaces that clock in the library's own tests, so that they choose every moment.
    std::function<long long()> clock;
};

// Loads the library state once per process from the environment.
Library& TheLibrary();
// Milliseconds on the library's clock: since its first call, or what the tests' clock says.
long long ClockMs(const Library& library);

} // namespace kavelvk

// The state behind a KavelHid enumerator.
struct KavelHidState {
    kavelvk::Library* library = nullptr;
    std::chrono::steady_clock::time_point origin;
    bool bEnumerated = false;
    // What the last Enumerate found: the indexes into the simulation's keyboards, in order, and
    // what Count() reports.
    std::vector<std::size_t> attached;
    int count = 0;
    // The keyboards handed out, by index and model keyboard: a later Enumerate may give an index
    // to another keyboard, and a pointer handed out stays valid until the enumerator is destroyed.
    std::map<std::pair<unsigned int, std::size_t>, std::unique_ptr<kavelvk::VirtualKeyboard>> devices;
    // During a replay: what Count() reports after Enumerate, and the keyboards handed out so far
    // (made on demand, since a recorded count may be huge).
    int replayCount = 0;
    std::unordered_map<unsigned int, std::unique_ptr<kavelvk::ReplayKeyboard>> replayDevices;
};

#endif
