// The replay: a recording of an earlier run, read once per process, answers the program's calls
// one by one in recorded order, as long as each call is the one the recording holds next.
#include "virtual_keyboard.h"

#include <algorithm>
#include <cstring>

namespace kavelvk {

namespace {

void Say(std::FILE* messages, const std::string& line) {
    if (messages == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), messages);
    std::fflush(messages);
}

bool Agrees(const RecordedCall& recorded, const ProgramCall& call) {
    if (recorded.nKind != call.kind) return false;
    switch (call.kind) {
    case CALL_OPEN:
    case CALL_ENUMERATE_MODULES:
    case CALL_CLOSE:
        return recorded.nKeyboard == call.keyboard;
    case CALL_SEND_COMMAND:
        return recorded.nKeyboard == call.keyboard && recorded.cmd == call.cmd && recorded.dst == call.dst &&
               recorded.bAnswerAsked == call.bAnswerAsked && recorded.pData.size() == call.dataLen &&
               (call.dataLen == 0 || std::memcmp(recorded.pData.data(), call.data, call.dataLen) == 0);
    default:
        return true;
    }
}

// The program's call as the trace writes it, with what a call that differs gets.
std::string LineOf(const ProgramCall& call, long long t) {
    ::RecordedCall written;
    written.nKind = call.kind;
    written.lTime = t;
    written.nKeyboard = call.keyboard;
    written.nStatus = STATUS_REPLAY_DIFFERS;
    written.nCount = -1;
    std::copy(DEFAULT_LIBRARY_VERSION, DEFAULT_LIBRARY_VERSION + 3, written.arVersion);
    written.cmd = call.cmd;
    written.dst = call.dst;
    if (call.dataLen > 0) written.pData.assign(call.data, call.data + call.dataLen);
    written.bAnswerAsked = call.bAnswerAsked;
    std::string sLine;
    RecordingAppendCall(&sLine, written);
    sLine.pop_back();
    return sLine;
}

// A line in a message: a SendCommand line can be very long, so only its start is shown.
std::string Excerpt(std::string_view line) {
    if (line.size() <= RECORDING_QUOTE_MAX) return std::string(line);
    return std::string(line.substr(0, RECORDING_QUOTE_MAX)) + "... (" + std::to_string(line.size()) +
           " bytes)";
}

// Whether the recording was made by the program that runs: the same name, and the same verb when
// the recording names one.
bool SameProgram(const std::string& recorded, const std::string& running) {
    if (recorded.empty() || running.empty() || recorded == running) return true;
    return recorded.find(' ') == std::string::npos && running.substr(0, running.find(' ')) == recorded;
}

} // namespace

Replay::Replay(std::unique_ptr<::Recording> recording, std::FILE* messages, std::string program)
    : recording(std::move(recording)), messages(messages), program(std::move(program)) {}

Replay::~Replay() {
    std::size_t nCalls = recording->calls.size();
    if (bDiverged || next >= nCalls) return;
    Say(messages, "kavelhid replay: the run ended before the recording: " + std::to_string(nCalls - next) +
                      " of its " + std::to_string(nCalls) + " calls were not made\n");
}

bool Replay::Replays(int kind) const {
    if (recording->bExtended) return true;
    return kind != CALL_LIBRARY_VERSION && kind != CALL_CLOSE && kind != CALL_RELEASE;
}

const ::RecordedCall* Replay::Take(const ProgramCall& call, long long t) {
    if (bDiverged) return nullptr;
    const std::vector<::RecordedCall>& calls = recording->calls;
    if (next < calls.size() && Agrees(calls[next], call)) return &calls[next++];
    // Everything after the first difference fails too, but only the first one is told.
    bDiverged = true;
    if (messages == nullptr) return nullptr;
    std::string sLine = "kavelhid replay: call " + std::to_string(next + 1);
    if (next < calls.size()) sLine += " (line " + std::to_string(calls[next].nLine) + ")";
    sLine += " differs";
    std::string sRecorded = RecordingProgramName(*recording);
    if (!SameProgram(sRecorded, program))
        sLine += " (the recording is of " + sRecorded + ", this is " + program + ")";
    sLine += ": recorded ";
    if (next < calls.size()) {
        sLine += Excerpt(RecordingLine(*recording, calls[next]));
    } else {
        sLine += "the end of the recording";
    }
    sLine += ", got " + Excerpt(LineOf(call, t)) + "\n";
    Say(messages, sLine);
    return nullptr;
}

void Replay::EnumeratorMade(std::chrono::steady_clock::time_point madeAt) {
    bHasOrigin = true;
    origin = madeAt;
}

long long Replay::TimeOutsideEnumerator() const {
    return bHasOrigin ? ElapsedMs(&origin) : 0;
}

ReplayKeyboard::ReplayKeyboard(Replay* replay, int index, Tracer* tracer,
                               const std::chrono::steady_clock::time_point* origin)
    : replay(replay), index(index), tracer(tracer), origin(origin) {}

int ReplayKeyboard::StatusCall(int kind, long long t) {
    ProgramCall call;
    call.kind = kind;
    call.keyboard = index;
    const ::RecordedCall* recorded = replay->Take(call, t);
    return recorded != nullptr ? recorded->nStatus : STATUS_REPLAY_DIFFERS;
}

int ReplayKeyboard::Open() {
    long long nT = ElapsedMs(origin);
    int nStatus = StatusCall(CALL_OPEN, nT);
    if (tracer != nullptr) tracer->OpenDevice(nT, index, nStatus);
    return nStatus;
}

int ReplayKeyboard::Close() {
    // A plain trace does not show Close: it succeeds, as a virtual keyboard's does.
    if (!replay->Replays(CALL_CLOSE)) return STATUS_OK;
    return StatusCall(CALL_CLOSE, ElapsedMs(origin));
}

int ReplayKeyboard::EnumerateModules() {
    long long nT = ElapsedMs(origin);
    int nStatus = StatusCall(CALL_ENUMERATE_MODULES, nT);
    if (tracer != nullptr) tracer->EnumerateModules(nT, index, nStatus);
    return nStatus;
}

int ReplayKeyboard::SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                                unsigned char* response, int* responseLen) {
    // The same reading of the arguments as a virtual keyboard's, so that a trace replays.
    ProgramCall call;
    call.kind = CALL_SEND_COMMAND;
    call.keyboard = index;
    call.cmd = cmd;
    call.dst = dst;
    call.dataLen = data != nullptr && dataLen > 0 ? static_cast<std::size_t>(dataLen) : 0;
    call.data = call.dataLen > 0 ? data : nullptr;
    call.bAnswerAsked = response != nullptr && responseLen != nullptr;
    long long nT = ElapsedMs(origin);
    const ::RecordedCall* recorded = replay->Take(call, nT);
    int nStatus = recorded != nullptr ? recorded->nStatus : STATUS_REPLAY_DIFFERS;

    std::size_t nCopied = 0;
    if (call.bAnswerAsked) {
        std::size_t nCapacity = *responseLen > 0 ? static_cast<std::size_t>(*responseLen) : 0;
        if (recorded != nullptr) nCopied = std::min(nCapacity, recorded->pAnswer.size());
        if (nCopied > 0) std::memcpy(response, recorded->pAnswer.data(), nCopied);
        // The length the library stored back travels as recorded, even when it is not what fits.
        *responseLen =
            recorded != nullptr && recorded->bReported ? recorded->nReported : static_cast<int>(nCopied);
    }
    if (tracer != nullptr) {
        tracer->SendCommand(nT, index, cmd, dst, call.data, call.dataLen, nStatus, call.bAnswerAsked,
                            response, nCopied);
    }
    return nStatus;
}

} // namespace kavelvk
