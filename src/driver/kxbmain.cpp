// The program's entry: command line, check pass, device loop, outcome per keyboard and log file.
#include "driver.h"

#include "kavelhidapi.h"

#include <chrono>
#include <ctime>
#include <iostream>

const char* const txtKEYBOARD_DONE = " Done.";
const char* const txtKEYBOARD_NOT_SUITABLE = " Device not suitable - nothing changed.";
const char* const txtKEYBOARD_COMMUNICATION_ERROR = " ERROR: Device communication error";
const char* const txtKEYBOARD_WRITE_ERROR = " ERROR: Device write error";
const char* const txtKEYBOARD_INTERRUPTED = " ERROR: Interrupted - keyboard not reset.";
const char* const txtKEYBOARD_OPEN_ERROR = " ERROR: Device open error";
const char* const txtKEYBOARD_ENUMERATION_ERROR = " ERROR: Modules enumeration error";
const char* const txtNO_DEVICE = "ERROR: No Kavel device detected";
const char* const txtDEVICES_DETECTED = " Kavel device(s) detected";
const std::string txtDEVICE_SUFFIX = "_device";

std::string TimestampDevice(const std::string& stampTime, int i) {
    return stampTime + txtDEVICE_SUFFIX + std::to_string(i);
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

int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, bool bWaitReset) {
    std::cout << std::endl << "device" << i << ":";
    // A keyboard the library cannot hand out is reported like one that does not open.
    int nStatus = device ? device->Open() : -1;
    if (nStatus != 0) {
        std::cout << txtKEYBOARD_OPEN_ERROR << " (" << nStatus << ")" << std::endl;
        return ERR_ERROR_DEVICE_OPEN;
    }
    std::cout << std::endl;
    nStatus = device->EnumerateModules();
    if (nStatus != 0) {
        std::cout << txtKEYBOARD_ENUMERATION_ERROR << " (" << nStatus << ")" << std::endl;
        return ERR_ERROR_MODULES_ENUMERATION;
    }
    *current = 0;
    std::string timestampDevice = TimestampDevice(stampTime, i);
    int r = kxbCheckWrite(root, timestampDevice, device, current, total, bWaitReset);
    if (r == ERR_ERROR_DEVICE_COMPATIBILITY) {
        std::cout << txtKEYBOARD_NOT_SUITABLE << std::endl;
        return ERR_ERROR_DEVICE_COMPATIBILITY;
    }
    if (r == RESULT_INTERRUPTED) {
        std::cout << txtKEYBOARD_INTERRUPTED << std::endl;
        return ERR_ERROR_DEVICE_WRITE;
    }
    if (r == ERR_ERROR_DEVICE_COMMUNICATION) {
        std::cout << txtKEYBOARD_COMMUNICATION_ERROR << std::endl;
        return ERR_ERROR_DEVICE_COMMUNICATION;
    }
    if (r != 0) {
        std::cout << txtKEYBOARD_WRITE_ERROR << std::endl;
        return ERR_ERROR_DEVICE_WRITE;
    }
    TerminalShowPercentage(0, 1);
    std::cout << std::endl << txtKEYBOARD_DONE << std::endl;
    return 0;
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

// Looks for keyboards and writes each; returns the outcome of the last one that failed, 0 when
// none failed, or ERR_ERROR_NO_DEVICE. With bOverlapResets only the last keyboard waits for its
// reset; when it was not reset, the wait for the last one that was follows its block.
int WriteKeyboards(pugi::xml_node root, const std::string& stampTime, int* current, int* total,
                   bool bOverlapResets) {
    KavelHid hid;
    hid.Enumerate();
    int num = hid.Count();
    if (num < 0) {
        std::cout << txtNO_DEVICE << std::endl;
        return ERR_ERROR_NO_DEVICE;
    }
    std::cout << num << txtDEVICES_DETECTED << std::endl;
    int result = 0;
    int nUnwaited = -1; // the last keyboard reset without its wait, -1 when it has none to finish
    std::chrono::steady_clock::time_point tReset;
    // After a stop request no further keyboard is opened.
    for (int i = 0; i < num && StopRequested() == 0; i++) {
        KavelHidDevice* device = hid.GetDevice(static_cast<unsigned int>(i));
        // The next keyboard is another device: it need not wait for this one to restart.
        bool bWaitReset = !bOverlapResets || i == num - 1;
        int nOutcome = WriteKeyboard(device, i, root, stampTime, current, total, bWaitReset);
        // Taken after the block, a little after the reset itself, so the wait left is never short.
        if (nOutcome == 0) {
            nUnwaited = bWaitReset ? -1 : i;
            tReset = std::chrono::steady_clock::now();
        }
        // One failed keyboard fails the run, even when keyboards after it succeed.
        if (nOutcome != 0) result = nOutcome;
    }
    // The enumerator must outlive the wait, so the keyboards are not let go while they restart.
    if (nUnwaited >= 0) FinishResetWait(nUnwaited, tReset);
    return result;
}

} // namespace

int kxbMain(int argc, char* argv[]) {
    const std::string txtLogfile = "--logfile";
    const std::string txtOverlapResets = "--overlap-resets";
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerBuild = 0;
    bool bWriteLogfile = false;
    bool bOverlapResets = false;
    std::string filename;

    InstallStopHandlers();
    std::cout << "kavelwrite " << KAVELWRITE_VER_MAJOR << "." << KAVELWRITE_VER_MINOR << "."
              << KAVELWRITE_VER_BUILD << " writes kxb file into Kavel" << std::endl;
    HIDGetLibraryVersion(&nVerMajor, &nVerMinor, &nVerBuild);
    std::cout << "libkavelhidapi " << nVerMajor << "." << nVerMinor << "." << nVerBuild << std::endl;
    std::cout << std::endl;

    for (int nArg = 1; nArg < argc; nArg++) {
        if (txtLogfile == argv[nArg]) {
            bWriteLogfile = true;
        } else if (txtOverlapResets == argv[nArg]) {
            bOverlapResets = true;
        } else if (filename.empty()) {
            filename = argv[nArg];
        }
    }
    if (filename.empty()) {
        std::cout << "ERROR: Kxb file parameter missing" << std::endl;
        std::cout << std::endl;
        std::cout << "Usage: kavelwrite kxbfile" << std::endl;
        ReportStop();
        return RunStatus(ERR_ERROR_PARAMETER_MISSING);
    }

    pugi::xml_document doc;
    if (!LoadScript(doc, filename)) {
        std::cout << "ERROR: Kxb file load error: " << filename << std::endl;
        ReportStop();
        return RunStatus(ERR_ERROR_LOAD_FILE);
    }

    std::string stampTime = timestamp();
    int current = 0;
    int total = 0;
    pugi::xml_node root = doc.first_child();
    int result = kxbCheckWrite(root, stampTime, nullptr, &current, &total);
    if (result != 0) {
        std::cout << "ERROR: Kxb file check error" << std::endl;
        result = ERR_ERROR_IN_FILE;
    } else {
        std::cout << "Kxb file check: Pass" << std::endl;
        total = current;
        // A stop during the check pass ends the run before any keyboard is looked for.
        if (StopRequested() == 0) result = WriteKeyboards(root, stampTime, &current, &total, bOverlapResets);
    }

    // A stop is reported before the log is saved, or after the save when it came during it.
    bool bStopReported = ReportStop();
    if (bWriteLogfile) {
        std::string logfile = filename + "_" + stampTime;
        if (!SaveLogFile(doc, logfile)) {
            // The log is the only record of the run: losing it must not go unnoticed.
            std::cout << "ERROR: Log file save error: " << logfile << std::endl;
        }
    }
    if (!bStopReported) ReportStop();
    return RunStatus(result);
}
