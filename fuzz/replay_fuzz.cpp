// Any bytes as a recording for the replay, read by the one reader that kxb twin reads with too. A
// recording that is refused must say why in one line, never crash. One that loads must read back
// exactly as the writer writes its lines, and must replay: each recorded call, made again as the
// program made it, gets what was recorded, with no byte written beyond the room offered, and a
// call past the end fails with 104.
#include "recording.h"
#include "virtual_keyboard.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace {

// The call line as the trace and the recorder write it.
std::string Written(const RecordedCall& call) {
    std::string sLine;
    RecordingAppendCall(&sLine, call);
    sLine.pop_back();
    return sLine;
}

// Sends the recorded message again with room for half or all of the recorded answer, and checks
// what comes back.
void SendAgain(kavelvk::ReplayKeyboard* device, const RecordedCall& call, std::size_t callNumber) {
    std::vector<std::uint8_t> data = call.pData;
    std::size_t nCapacity = callNumber % 2 == 0 ? call.pAnswer.size() : call.pAnswer.size() / 2;
    // Exactly the room offered, so that the sanitizer sees a byte written beyond it.
    std::unique_ptr<std::uint8_t[]> response(new std::uint8_t[nCapacity]);
    int nResponseLen = static_cast<int>(nCapacity);
    int nStatus = device->SendCommand(call.cmd, call.dst, data.data(), static_cast<int>(data.size()),
                                      call.bAnswerAsked ? response.get() : nullptr,
                                      call.bAnswerAsked ? &nResponseLen : nullptr);
    if (nStatus != call.nStatus) std::abort();
    if (!call.bAnswerAsked) return;
    std::size_t nCopied = std::min(nCapacity, call.pAnswer.size());
    if (nResponseLen != (call.bReported ? call.nReported : static_cast<int>(nCopied))) std::abort();
    if (nCopied > 0 && std::memcmp(response.get(), call.pAnswer.data(), nCopied) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto recording = std::make_unique<Recording>();
    std::string sError;
    int nLine =
        RecordingRead(std::string(reinterpret_cast<const char*>(data), size), recording.get(), &sError);
    if (nLine != 0) {
        // The library names the file and the fault in one line on standard error, at a line there is.
        if (sError.empty() || sError.find_first_of("\r\n") != std::string::npos) std::abort();
        if (sError.compare(0, 5 + std::to_string(nLine).size(), "line " + std::to_string(nLine)) != 0)
            std::abort();
        if (!recording->calls.empty()) std::abort();
        return 0;
    }
    for (const RecordedCall& call : recording->calls) {
        if (Written(call) != RecordingLine(*recording, call)) std::abort();
        if (call.nLine == 0 || call.nLine > recording->nLastWholeLine) std::abort();
    }
    // What is said of a recording that does not end as a whole run's does names a line it has.
    std::string sIncomplete = RecordingIncompleteText(*recording);
    if (sIncomplete.find_first_of("\r\n") != std::string::npos) std::abort();

    kavelvk::Replay replay(std::move(recording), nullptr);
    std::unordered_map<int, std::unique_ptr<kavelvk::ReplayKeyboard>> devices;
    auto Device = [&](int index) {
        std::unique_ptr<kavelvk::ReplayKeyboard>& device = devices[index];
        if (!device) device = std::make_unique<kavelvk::ReplayKeyboard>(&replay, index, nullptr, nullptr);
        return device.get();
    };
    const std::vector<RecordedCall>& calls = replay.Recorded().calls;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const RecordedCall& call = calls[i];
        switch (call.nKind) {
        case CALL_OPEN:
            if (Device(call.nKeyboard)->Open() != call.nStatus) std::abort();
            break;
        case CALL_ENUMERATE_MODULES:
            if (Device(call.nKeyboard)->EnumerateModules() != call.nStatus) std::abort();
            break;
        case CALL_CLOSE:
            if (Device(call.nKeyboard)->Close() != call.nStatus) std::abort();
            break;
        case CALL_SEND_COMMAND:
            SendAgain(Device(call.nKeyboard), call, i);
            break;
        default: {
            kavelvk::ProgramCall again;
            again.kind = call.nKind;
            if (replay.Take(again, 0) != &call) std::abort();
            break;
        }
        }
        if (replay.Diverged()) std::abort();
    }
    if (Device(0)->Open() != kavelvk::STATUS_REPLAY_DIFFERS || !replay.Diverged()) std::abort();
    return 0;
}
