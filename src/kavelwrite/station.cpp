// A station: the checked script is written into keyboards batch after batch, as they are plugged
// in, until a stop or the number of batches asked for. Between batches the station only looks at
// the bus, with a new enumerator each time, opening nothing.
#include "kavelwrite.h"

#include "driver.h"
#include "hidlink.h"
#include "history.h"

#include <iostream>
#include <unistd.h>

namespace {

// How often the station looks at the bus while it waits.
const int TIME_LOOK = 500;

// Looks at the bus; returns the count of keyboards attached (negative: none can be looked for).
int LookAtBus() {
    HidEnumerator hid = HidCreate();
    return HidEnumerate(hid.get());
}

// Looks until bDone says the count is what the station waits for, in two looks in a row. A count
// that cannot be had is said once, and again when it can. Returns the count, or -1 when a stop was
// requested.
int WaitForBus(bool (*bDone)(int nCount)) {
    int nPrevious = -1;
    bool bNoDevice = false;
    while (StopRequested() == 0) {
        int nCount = LookAtBus();
        if (nCount < 0 && !bNoDevice) std::cout << txtNO_DEVICE << std::endl;
        if (nCount >= 0 && bNoDevice) std::cout << "Keyboards can be looked for again" << std::endl;
        bNoDevice = nCount < 0;
        if (nCount >= 0 && nCount == nPrevious && bDone(nCount)) return nCount;
        nPrevious = nCount;
        SleepMilliseconds(TIME_LOOK);
    }
    return -1;
}

// A batch begins when keyboards are attached and their count holds: keyboards plugged in one after
// another within a look of each other form one batch.
bool KeyboardsAttached(int nCount) {
    return nCount > 0;
}

// The bus is empty once no keyboard is seen; a keyboard that restarts after its reset keeps the
// station waiting, since it is still attached or comes back.
bool BusEmpty(int nCount) {
    return nCount == 0;
}

} // namespace

int RunStation(const RunArguments& args, const pugi::xml_document& doc, int nTotal, KeyboardRun run,
               const RunRecordFields& fields) {
    // The batches of one station share a session in the record.
    const std::string sSession = RecordOn() ? HistoryNewRunId() : "";
    BatchTally station;
    int nBatches = 0;
    int result = 0;
    bool bStoppedInBatch = false;
    while (args.nBatches == 0 || nBatches < args.nBatches) {
        std::cout << "Waiting for keyboards (Ctrl-C ends the station)" << std::endl;
        EventWaiting();
        if (WaitForBus(KeyboardsAttached) < 0) break;

        nBatches++;
        std::cout << "Batch " << nBatches << std::endl;
        // Each batch is a run of its own: its stamp, its annotations on a fresh copy of the script,
        // its log file.
        pugi::xml_document batch;
        batch.reset(doc);
        std::string stampTime = timestamp();
        bool bReserved = args.bWriteLogfile && ReserveLogFile(run.filename, &stampTime);
        run.nBatch = nBatches;
        BatchTally tally;
        std::vector<KeyboardFailure> arFailed;
        int nStatus = RecordRunBegin(fields, "pass", nBatches, sSession);
        if (nStatus == 0) nStatus = WriteBatch(batch.first_child(), stampTime, nTotal, args, run, &tally, &arFailed);
        std::cout << "Batch " << nBatches << ": " << tally.nWritten << " of " << tally.nKeyboards
                  << " keyboards written" << FailedList(arFailed) << std::endl;
        EventBatchEnd(nBatches, tally);
        station.nKeyboards += tally.nKeyboards;
        station.nWritten += tally.nWritten;
        if (!arFailed.empty()) result = arFailed.back().nStatus;
        bStoppedInBatch = StopRequested() != 0;
        // A batch stopped by a signal ends as a run does: the stop said, then its log saved.
        if (bStoppedInBatch) ReportStop();
        if (args.bWriteLogfile) SaveLogFile(batch, run.filename, stampTime, bReserved);
        RecordRunEnd(RunStatus(nStatus), StopRequested());
        // A station must not write keyboards that it cannot account for.
        bool bUnrecorded = nStatus == ERR_ERROR_HISTORY;
        if (bUnrecorded) result = ERR_ERROR_HISTORY;
        if (bStoppedInBatch || bUnrecorded || nBatches == args.nBatches) break;

        std::cout << "Unplug the keyboards" << std::endl;
        EventUnplug();
        if (WaitForBus(BusEmpty) < 0) break;
    }
    std::cout << "Station: " << nBatches << " batches, " << station.nKeyboards << " keyboards, "
              << station.nWritten << " written, " << station.nKeyboards - station.nWritten << " failed"
              << std::endl;
    // A stop while the station waits ends it as planned; one during a batch is the batch's.
    int nStatus = bStoppedInBatch ? RunStatus(result) : result;
    EventEnd(nStatus, nBatches, station, bStoppedInBatch ? StopRequested() : 0);
    return nStatus;
}
