// A run: the files it was asked for, the script loaded and checked, every attached keyboard written
// in turn (a batch) or batch after batch (a station), the log file, and how the run ends.
#include "kavelwrite.h"

#include "driver.h"
#include "hidlink.h"
#include "history.h"
#include "kavelhidapi.h"
#include "readback.h"
#include "walk.h"

#include <cerrno>
#include <chrono>
#include <iostream>
#include <unistd.h>
#include <vector>

namespace {

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
void PrintVerifySummary(const BatchTally& tally, const std::vector<KeyboardFailure>& arFailed) {
    std::cout << "Written and verified: " << tally.nWritten << " of " << tally.nKeyboards << " keyboards"
              << FailedList(arFailed) << std::endl;
}

} // namespace

std::string FailedList(const std::vector<KeyboardFailure>& arFailed) {
    std::string sFailed;
    for (const KeyboardFailure& failed : arFailed) {
        sFailed += (sFailed.empty() ? "; failed: " : ", ") + ("device" + std::to_string(failed.nKeyboard)) +
                   " (" + std::to_string(failed.nStatus) + ")";
    }
    return sFailed;
}

bool ReportStop() {
    int nSignal = StopRequested();
    if (nSignal != 0) std::cout << "ERROR: Interrupted by signal " << nSignal << std::endl;
    return nSignal != 0;
}

int RunStatus(int result) {
    const int STATUS_SIGNAL_BASE = 128;
    return StopRequested() == 0 ? result : STATUS_SIGNAL_BASE + StopRequested();
}

int WriteBatch(pugi::xml_node root, const std::string& stampTime, int nTotal, const RunArguments& args,
               KeyboardRun run, BatchTally* tally, std::vector<KeyboardFailure>* arFailed) {
    *tally = BatchTally();
    arFailed->clear();
    HidEnumerator hid = HidCreate();
    int num = HidEnumerate(hid.get());
    if (num < 0) {
        std::cout << txtNO_DEVICE << std::endl;
        return ERR_ERROR_NO_DEVICE;
    }
    std::cout << num << txtDEVICES_DETECTED << std::endl;
    EventBatch(run.nBatch, num);
    // A station writes its keyboards as --overlap-resets does: the operator waits once per batch.
    bool bOverlapResets = args.bOverlapResets || args.bLoop;
    int result = 0;
    int nUnwaited = -1; // the last keyboard reset without its wait, -1 when it has none to finish
    std::chrono::steady_clock::time_point tReset;
    int current = 0;
    int total = nTotal;
    // After a stop request no further keyboard is opened.
    for (int i = 0; i < num && StopRequested() == 0; i++) {
        KavelHidDevice* device = HidGetDevice(hid.get(), i);
        // The next keyboard is another device: it need not wait for this one to restart.
        run.bWaitReset = !bOverlapResets || i == num - 1;
        KeyboardReport report;
        int nOutcome = WriteKeyboard(device, i, root, stampTime, &current, &total, run, &report);
        EventResult(run.nBatch, report);
        tally->nKeyboards++;
        // A keyboard the record cannot account for is the last one written.
        bool bRecorded = RecordKeyboard(report) == 0;
        // Taken after the block, a little after the reset itself, so the wait left is never short.
        if (nOutcome == 0) {
            tally->nWritten++;
            nUnwaited = run.bWaitReset ? -1 : i;
            tReset = std::chrono::steady_clock::now();
        } else {
            // One failed keyboard fails the run, even when keyboards after it succeed.
            result = nOutcome;
            arFailed->push_back({i, nOutcome});
        }
        if (!bRecorded) {
            result = ERR_ERROR_HISTORY;
            break;
        }
    }
    // The enumerator must outlive the wait, so the keyboards are not let go while they restart.
    if (nUnwaited >= 0) FinishResetWait(nUnwaited, tReset);
    if (run.bVerify && num > 1) PrintVerifySummary(*tally, *arFailed);
    return result;
}

void SaveLogFile(const pugi::xml_document& doc, const std::string& filename, const std::string& stampTime,
                 bool bReserved) {
    std::string logfile = LogFileName(filename, stampTime);
    if (SaveDocumentWhole(doc, logfile)) return;
    // The empty file that held the name for this run is no log.
    if (bReserved) unlink(logfile.c_str());
    // The log is the only record of the run: losing it must not go unnoticed.
    std::cout << "ERROR: Log file save error: " << logfile << std::endl;
}

namespace {

// Opens the event stream of --events; returns 0, or ERR_ERROR_EVENTS_FILE after its ERROR: line.
int OpenEvents(const RunArguments& args) {
    // Line software that follows the events must not miss a run that it was told to follow.
    std::string sReason = "no file named";
    bool bScript = SameFile(args.sEventsFile, args.filename);
    int nError = args.sEventsFile.empty() ? EINVAL : bScript ? EEXIST : EventsOpen(args.sEventsFile, &sReason);
    if (bScript) sReason = "it is the script";
    if (nError == 0) return 0;
    std::cout << "ERROR: "
              << (args.sEventsFile.empty() ? "Events file parameter missing"
                                           : EventsErrorText(args.sEventsFile, sReason))
              << std::endl;
    return ERR_ERROR_EVENTS_FILE;
}

// Opens the record of --history or KAVELWRITE_HISTORY, if any; returns 0, or ERR_ERROR_HISTORY
// after its ERROR: line.
int OpenRecord(const RunArguments& args) {
    std::string sTarget = HistoryTarget(args);
    if (args.bHistory && sTarget.empty()) {
        std::cout << "ERROR: History target parameter missing" << std::endl;
        return ERR_ERROR_HISTORY;
    }
    if (sTarget.empty()) return 0;
    // A file that is no record is never made one: least of all the script.
    if (SameFile(sTarget, args.filename)) {
        std::cout << "ERROR: History error: " << sTarget << ": it is the script" << std::endl;
        return ERR_ERROR_HISTORY;
    }
    return RecordOpen(sTarget);
}

// What the check pass says of the script: "pass", or its first annotation ("PARSE_ERROR:DST"), or
// "error" for a fault it annotates nowhere (a wrong root, an unknown element).
std::string CheckOutcome(pugi::xml_node root, const std::string& stampTime, int result) {
    if (result == 0) return "pass";
    for (pugi::xml_node node = root; node;) {
        pugi::xml_attribute annotation = node.attribute(stampTime.c_str());
        if (annotation) return annotation.value();
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != root && !node.next_sibling()) node = node.parent();
        node = node == root ? pugi::xml_node() : node.next_sibling();
    }
    return "error";
}

} // namespace

int WriteScriptFile(const RunArguments& args, int nRecordError, const std::string& sLibrary) {
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
    if (args.bEvents && OpenEvents(args) != 0) {
        ReportStop();
        return RunStatus(ERR_ERROR_EVENTS_FILE);
    }
    const std::string& filename = args.filename;
    RunRecordFields fields;
    fields.sProgram = ProgramVersion();
    fields.sLibrary = sLibrary;
    fields.sArguments = HistoryRedactArguments(args.arArguments);
    fields.sScriptPath = filename;
    if (filename.empty()) {
        EventStart(fields.sProgram, sLibrary, filename, "", "");
        std::cout << "ERROR: Kxb file parameter missing" << std::endl;
        std::cout << std::endl;
        PrintUsage();
        ReportStop();
        return RunStatus(ERR_ERROR_PARAMETER_MISSING);
    }

    pugi::xml_document doc;
    pugi::xml_parse_result parsed;
    // The record and the events name the script by the hash of its bytes.
    if (args.bEvents || !HistoryTarget(args).empty()) Sha256FileHex(filename, &fields.sScriptSha256);
    if (LoadScriptFile(doc, filename, &parsed) != LOAD_OK) {
        EventStart(fields.sProgram, sLibrary, filename, fields.sScriptSha256, "");
        std::cout << "ERROR: Kxb file load error: " << filename << std::endl;
        ReportStop();
        return RunStatus(ERR_ERROR_LOAD_FILE);
    }
    // The record is opened before the check, whose failure it keeps too, and before any keyboard.
    if (OpenRecord(args) != 0) {
        EventStart(fields.sProgram, sLibrary, filename, fields.sScriptSha256, "");
        ReportStop();
        return RunStatus(ERR_ERROR_HISTORY);
    }

    std::string stampTime = timestamp();
    bool bReserved = args.bWriteLogfile && ReserveLogFile(filename, &stampTime);
    int current = 0;
    int total = 0;
    pugi::xml_node root = doc.first_child();
    // With --verify the check pass counts the read-back's steps too, from the blocks it validates.
    ReadBackPassOwner steps = args.bVerify ? ReadBackBegin(nullptr) : ReadBackPassOwner();
    WriteOptions check;
    check.observer = steps ? ReadBackObserver(steps.get()) : nullptr;
    int result = kxbCheckWrite(root, stampTime, nullptr, &current, &total, check);
    if (steps) current += ReadBackSteps(steps.get());
    const std::string sCheck = CheckOutcome(root, stampTime, result);
    EventStart(fields.sProgram, sLibrary, filename, fields.sScriptSha256, sCheck);
    KeyboardRun run;
    run.bVerify = args.bVerify;
    run.filename = filename;
    run.encoding = parsed.encoding;
    run.bFailedAt = args.bEvents || RecordOn();
    BatchTally tally;
    if (result != 0) {
        std::cout << "ERROR: Kxb file check error" << std::endl;
        result = ERR_ERROR_IN_FILE;
        // A script that fails the check is a run of the record with its end and no keyboards.
        if (RecordRunBegin(fields, sCheck, 0, "") != 0) result = ERR_ERROR_HISTORY;
    } else {
        std::cout << "Kxb file check: Pass" << std::endl;
        if (args.bLoop && StopRequested() == 0) {
            // Each batch takes a name for its own log file.
            if (bReserved) unlink(LogFileName(filename, stampTime).c_str());
            return RunStation(args, doc, current, run, fields);
        }
        if (RecordRunBegin(fields, sCheck, 0, "") != 0) {
            result = ERR_ERROR_HISTORY;
        } else if (StopRequested() == 0) {
            // A stop during the check pass ends the run before any keyboard is looked for.
            std::vector<KeyboardFailure> arFailed;
            result = WriteBatch(root, stampTime, current, args, run, &tally, &arFailed);
            EventBatchEnd(run.nBatch, tally);
        }
    }

    // A stop is reported before the log is saved, or after the save when it came during it.
    bool bStopReported = ReportStop();
    if (args.bWriteLogfile) SaveLogFile(doc, filename, stampTime, bReserved);
    if (!bStopReported) ReportStop();
    result = RunStatus(result);
    RecordRunEnd(result, StopRequested());
    EventEnd(result, result == ERR_ERROR_IN_FILE ? 0 : 1, tally, StopRequested());
    return result;
}
