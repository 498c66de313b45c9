// Stopping a run with its record: a signal only asks for a stop, which a write pass honours before
// its next message, so that no message is cut in half, the keyboards not yet reached stay untouched
// and the log file is still saved.
#include "driver.h"

#include "hidlink.h"

#include <csignal>

namespace {

volatile sig_atomic_t nStopSignal = 0;

// Ends the program by the signal's own default action, after a recording says so last. The signal is
// blocked while a handler runs and ends the program as soon as it returns.
void EndBySignal(int nSignal) {
    RecordingSignalEnd(nSignal);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigemptyset(&standard.sa_mask);
    sigaction(nSignal, &standard, nullptr);
    raise(nSignal);
}

void RequestStop(int nSignal) {
    if (nStopSignal == 0) {
        nStopSignal = nSignal;
        // A recording write that waits for its reader would otherwise hold the stop back.
        RecordingInterrupt();
        return;
    }
    // Asked again while stopping: the user will not wait for the record.
    EndBySignal(nSignal);
}

// Lets each of SIGINT, SIGTERM and SIGHUP call handler, but one that the caller ignores (nohup, a
// background job), which stays ignored.
void HandleEndSignals(void (*handler)(int)) {
    struct sigaction request {};
    request.sa_handler = handler;
    sigemptyset(&request.sa_mask);
    // The message in flight and the console output complete after a signal; a pause wakes anyway,
    // as the system never resumes one for a handler.
    request.sa_flags = SA_RESTART;
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        if (sigaction(nSignal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(nSignal, &request, nullptr);
    }
}

} // namespace

void InstallStopHandlers() {
    // A reader that stops reading must not end the run: output that cannot be written is lost.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    HandleEndSignals(RequestStop);
}

void InstallEndHandlers() {
    HandleEndSignals(EndBySignal);
}

int StopRequested() {
    return nStopSignal;
}

int StopCheckpoint(pugi::xml_node node, const std::string& timestampDevice) {
    if (StopRequested() == 0) return 0;
    AddAttribute(node, timestampDevice, txtINTERRUPTED);
    return RESULT_INTERRUPTED;
}
