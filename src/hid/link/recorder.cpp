// The recorder: every call that the program makes into the keyboard library, and what came back,
// written to a file line by line, whichever library the program is built against. Calls are
// written in the trace's own line format, so that the virtual keyboard can replay a recording made
// on a real keyboard; what the trace has no line for is in lines of its own. Each call is one
// write to the file, so a run that is killed leaves every call it made.
#include "hidlink.h"

#include "kavelhidapi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
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

// The lines of one call, written at once.
void WriteLines() {
    const char* pText = recording.sLines.data();
    size_t nLeft = recording.sLines.size();
    while (nLeft > 0 && recording.nWriteError == 0) {
        ssize_t nWritten = write(recording.fd, pText, nLeft);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) {
            recording.nWriteError = nWritten < 0 ? errno : EIO;
            break;
        }
        pText += nWritten;
        nLeft -= static_cast<size_t>(nWritten);
    }
    recording.sLines.clear();
}

const char HEX_UPPER[] = "0123456789ABCDEF";
const char HEX_LOWER[] = "0123456789abcdef";

void AppendByte(std::string& sLine, unsigned char byte) {
    sLine += HEX_UPPER[byte >> 4];
    sLine += HEX_UPPER[byte & 0x0F];
}

// "[AA 55 01]": two uppercase hex digits a byte, single blanks between them.
void AppendBytes(std::string& sLine, const unsigned char* pBytes, size_t nBytes) {
    sLine += '[';
    for (size_t i = 0; i < nBytes; i++) {
        if (i > 0) sLine += ' ';
        AppendByte(sLine, pBytes[i]);
    }
    sLine += ']';
}

// " -> S": a status in lowercase hex without leading zeros, a negative one as 32-bit two's
// complement, as run annotations show statuses.
void AppendStatus(std::string& sLine, int nStatus) {
    unsigned int nValue = static_cast<unsigned int>(nStatus);
    char arDigits[8];
    int nDigits = 0;
    do {
        arDigits[nDigits++] = HEX_LOWER[nValue & 0x0F];
        nValue >>= 4;
    } while (nValue != 0);
    sLine += " -> ";
    while (nDigits > 0) sLine += arDigits[--nDigits];
}

// The time of a call: whole milliseconds since the enumerator was made, 0 before.
void AppendTime(std::string& sLine) {
    long long lMs = 0;
    if (recording.bEnumerator) {
        lMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                    recording.origin)
                  .count();
    }
    sLine += std::to_string(lMs);
}

// "T kbI CALL".
void AppendKeyboardCall(std::string& sLine, int nIndex, const char* txtCall) {
    AppendTime(sLine);
    sLine += " kb";
    sLine += std::to_string(nIndex);
    sLine += ' ';
    sLine += txtCall;
}

// A keyboard as the program sees it while recording: every call goes to the library's keyboard,
// unchanged, and is written to the recording with what came back.
class RecordingDevice : public KavelHidDevice {
public:
    RecordingDevice(KavelHidDevice* device, int nIndex) : device(device), nIndex(nIndex) {}
    int Open() override { return Record("Open", device->Open()); }
    int Close() override { return Record("Close", device->Close()); }
    int EnumerateModules() override { return Record("EnumerateModules", device->EnumerateModules()); }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        bool bAnswerAsked = response != nullptr && responseLen != nullptr;
        int nCapacity = bAnswerAsked ? *responseLen : 0;
        int nStatus = device->SendCommand(cmd, dst, data, dataLen, response, responseLen);
        std::string& sLines = recording.sLines;
        // What the program may read of the answer: never beyond the capacity it offered.
        int nShown = 0;
        if (bAnswerAsked) {
            nShown = std::max(0, std::min(*responseLen, nCapacity));
            AppendKeyboardCall(sLines, nIndex, "Answer capacity=");
            sLines += std::to_string(nCapacity);
            if (*responseLen != nShown) sLines += " reported=" + std::to_string(*responseLen);
            sLines += '\n';
        }
        AppendKeyboardCall(sLines, nIndex, "SendCommand cmd=");
        AppendByte(sLines, cmd);
        sLines += " dst=";
        AppendByte(sLines, dst);
        sLines += " data=";
        AppendBytes(sLines, data, data != nullptr && dataLen > 0 ? static_cast<size_t>(dataLen) : 0);
        AppendStatus(sLines, nStatus);
        if (bAnswerAsked) {
            sLines += " answer=";
            AppendBytes(sLines, response, static_cast<size_t>(nShown));
        }
        sLines += '\n';
        WriteLines();
        return nStatus;
    }

    ~RecordingDevice() override = default;

private:
    int Record(const char* txtCall, int nStatus) {
        AppendKeyboardCall(recording.sLines, nIndex, txtCall);
        AppendStatus(recording.sLines, nStatus);
        recording.sLines += '\n';
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
            sQuoted += "\\x";
            AppendByte(sQuoted, u);
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

} // namespace

int RecordingStart(const std::string& path, const std::string& sProgram, int argc, char* argv[]) {
    // An existing file is replaced: a recording is of one run.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    recording = RecordState();
    recording.fd = fd;
    std::string& sLines = recording.sLines;
    sLines = "# kavelhid recording 1\n# program: " + sProgram + "\n# arguments:";
    for (int i = 0; i < argc; i++) sLines += " " + QuotedArgument(argv[i]);
    sLines += "\n# started: " + UtcNow() + "\n";
    WriteLines();
    // A file that cannot take even its header records nothing.
    int nError = recording.nWriteError;
    if (nError != 0) {
        close(recording.fd);
        recording.fd = -1;
    }
    recording.sPath = path;
    return nError;
}

const std::string& RecordingPath() {
    return recording.sPath;
}

int RecordingEnd(int nExitStatus, int nStopSignal) {
    if (recording.fd < 0) return 0;
    recording.sLines = nStopSignal != 0
                           ? "# stopped by signal " + std::to_string(nStopSignal) + ": exit status "
                           : std::string("# ended: exit status ");
    recording.sLines += std::to_string(nExitStatus) + "\n";
    WriteLines();
    if (close(recording.fd) != 0 && recording.nWriteError == 0) recording.nWriteError = errno;
    recording.fd = -1;
    return recording.nWriteError;
}

void RecordingSignalEnd(int nSignal) {
    // Called from a signal handler: no allocation, only a write of a line made on the stack.
    if (recording.fd < 0) return;
    char arLine[40] = "# ended by signal ";
    size_t nLength = sizeof "# ended by signal " - 1;
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

int HidLibraryVersion(int* major, int* minor, int* build) {
    int nStatus = HIDGetLibraryVersion(major, minor, build);
    if (recording.fd < 0) return nStatus;
    AppendTime(recording.sLines);
    recording.sLines += " LibraryVersion " + std::to_string(*major) + "." + std::to_string(*minor) + "." +
                        std::to_string(*build);
    AppendStatus(recording.sLines, nStatus);
    recording.sLines += '\n';
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
    AppendTime(recording.sLines);
    recording.sLines += " Enumerate count=" + std::to_string(nCount) + "\n";
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
        AppendTime(recording.sLines);
        recording.sLines += " Release\n";
        WriteLines();
    }
    // The library lets its keyboards go with the enumerator; their recording keyboards go with it.
    delete hid;
    recording.devices.clear();
    recording.bEnumerator = false;
}

std::string RecordingErrorText(const std::string& path, int nError) {
    return "Recording file error: " + path + ": " + std::strerror(nError);
}
