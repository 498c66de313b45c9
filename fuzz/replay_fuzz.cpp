// Any bytes as a recording for the replay. A recording that is refused must say why in one line,
// never crash. One that loads must read back exactly as the trace writes its lines, and must
// replay: each recorded call, made again as the program made it, gets what was recorded, with no
// byte written beyond the room offered, and a call past the end fails with 104.
#include "virtual_keyboard.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace {

using kavelvk::CallKind;
using kavelvk::RecordedCall;

// The call line as the trace and the recorder write it.
std::string Written(const RecordedCall& call) {
    std::string sLine;
    switch (call.kind) {
    case CallKind::LibraryVersion:
        kavelvk::FormatLibraryVersionLine(&sLine, call.t, call.version, call.status);
        break;
    case CallKind::Enumerate:
        kavelvk::FormatEnumerateLine(&sLine, call.t, call.count);
        break;
    case CallKind::Open:
        kavelvk::FormatOpenLine(&sLine, call.t, call.keyboard, call.status);
        break;
    case CallKind::EnumerateModules:
        kavelvk::FormatEnumerateModulesLine(&sLine, call.t, call.keyboard, call.status);
        break;
    case CallKind::SendCommand:
        kavelvk::FormatSendCommandLine(&sLine, call.t, call.keyboard, call.cmd, call.dst, call.data.data(),
                                       call.data.size(), call.status, call.bAnswerAsked, call.answer.data(),
                                       call.answer.size());
        break;
    case CallKind::Close:
        kavelvk::FormatCloseLine(&sLine, call.t, call.keyboard, call.status);
        break;
    case CallKind::Release:
        kavelvk::FormatReleaseLine(&sLine, call.t);
        break;
    }
    sLine.pop_back();
    return sLine;
}

// Sends the recorded message again with room for half or all of the recorded answer, and checks
// what comes back.
void SendAgain(kavelvk::ReplayKeyboard* device, const RecordedCall& call, std::size_t callNumber) {
    std::vector<std::uint8_t> data = call.data;
    std::size_t nCapacity = callNumber % 2 == 0 ? call.answer.size() : call.answer.size() / 2;
    // Exactly the room offered, so that the sanitizer sees a byte written beyond it.
    std::unique_ptr<std::uint8_t[]> response(new std::uint8_t[nCapacity]);
    int nResponseLen = static_cast<int>(nCapacity);
    int nStatus = device->SendCommand(call.cmd, call.dst, data.data(), static_cast<int>(data.size()),
                                      call.bAnswerAsked ? response.get() : nullptr,
                                      call.bAnswerAsked ? &nResponseLen : nullptr);
    if (nStatus != call.status) std::abort();
    if (!call.bAnswerAsked) return;
    std::size_t nCopied = std::min(nCapacity, call.answer.size());
    if (nResponseLen != (call.bHasReported ? call.reported : static_cast<int>(nCopied))) std::abort();
    if (nCopied > 0 && std::memcmp(response.get(), call.answer.data(), nCopied) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto recording = std::make_unique<kavelvk::Recording>();
    std::string sError;
    if (!recording->LoadText(std::string(reinterpret_cast<const char*>(data), size), &sError)) {
        // The library names the file and the fault in one line on standard error.
        if (sError.empty() || sError.find_first_of("\r\n") != std::string::npos) std::abort();
        return 0;
    }
    for (const RecordedCall& call : recording->calls) {
        if (Written(call) != recording->Line(call)) std::abort();
    }

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
        switch (call.kind) {
        case CallKind::Open:
            if (Device(call.keyboard)->Open() != call.status) std::abort();
            break;
        case CallKind::EnumerateModules:
            if (Device(call.keyboard)->EnumerateModules() != call.status) std::abort();
            break;
        case CallKind::Close:
            if (Device(call.keyboard)->Close() != call.status) std::abort();
            break;
        case CallKind::SendCommand:
            SendAgain(Device(call.keyboard), call, i);
            break;
        default: {
            kavelvk::ProgramCall again;
            again.kind = call.kind;
            if (replay.Take(again, 0) != &call) std::abort();
            break;
        }
        }
        if (replay.Diverged()) std::abort();
    }
    if (Device(0)->Open() != kavelvk::STATUS_REPLAY_DIFFERS || !replay.Diverged()) std::abort();
    return 0;
}
