// The device loop: the check pass, every attached keyboard written in turn, the wait for the last
// reset, the log file and how the run ends.
#include "kavelwrite.h"

#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"
#include "readback.h"
#include "walk.h"

#include <chrono>
#include <iostream>
#include <vector>

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
// in one line when there is time left. A stop ends the wait at once.
void FinishResetWait(int i, std::chrono::steady_clock::time_point tReset) {
    long lElapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tReset)
            .count();
    // The elapsed time is rounded down, so the rest is rounded up and the wait is never short.
    long lRemainingMs = static_cast<long>(RESET_STEPS) * TIME_ONE_COMMAND - lElapsedMs;
    if (lRemainingMs <= 0 || StopRequested() != 0) return;
    std::cout << "Waiting " << lRemainingMs << " ms for device" << i << " to restart" << std::endl;
    SleepMilliseconds(static_cast<int>(lRemainingMs));
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
    // With --verify the check pass counts the read-back's steps too, from the blocks it validates.
    ReadBackPassOwner steps = args.bVerify ? ReadBackBegin(nullptr) : ReadBackPassOwner();
    WriteOptions check;
    check.observer = steps ? ReadBackObserver(steps.get()) : nullptr;
    int result = kxbCheckWrite(root, stampTime, nullptr, &current, &total, check);
    if (steps) current += ReadBackSteps(steps.get());
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
