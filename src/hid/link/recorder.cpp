// The recorder: every call that the program makes into the keyboard library, and what came back,
// written to a file line by line, whichever library the program is built against. Calls are
// written in the trace's own line format, so that the virtual keyboard can replay a recording made
// on a real keyboard; what the trace has no line for is in lines of its own. Each call is one
// write to the file, so a run that is killed leaves every call it made.
#include "hidlink.h"

#include "kavelhidapi.h"
#include "recording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class RecordingDevice;

// The recording of this run.
struct RecordState {
    int fd = -1;
    int nWriteError = 0; // the first write that failed
    bool bEnumerator = false;
    std::chrono::steady_clock::time_point origin; // when the enumerator was made
    std::vector<std::unique_ptr<RecordingDevice>> devices;
    std::string sLines; // the lines of the call being recorded
    std::string sPath;  // the file, as it was named
};

RecordState recording;

// Set by a stop request: a write that waits for a slow reader then gives up instead of holding
// the stop back.
volatile sig_atomic_t bInterrupted = 0;

// The lines of one call, written at once. The file is non-blocking, so that a pipe whose reader
// does not read can only hold the run up in poll(), which a stop request wakes.
void WriteLines() {
    const char* pText = recording.sLines.data();
    size_t nLeft = recording.sLines.size();
    while (nLeft > 0 && recording.nWriteError == 0) {
        ssize_t nWritten = write(recording.fd, pText, nLeft);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd ready {};
            ready.fd = recording.fd;
            ready.events = POLLOUT;
            if (bInterrupted == 0 && (poll(&ready, 1, -1) >= 0 || errno == EINTR)) continue;
            recording.nWriteError = bInterrupted != 0 ? EINTR : errno;
            break;
        }
        if (nWritten <= 0) {
            recording.nWriteError = nWritten < 0 ? errno : EIO;
            break;
        }
        pText += nWritten;
        nLeft -= static_cast<size_t>(nWritten);
    }
    recording.sLines.clear();
}

// The time of a call: whole milliseconds since the enumerator was made, 0 before.
long long CallTime() {
    if (!recording.bEnumerator) return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 recording.origin)
        .count();
}

// A keyboard as the program sees it while recording: every call goes to the library's keyboard,
// unchanged, and is written to the recording with what came back.
class RecordingDevice : public KavelHidDevice {
public:
    RecordingDevice(KavelHidDevice* device, int nIndex) : device(device), nIndex(nIndex) {}
    int Open() override { return Record(CALL_OPEN, device->Open()); }
    int Close() override { return Record(CALL_CLOSE, device->Close()); }
    int EnumerateModules() override { return Record(CALL_ENUMERATE_MODULES, device->EnumerateModules()); }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        bool bAnswerAsked = response != nullptr && responseLen != nullptr;
        int nCapacity = bAnswerAsked ? *responseLen : 0;
        int nStatus = device->SendCommand(cmd, dst, data, dataLen, response, responseLen);
        long long lTime = CallTime();
        // What the program may read of the answer: never beyond the capacity it offered.
        int nShown = 0;
        if (bAnswerAsked) {
            nShown = RecordingDelivered(nCapacity, *responseLen);
            RecordingAppendAnswer(&recording.sLines, lTime, nIndex, nCapacity, *responseLen);
        }
        RecordingAppendSendCommand(&recording.sLines, lTime, nIndex, cmd, dst, data,
                                   data != nullptr && dataLen > 0 ? static_cast<size_t>(dataLen) : 0, nStatus,
                                   bAnswerAsked, response, static_cast<size_t>(nShown));
        WriteLines();
        return nStatus;
    }

    ~RecordingDevice() override = default;

private:
    int Record(int nKind, int nStatus) {
        RecordingAppendKeyboardCall(&recording.sLines, nKind, CallTime(), nIndex, nStatus);
        WriteLines();
        return nStatus;
    }

    KavelHidDevice* device;
    int nIndex;
};

// An argument as a shell would take it back: quoted where it holds anything but plain characters,
// control characters written \xNN so that the header stays one line.
std::string QuotedArgument(const std::string& sArgument) {
    const std::string txtPlain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./=:,@%+-";
    if (!sArgument.empty() && sArgument.find_first_not_of(txtPlain) == std::string::npos) return sArgument;
    std::string sQuoted = "'";
    for (char c : sArgument) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\'') {
            sQuoted += "'\\''";
        } else if (u < 0x20 || u == 0x7F) {
            const char HEX[] = "0123456789ABCDEF";
            sQuoted += "\\x";
            sQuoted += HEX[u >> 4];
            sQuoted += HEX[u & 0x0F];
        } else {
            sQuoted += c;
        }
    }
    return sQuoted + "'";
}

// "2026-12-09T04:09:18Z".
std::string UtcNow() {
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    char txtTime[32];
    strftime(txtTime, sizeof txtTime, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return txtTime;
}

// Whether the file behind fd may be replaced by a recording: a regular file must be empty or begin
// as a recording of any version does; anything else (a pipe, a terminal) is written, not replaced.
bool Replaceable(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return true;
    const std::string txtStart = "# kavelhid recording ";
    std::vector<char> arStart(txtStart.size());
    ssize_t nRead = pread(fd, arStart.data(), arStart.size(), 0);
    return nRead == static_cast<ssize_t>(arStart.size()) &&
           std::string(arStart.begin(), arStart.end()) == txtStart;
}

} // namespace

int RecordingStart(const std::string& path, const std::string& sProgram, int argc, char* argv[]) {
    recording.sPath = path;
    // A pipe opened for writing without a reader would wait for one before the first keyboard;
    // non-blocking, the open fails at once instead.
    struct stat info {};
    bool bFifo = stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
    int fd = open(path.c_str(), (bFifo ? O_WRONLY : O_RDWR | O_CREAT) | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return bFifo && errno == ENXIO ? RECORDING_NO_READER : errno;
    // A recording of an earlier run is replaced, never another file named by mistake.
    if (!Replaceable(fd)) {
        close(fd);
        return RECORDING_NOT_A_RECORDING;
    }
    struct stat opened {};
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ftruncate(fd, 0) != 0) {
        int nError = errno;
        close(fd);
        return nError;
    }
    recording = RecordState();
    recording.sPath = path;
    recording.fd = fd;
    bInterrupted = 0;
    // A file size limit reached mid-run must cost the recording its lines, not the run its end:
    // the write then fails with EFBIG, which RecordingEnd reports.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
    // So must a pipe's reader that goes away: the write then fails with EPIPE.
    if (bFifo) sigaction(SIGPIPE, &ignore, nullptr);
    std::string sArguments;
    for (int i = 0; i < argc; i++) sArguments += " " + QuotedArgument(argv[i]);
    RecordingAppendHeader(&recording.sLines, sProgram, sArguments, UtcNow());
    WriteLines();
    // A file that cannot take even its header records nothing.
    int nError = recording.nWriteError;
    if (nError != 0) {
        close(recording.fd);
        recording.fd = -1;
    }
    return nError;
}

const std::string& RecordingPath() {
    return recording.sPath;
}

int RecordingEnd(int nExitStatus, int nStopSignal) {
    if (recording.fd < 0) return 0;
    RecordingAppendEnd(&recording.sLines, nExitStatus, nStopSignal);
    WriteLines();
    if (close(recording.fd) != 0 && recording.nWriteError == 0) recording.nWriteError = errno;
    recording.fd = -1;
    return recording.nWriteError;
}

void RecordingSignalEnd(int nSignal) {
    // Called from a signal handler: no allocation, only a write of a line made on the stack.
    if (recording.fd < 0) return;
    char arLine[40] = {};
    size_t nLength = std::strlen(txtRecordingSignalEnd);
    std::memcpy(arLine, txtRecordingSignalEnd, nLength);
    char arDigits[12];
    int nDigits = 0;
    unsigned int nValue = static_cast<unsigned int>(nSignal);
    do {
        arDigits[nDigits++] = static_cast<char>('0' + nValue % 10);
        nValue /= 10;
    } while (nValue != 0 && nDigits < 10);
    while (nDigits > 0) arLine[nLength++] = arDigits[--nDigits];
    arLine[nLength++] = '\n';
    ssize_t nWritten = write(recording.fd, arLine, nLength);
    (void)nWritten;
}

void RecordingInterrupt() {
    bInterrupted = 1;
}

int HidLibraryVersion(int* major, int* minor, int* build) {
    int nStatus = HIDGetLibraryVersion(major, minor, build);
    if (recording.fd < 0) return nStatus;
    const int arVersion[3] = {*major, *minor, *build};
    RecordingAppendLibraryVersion(&recording.sLines, CallTime(), arVersion, nStatus);
    WriteLines();
    return nStatus;
}

HidEnumerator HidCreate() {
    HidEnumerator hid(new KavelHid());
    recording.bEnumerator = true;
    recording.origin = std::chrono::steady_clock::now();
    return hid;
}

int HidEnumerate(KavelHid* hid) {
    hid->Enumerate();
    int nCount = hid->Count();
    if (recording.fd < 0) return nCount;
    RecordingAppendEnumerate(&recording.sLines, CallTime(), nCount);
    WriteLines();
    return nCount;
}

KavelHidDevice* RecordingKeyboard(KavelHidDevice* device, int nIndex) {
    if (recording.fd < 0 || device == nullptr) return device;
    recording.devices.push_back(std::make_unique<RecordingDevice>(device, nIndex));
    return recording.devices.back().get();
}

KavelHidDevice* HidGetDevice(KavelHid* hid, int nIndex) {
    return RecordingKeyboard(hid->GetDevice(static_cast<unsigned int>(nIndex)), nIndex);
}

void HidReleaser::operator()(KavelHid* hid) const {
    if (recording.fd >= 0) {
        RecordingAppendRelease(&recording.sLines, CallTime());
        WriteLines();
    }
    // The library lets its keyboards go with the enumerator; their recording keyboards go with it.
    delete hid;
    recording.devices.clear();
    recording.bEnumerator = false;
}

std::string RecordingErrorText(const std::string& path, int nError) {
    std::string sReason = nError == RECORDING_NOT_A_RECORDING ? "not a recording: it would be replaced"
                          : nError == RECORDING_NO_READER     ? "a pipe that no program reads"
                          : nError == RECORDING_IS_THE_SCRIPT ? "it is the script"
                                                              : std::strerror(nError);
    return "Recording file error: " + path + ": " + sReason;
}
