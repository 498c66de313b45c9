// The production record of --history (or KAVELWRITE_HISTORY): a row for every run, its end, and
// every keyboard with its units, each keyboard's committed before the next one is opened.
#include "kavelwrite.h"

#include "driver.h"
#include "history.h"

#include <cstdlib>
#include <iostream>
#include <limits.h>
#include <unistd.h>

namespace {

// The record this run keeps.
struct RunRecord {
    History history;
    std::string sTarget; // as it may be printed
    HistoryRun run;      // the current run's row, once begun
    bool bRunBegun = false;
};

RunRecord record;

// The script's path from the root: a run started in another folder names the same file.
std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char arFolder[PATH_MAX];
    if (getcwd(arFolder, sizeof arFolder) == nullptr) return path;
    return std::string(arFolder) + "/" + path;
}

void SayError(const std::string& sError) {
    std::cout << "ERROR: History error: " << sError << std::endl;
}

// A hash of what the read-back found, the same for two keyboards that hold the same bytes where
// the script writes: each run of bytes with its unit, address and length.
std::string ImageSha256(const std::vector<KxbHeldRun>& arHeld) {
    std::vector<unsigned char> pImage;
    for (const KxbHeldRun& run : arHeld) {
        const unsigned long ulLength = run.pBytes.size();
        for (unsigned long ulField : {static_cast<unsigned long>(run.nUnit), static_cast<unsigned long>(run.nAddress),
                                      ulLength})
            for (int nShift = 24; nShift >= 0; nShift -= 8) pImage.push_back(static_cast<unsigned char>(ulField >> nShift));
        pImage.insert(pImage.end(), run.pBytes.begin(), run.pBytes.end());
    }
    return Sha256Hex(pImage.data(), pImage.size());
}

} // namespace

std::string HistoryTarget(const RunArguments& args) {
    if (args.bHistory) return args.sHistory;
    const char* txtTarget = std::getenv("KAVELWRITE_HISTORY");
    return txtTarget == nullptr ? std::string() : std::string(txtTarget);
}

int RecordOpen(const std::string& sTarget) {
    std::string sError;
    if (HistoryOpen(sTarget, HISTORY_WRITE, &record.history, &sError) != HISTORY_OK) {
        SayError(sError);
        return ERR_ERROR_HISTORY;
    }
    record.sTarget = HistoryTargetText(sTarget);
    return 0;
}

bool RecordOn() {
    return record.history != nullptr;
}

int RecordRunBegin(const RunRecordFields& fields, const std::string& sCheckOutcome, int nBatch,
                   const std::string& sSession) {
    if (!record.history) return 0;
    HistoryRun& run = record.run;
    run = HistoryRun();
    run.sRunId = HistoryNewRunId();
    run.sStation = HistoryDefaultStation();
    run.sProgram = fields.sProgram;
    run.sLibrary = fields.sLibrary;
    run.sArguments = fields.sArguments;
    run.sScriptPath = AbsolutePath(fields.sScriptPath);
    run.sScriptSha256 = fields.sScriptSha256;
    run.sCheckOutcome = sCheckOutcome;
    run.sStarted = HistoryUtcNow();
    run.sBatch = nBatch > 0 ? std::to_string(nBatch) : "";
    run.sSession = sSession;
    std::string sError;
    if (HistoryRunBegin(record.history.get(), run, &sError) != HISTORY_OK) {
        SayError(sError);
        return ERR_ERROR_HISTORY;
    }
    record.bRunBegun = true;
    return 0;
}

int RecordKeyboard(const KeyboardReport& report) {
    if (!record.history || !record.bRunBegun) return 0;
    HistoryKeyboard keyboard;
    keyboard.nKeyboard = report.nKeyboard;
    keyboard.sStarted = report.sStarted;
    keyboard.sEnded = report.sEnded;
    keyboard.nOutcome = report.nOutcome;
    keyboard.sFailedAt = report.sFailedAt;
    keyboard.sVerify = report.sVerify;
    keyboard.nVerifiedBytes = report.nVerifiedBytes;
    if (!report.sVerify.empty()) keyboard.sImageSha256 = ImageSha256(report.arHeld);
    keyboard.bReset = report.bReset;
    keyboard.bResetStatus = report.bReset;
    keyboard.nResetStatus = report.nResetStatus;
    for (const UnitIdentity& unit : report.arUnit) {
        HistoryUnit row;
        row.sUnit = unit.nSlot < 0 ? "controller" : std::to_string(unit.nSlot);
        row.nTypeId = unit.nTypeId;
        row.sVersion = unit.sVersion;
        row.nSubId = unit.nSubId;
        keyboard.arUnit.push_back(row);
    }
    std::string sError;
    if (HistoryAddKeyboard(record.history.get(), record.run.sRunId, keyboard, &sError) == HISTORY_OK) return 0;
    // A station must not write keyboards it cannot account for.
    SayError("the row of device" + std::to_string(report.nKeyboard) + " is missing: " + sError);
    return ERR_ERROR_HISTORY;
}

void RecordRunEnd(int nStatus, int nSignal) {
    if (!record.history || !record.bRunBegun) return;
    record.bRunBegun = false;
    std::string sError;
    if (HistoryRunEnd(record.history.get(), record.run.sRunId, HistoryUtcNow(), nStatus, nSignal, &sError) !=
        HISTORY_OK)
        SayError(sError);
}
