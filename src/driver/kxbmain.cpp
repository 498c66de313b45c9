// The program's entry: command line, check pass, device loop, outcome per keyboard and log file.
#include "driver.h"

#include "hidlink.h"
#include "kavelhidapi.h"
#include "readback.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

namespace {

const KeyboardOutcome keyboardOutcomes[] = {
    {0, false, false, " Done."},
    {ERR_ERROR_DEVICE_OPEN, false, true, " ERROR: Device open error"},
    {ERR_ERROR_MODULES_ENUMERATION, false, true, " ERROR: Modules enumeration error"},
    {ERR_ERROR_DEVICE_COMMUNICATION, false, false, " ERROR: Device communication error"},
    {ERR_ERROR_DEVICE_COMPATIBILITY, false, false, " Device not suitable - nothing changed."},
    {ERR_ERROR_DEVICE_WRITE, false, false, " ERROR: Device write error"},
    {ERR_ERROR_DEVICE_WRITE, true, false, " ERROR: Interrupted - keyboard not reset."},
    {ERR_ERROR_DEVICE_DIFFERS, false, false, " ERROR: Device verify error"},
};

const std::string txtDEVICE_SUFFIX = "_device";
const std::string txtVERIFY_SUFFIX = "_verify";
// A run stamp is "t" and 14 digits; keyboard indices beyond this many digits are no keyboard's.
const size_t STAMP_LENGTH = 15;
const size_t INDEX_DIGITS_MAX = 4;

// The outcome of a keyboard whose write pass returned r.
const KeyboardOutcome& WritePassOutcome(int r) {
    if (r == 0 || r == ERR_ERROR_DEVICE_COMPATIBILITY || r == ERR_ERROR_DEVICE_COMMUNICATION ||
        r == ERR_ERROR_DEVICE_DIFFERS) {
        return *KeyboardOutcomeOf(r);
    }
    // Any other result is a failed write; a stop before a message is one too, with a line of its own.
    return *KeyboardOutcomeOf(ERR_ERROR_DEVICE_WRITE, r == RESULT_INTERRUPTED);
}

bool AllDigits(const char* txtText, size_t nLength) {
    for (size_t i = 0; i < nLength; i++) {
        if (!std::isdigit(static_cast<unsigned char>(txtText[i]))) return false;
    }
    return true;
}

} // namespace

const char* const txtNO_DEVICE = "ERROR: No Kavel device detected";
const char* const txtDEVICES_DETECTED = " Kavel device(s) detected";

const KeyboardOutcome* KeyboardOutcomeOf(int nStatus, bool bInterrupted) {
    for (const KeyboardOutcome& outcome : keyboardOutcomes) {
        if (outcome.nStatus == nStatus && outcome.bInterrupted == bInterrupted) return &outcome;
    }
    return nullptr;
}

std::string KeyboardOutcomeLine(const KeyboardOutcome& outcome, int nLibraryStatus) {
    std::string sLine = outcome.txtLine;
    if (outcome.bLibraryStatus) sLine += " (" + std::to_string(nLibraryStatus) + ")";
    return sLine;
}

std::string TimestampDevice(const std::string& stampTime, int i) {
    return stampTime + txtDEVICE_SUFFIX + std::to_string(i);
}

std::string TimestampVerify(const std::string& timestampDevice) {
    return timestampDevice + txtVERIFY_SUFFIX;
}

bool ParseTimestampDevice(const char* name, std::string* stampTime, int* i, bool* bVerify) {
    size_t nLength = std::strlen(name);
    if (nLength < STAMP_LENGTH || name[0] != 't' || !AllDigits(name + 1, STAMP_LENGTH - 1)) return false;
    *stampTime = std::string(name, STAMP_LENGTH);
    *i = -1;
    if (bVerify != nullptr) *bVerify = false;
    if (nLength == STAMP_LENGTH) return true;
    const char* txtRest = name + STAMP_LENGTH;
    if (std::strncmp(txtRest, txtDEVICE_SUFFIX.c_str(), txtDEVICE_SUFFIX.size()) != 0) return false;
    const char* txtIndex = txtRest + txtDEVICE_SUFFIX.size();
    size_t nDigits = std::strspn(txtIndex, "0123456789");
    // The read-back's own annotation follows the keyboard's index.
    if (txtIndex[nDigits] != '\0') {
        if (bVerify == nullptr || txtVERIFY_SUFFIX != txtIndex + nDigits) return false;
        *bVerify = true;
    }
    // The index is written without leading zeros.
    if (nDigits == 0 || nDigits > INDEX_DIGITS_MAX || (txtIndex[0] == '0' && nDigits > 1)) return false;
    *i = std::atoi(std::string(txtIndex, nDigits).c_str());
    return true;
}

std::string LogFileName(const std::string& filename, const std::string& stampTime) {
    return filename + "_" + stampTime;
}

bool ParseLogFileName(const std::string& path, std::string* stampTime) {
    size_t nSlash = path.rfind('/');
    std::string sName = nSlash == std::string::npos ? path : path.substr(nSlash + 1);
    size_t nUnderscore = sName.rfind('_');
    int nIndex = 0;
    return nUnderscore != std::string::npos &&
           ParseTimestampDevice(sName.c_str() + nUnderscore + 1, stampTime, &nIndex) && nIndex < 0;
}

std::string timestamp() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return "t" + std::to_string(local.tm_year + 1900) + ToTwoDigitDec(local.tm_mon + 1) +
           ToTwoDigitDec(local.tm_mday) + ToTwoDigitDec(local.tm_hour) + ToTwoDigitDec(local.tm_min) +
           ToTwoDigitDec(local.tm_sec);
}

int TerminalShowPercentage(int current, int total) {
    // Without a total there is no share to show (and nothing to divide by).
    if (current < total && total > 0) {
        // Shows the share of the step about to be done, so the line reaches 100 on the last one.
        int nPercent = static_cast<int>((current + 1) * 100.0 / total);
        std::cout << " Writing progress: " << nPercent << " %\r" << std::flush;
    }
    return 0;
}

namespace {

// "1 byte", "2 bytes".
std::string Counted(int nCount, const std::string& sThing) {
    return std::to_string(nCount) + " " + sThing + (nCount == 1 ? "" : "s");
}

// Reads back what the write pass wrote and says so in the keyboard's block: one line when every
// byte holds, otherwise a line per block that does not. Returns what ReadBackFinish returns.
int VerifyKeyboard(ReadBackPass* pass, int i, const std::string& timestampDevice, const KeyboardRun& run,
                   int* current, int* total) {
    std::vector<KxbReadBack> keyboards(1);
    KxbReadBack& readback = keyboards.front();
    int r = ReadBackFinish(pass, true, timestampDevice, current, total, &readback);
    if (r == RESULT_INTERRUPTED) return r;
    if (r == 0) {
        int nBlocks = 0;
        int nNotVerified = 0;
        for (const KxbBlock& block : readback.arBlock) {
            nBlocks += block.nState == BLOCK_MATCH ? 1 : 0;
            nNotVerified += block.nState == BLOCK_NOT_VERIFIED ? 1 : 0;
        }
        std::cout << " Verified: " << Counted(readback.nBytesMatch, "byte") << " in "
                  << Counted(nBlocks, "block") << ", " << Counted(nNotVerified, "message") << " not verified"
                  << std::endl;
        return r;
    }
    KxbPlaceBlocks(run.filename, run.encoding, keyboards);
    for (const KxbBlock& block : readback.arBlock) {
        if (block.nState == BLOCK_DIFFER || block.nState == BLOCK_UNREADABLE)
            std::cout << " " << KxbBlockLine(run.filename, i, block) << std::endl;
    }
    return r;
}

} // namespace

int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run) {
    std::cout << std::endl << "device" << i << ":";
    // A keyboard the library cannot hand out is reported like one that does not open.
    int nStatus = device ? device->Open() : -1;
    if (nStatus != 0) {
        std::cout << KeyboardOutcomeLine(*KeyboardOutcomeOf(ERR_ERROR_DEVICE_OPEN), nStatus) << std::endl;
        return ERR_ERROR_DEVICE_OPEN;
    }
    std::cout << std::endl;
    nStatus = device->EnumerateModules();
    if (nStatus != 0) {
        std::cout << KeyboardOutcomeLine(*KeyboardOutcomeOf(ERR_ERROR_MODULES_ENUMERATION), nStatus)
                  << std::endl;
        return ERR_ERROR_MODULES_ENUMERATION;
    }
    *current = 0;
    std::string timestampDevice = TimestampDevice(stampTime, i);
    WriteOptions options;
    options.bWaitReset = run.bWaitReset;
    // A keyboard whose memory did not take a write is not reset into a half old configuration.
    ReadBack pass = run.bVerify ? ReadBackBegin(device, READBACK_PASS) : ReadBack();
    options.readback = pass.get();
    int r = kxbCheckWrite(root, timestampDevice, device, current, total, options);
    if (r == 0 && pass) {
        r = VerifyKeyboard(pass.get(), i, timestampDevice, run, current, total);
        if (r == 0) r = kxbResetKeyboard(root, timestampDevice, device, current, total, run.bWaitReset);
    }
    // A keyboard that was written to the end shows the whole progress line before it is done.
    if (r == 0) {
        TerminalShowPercentage(0, 1);
        std::cout << std::endl;
    }
    const KeyboardOutcome& outcome = WritePassOutcome(r);
    std::cout << outcome.txtLine << std::endl;
    return outcome.nStatus;
}

namespace {

// Prints the line of a requested stop; returns true when a stop was requested.
bool ReportStop() {
    int nSignal = StopRequested();
    if (nSignal != 0) std::cout << "ERROR: Interrupted by signal " << nSignal << std::endl;
    return nSignal != 0;
}

// Returns the exit status of a run: after a stop request, that of a program the signal ended.
int RunStatus(int result) {
    const int STATUS_SIGNAL_BASE = 128;
    return StopRequested() == 0 ? result : STATUS_SIGNAL_BASE + StopRequested();
}

// Waits until keyboard i, reset at tReset without its wait, has had the whole reset wait; says so
// in one line when there is time left. A stop ends the wait at once. Returns 0.
int FinishResetWait(int i, std::chrono::steady_clock::time_point tReset) {
    long lElapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tReset)
            .count();
    // The elapsed time is rounded down, so the rest is rounded up and the wait is never short.
    long lRemainingMs = static_cast<long>(RESET_STEPS) * TIME_ONE_COMMAND - lElapsedMs;
    if (lRemainingMs <= 0 || StopRequested() != 0) return 0;
    std::cout << "Waiting " << lRemainingMs << " ms for device" << i << " to restart" << std::endl;
    SleepMilliseconds(static_cast<int>(lRemainingMs));
    return 0;
}

// With --verify and more than one keyboard: how many were written and verified, and which failed.
void PrintStationSummary(int num, const std::vector<int>& arOutcome) {
    int nVerified = 0;
    std::string sFailed;
    for (size_t i = 0; i < arOutcome.size(); i++) {
        if (arOutcome[i] == 0) {
            nVerified++;
        } else {
            sFailed += (sFailed.empty() ? "; failed: " : ", ") + ("device" + std::to_string(i)) + " (" +
                       std::to_string(arOutcome[i]) + ")";
        }
    }
    std::cout << "Written and verified: " << nVerified << " of " << num << " keyboards" << sFailed
              << std::endl;
}

// Looks for keyboards and writes each; returns the outcome of the last one that failed, 0 when
// none failed, or ERR_ERROR_NO_DEVICE. With bOverlapResets only the last keyboard waits for its
// reset; when it was not reset, the wait for the last one that was follows its block.
int WriteKeyboards(pugi::xml_node root, const std::string& stampTime, int* current, int* total,
                   bool bOverlapResets, KeyboardRun run) {
    HidEnumerator hid = HidCreate();
    int num = HidEnumerate(hid.get());
    if (num < 0) {
        std::cout << txtNO_DEVICE << std::endl;
        return ERR_ERROR_NO_DEVICE;
    }
    std::cout << num << txtDEVICES_DETECTED << std::endl;
    int result = 0;
    int nUnwaited = -1; // the last keyboard reset without its wait, -1 when it has none to finish
    std::chrono::steady_clock::time_point tReset;
    std::vector<int> arOutcome;
    // After a stop request no further keyboard is opened.
    for (int i = 0; i < num && StopRequested() == 0; i++) {
        KavelHidDevice* device = HidGetDevice(hid.get(), i);
        // The next keyboard is another device: it need not wait for this one to restart.
        run.bWaitReset = !bOverlapResets || i == num - 1;
        int nOutcome = WriteKeyboard(device, i, root, stampTime, current, total, run);
        arOutcome.push_back(nOutcome);
        // Taken after the block, a little after the reset itself, so the wait left is never short.
        if (nOutcome == 0) {
            nUnwaited = run.bWaitReset ? -1 : i;
            tReset = std::chrono::steady_clock::now();
        }
        // One failed keyboard fails the run, even when keyboards after it succeed.
        if (nOutcome != 0) result = nOutcome;
    }
    // The enumerator must outlive the wait, so the keyboards are not let go while they restart.
    if (nUnwaited >= 0) FinishResetWait(nUnwaited, tReset);
    if (run.bVerify && num > 1) PrintStationSummary(num, arOutcome);
    return result;
}

} // namespace

namespace {

// What the command line asks for.
struct RunArguments {
    bool bWriteLogfile = false;
    bool bOverlapResets = false;
    bool bVerify = false;
    bool bRecord = false;    // --record was given
    std::string sRecordFile; // the file it names; empty when none follows it
    std::string filename;    // the script: the first argument that is no option
};

// Reads the command line: the options anywhere, the first other argument as the script; a
// further argument is ignored.
RunArguments ReadArguments(int argc, char* argv[]) {
    const std::string txtLogfile = "--logfile";
    const std::string txtOverlapResets = "--overlap-resets";
    const std::string txtRecord = "--record";
    const std::string txtVerify = "--verify";
    RunArguments args;
    for (int nArg = 1; nArg < argc; nArg++) {
        const std::string sArg = argv[nArg];
        if (txtLogfile == sArg) {
            args.bWriteLogfile = true;
        } else if (txtOverlapResets == sArg) {
            args.bOverlapResets = true;
        } else if (txtVerify == sArg) {
            args.bVerify = true;
        } else if (txtRecord == sArg) {
            // The file is the next argument, whatever it holds.
            args.bRecord = true;
            args.sRecordFile = nArg + 1 < argc ? argv[++nArg] : "";
        } else if (sArg.compare(0, txtRecord.size() + 1, txtRecord + "=") == 0) {
            args.bRecord = true;
            args.sRecordFile = sArg.substr(txtRecord.size() + 1);
        } else if (args.filename.empty()) {
            args.filename = sArg;
        }
    }
    return args;
}

// Writes the script into every attached keyboard after the banner; returns the exit status.
int WriteScriptFile(const RunArguments& args, int nRecordError) {
    if (args.bRecord && (args.sRecordFile.empty() || nRecordError != 0)) {
        // Nothing is sent to a keyboard without the recording that was asked for.
        if (args.sRecordFile.empty()) {
            std::cout << "ERROR: Recording file parameter missing" << std::endl;
        } else {
            std::cout << "ERROR: " << RecordingErrorText(args.sRecordFile, nRecordError) << std::endl;
        }
        ReportStop();
        return RunStatus(ERR_ERROR_RECORD_FILE);
    }
    const std::string& filename = args.filename;
    if (filename.empty()) {
        std::cout << "ERROR: Kxb file parameter missing" << std::endl;
        std::cout << std::endl;
        std::cout << "Usage: kavelwrite kxbfile" << std::endl;
        ReportStop();
        return RunStatus(ERR_ERROR_PARAMETER_MISSING);
    }

    pugi::xml_document doc;
    pugi::xml_parse_result parsed;
    if (LoadScriptFile(doc, filename, &parsed) != LOAD_OK) {
        std::cout << "ERROR: Kxb file load error: " << filename << std::endl;
        ReportStop();
        return RunStatus(ERR_ERROR_LOAD_FILE);
    }

    std::string stampTime = timestamp();
    int current = 0;
    int total = 0;
    pugi::xml_node root = doc.first_child();
    WriteOptions check;
    check.bVerify = args.bVerify;
    int result = kxbCheckWrite(root, stampTime, nullptr, &current, &total, check);
    if (result != 0) {
        std::cout << "ERROR: Kxb file check error" << std::endl;
        result = ERR_ERROR_IN_FILE;
    } else {
        std::cout << "Kxb file check: Pass" << std::endl;
        total = current;
        KeyboardRun run;
        run.bVerify = args.bVerify;
        run.filename = filename;
        run.encoding = parsed.encoding;
        // A stop during the check pass ends the run before any keyboard is looked for.
        if (StopRequested() == 0)
            result = WriteKeyboards(root, stampTime, &current, &total, args.bOverlapResets, run);
    }

    // A stop is reported before the log is saved, or after the save when it came during it.
    bool bStopReported = ReportStop();
    if (args.bWriteLogfile) {
        std::string logfile = LogFileName(filename, stampTime);
        if (!SaveDocumentWhole(doc, logfile)) {
            // The log is the only record of the run: losing it must not go unnoticed.
            std::cout << "ERROR: Log file save error: " << logfile << std::endl;
        }
    }
    if (!bStopReported) ReportStop();
    return RunStatus(result);
}

} // namespace

int kxbMain(int argc, char* argv[]) {
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerBuild = 0;

    InstallStopHandlers();
    RunArguments args = ReadArguments(argc, argv);
    // The recording begins before the first call into the library, the version query.
    int nRecordError = 0;
    if (args.bRecord && !args.sRecordFile.empty()) {
        nRecordError = RecordingStart(args.sRecordFile,
                                      "kavelwrite " + std::to_string(KAVELWRITE_VER_MAJOR) + "." +
                                          std::to_string(KAVELWRITE_VER_MINOR) + "." +
                                          std::to_string(KAVELWRITE_VER_BUILD),
                                      argc - 1, argv + 1);
    }
    std::cout << "kavelwrite " << KAVELWRITE_VER_MAJOR << "." << KAVELWRITE_VER_MINOR << "."
              << KAVELWRITE_VER_BUILD << " writes kxb file into Kavel" << std::endl;
    HidLibraryVersion(&nVerMajor, &nVerMinor, &nVerBuild);
    std::cout << "libkavelhidapi " << nVerMajor << "." << nVerMinor << "." << nVerBuild << std::endl;
    std::cout << std::endl;

    int nStatus = WriteScriptFile(args, nRecordError);
    // The recording ends with how the run ended; one that lost lines must not go unnoticed.
    int nRecordEnd = RecordingEnd(nStatus, StopRequested());
    if (nRecordEnd != 0)
        std::cout << "ERROR: " << RecordingErrorText(args.sRecordFile, nRecordEnd) << std::endl;
    return nStatus;
}
