// The event stream of --events: one JSON object per line, written and flushed as each thing
// happens, for line software that follows the file instead of reading the console.
#include "kavelwrite.h"

#include "driver.h"
#include "history.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct EventStream {
    int fd = -1;
    int nWriteError = 0; // the first write that failed
    // The keyboard whose progress is told, and the last per cent told of it.
    int nBatch = 0;
    int nKeyboard = -1;
    int nPercent = -1;
    bool bEnded = false; // the end event was written
};

EventStream events;

void Write(nlohmann::ordered_json event) {
    if (events.fd < 0) return;
    std::string sLine = event.dump() + "\n";
    const char* pText = sLine.data();
    size_t nLeft = sLine.size();
    // One write per event where the system allows, so that a follower never sees half a line.
    while (nLeft > 0 && events.nWriteError == 0) {
        ssize_t nWritten = write(events.fd, pText, nLeft);
        if (nWritten < 0 && errno == EINTR) continue;
        if (nWritten <= 0) {
            events.nWriteError = nWritten < 0 ? errno : EIO;
            break;
        }
        pText += nWritten;
        nLeft -= static_cast<size_t>(nWritten);
    }
}

nlohmann::ordered_json Event(const char* txtEvent) {
    nlohmann::ordered_json event;
    event["event"] = txtEvent;
    event["time"] = HistoryUtcNow();
    return event;
}

nlohmann::ordered_json UnitsJson(const std::vector<UnitIdentity>& arUnit) {
    nlohmann::ordered_json units = nlohmann::ordered_json::array();
    for (const UnitIdentity& unit : arUnit) {
        nlohmann::ordered_json jUnit;
        if (unit.nSlot < 0) {
            jUnit["unit"] = "controller";
        } else {
            jUnit["unit"] = unit.nSlot;
        }
        jUnit["typeId"] = unit.nTypeId;
        jUnit["version"] = unit.sVersion;
        jUnit["subId"] = unit.nSubId;
        units.push_back(jUnit);
    }
    return units;
}

// Tells the progress of the keyboard being written, once per whole per cent.
void TellProgress(int nPercent) {
    if (events.fd < 0 || events.nKeyboard < 0 || nPercent == events.nPercent) return;
    events.nPercent = nPercent;
    nlohmann::ordered_json event = Event("progress");
    event["batch"] = events.nBatch;
    event["keyboard"] = events.nKeyboard;
    event["percent"] = nPercent;
    Write(event);
}

// True when path is no regular file, or one that is empty or begins with an event line.
bool HoldsOnlyEvents(const std::string& path) {
    const std::string txtBegin = "{\"event\":";
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return true;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    std::string sBegin(txtBegin.size(), '\0');
    ssize_t nRead = read(fd, &sBegin[0], sBegin.size());
    close(fd);
    return nRead == static_cast<ssize_t>(txtBegin.size()) && sBegin == txtBegin;
}

} // namespace

int EventsOpen(const std::string& path, std::string* sReason) {
    if (!HoldsOnlyEvents(path)) {
        *sReason = "it holds something else than events, which would be mixed with them";
        return EEXIST;
    }
    // Appended to, never emptied: the events of an earlier station stay, each run beginning with its
    // own start event. Opened without waiting, so that a pipe with no reader fails at once.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        int nError = errno;
        *sReason = nError == ENXIO ? "no program reads the pipe" : std::strerror(nError);
        return nError;
    }
    // Each event is then written whole, the station keeping pace with a reader of a pipe.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    events = EventStream();
    events.fd = fd;
    SetProgressHook(TellProgress);
    return 0;
}

int EventsClose(int nStatus, int nSignal) {
    if (events.fd < 0) return 0;
    if (!events.bEnded) EventEnd(nStatus, 0, BatchTally(), nSignal);
    SetProgressHook(nullptr);
    if (close(events.fd) != 0 && events.nWriteError == 0) events.nWriteError = errno;
    events.fd = -1;
    return events.nWriteError;
}

std::string EventsErrorText(const std::string& path, const std::string& sReason) {
    return "Events file error: " + path + ": " + sReason;
}

std::string EventsErrorText(const std::string& path, int nError) {
    return EventsErrorText(path, std::strerror(nError));
}

void EventStart(const std::string& sProgram, const std::string& sLibrary, const std::string& sScript,
                const std::string& sScriptSha256, const std::string& sCheck) {
    nlohmann::ordered_json event = Event("start");
    event["program"] = sProgram;
    event["library"] = sLibrary;
    event["script"] = sScript;
    event["scriptSha256"] = sScriptSha256;
    event["check"] = sCheck;
    Write(event);
}

void EventWaiting() {
    Write(Event("waiting"));
}

void EventUnplug() {
    Write(Event("unplug"));
}

void EventBatch(int nBatch, int nKeyboards) {
    nlohmann::ordered_json event = Event("batch");
    event["batch"] = nBatch;
    event["keyboards"] = nKeyboards;
    Write(event);
}

void EventKeyboard(int nBatch, int nKeyboard, const std::vector<UnitIdentity>& arUnit) {
    events.nBatch = nBatch;
    events.nKeyboard = nKeyboard;
    events.nPercent = -1;
    nlohmann::ordered_json event = Event("keyboard");
    event["batch"] = nBatch;
    event["keyboard"] = nKeyboard;
    event["units"] = UnitsJson(arUnit);
    Write(event);
}

void EventResult(int nBatch, const KeyboardReport& report) {
    // Progress after the result is no keyboard's: the run's own wait for the last reset.
    events.nKeyboard = -1;
    nlohmann::ordered_json event = Event("result");
    event["batch"] = nBatch;
    event["keyboard"] = report.nKeyboard;
    event["status"] = report.nOutcome;
    event["outcome"] = report.sOutcome;
    event["failedAt"] = report.sFailedAt;
    event["verify"] = report.sVerify;
    Write(event);
}

void EventBatchEnd(int nBatch, const BatchTally& tally) {
    nlohmann::ordered_json event = Event("batchEnd");
    event["batch"] = nBatch;
    event["keyboards"] = tally.nKeyboards;
    event["written"] = tally.nWritten;
    event["failed"] = tally.nKeyboards - tally.nWritten;
    Write(event);
}

void EventEnd(int nStatus, int nBatches, const BatchTally& tally, int nSignal) {
    events.bEnded = true;
    nlohmann::ordered_json event = Event("end");
    event["status"] = nStatus;
    event["batches"] = nBatches;
    event["keyboards"] = tally.nKeyboards;
    event["written"] = tally.nWritten;
    event["failed"] = tally.nKeyboards - tally.nWritten;
    if (nSignal != 0) {
        event["endedBy"] = nSignal;
    } else {
        event["endedBy"] = "exit";
    }
    Write(event);
}
