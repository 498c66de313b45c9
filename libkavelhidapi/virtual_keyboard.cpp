// A virtual keyboard as the program sees it: the model's keyboard behind the library's interface,
// with its calls traced.
#include "virtual_keyboard.h"

#include <algorithm>
#include <csignal>
#include <cstring>

namespace kavelvk {

namespace {

// The largest answer a memory read can give: its length travels in one byte.
constexpr std::size_t MAX_READ = 0xFF;

Reply Status(int status) {
    return Reply{status, nullptr, 0};
}

} // namespace

long long ElapsedMs(const std::chrono::steady_clock::time_point* origin) {
    if (origin == nullptr) return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - *origin)
        .count();
}

VirtualKeyboard::VirtualKeyboard(Keyboard* model, int index, Tracer* tracer,
                                 const std::chrono::steady_clock::time_point* origin, Library* library)
    : model(model), index(index), tracer(tracer), origin(origin), library(library) {
    scratch.reserve(MAX_READ);
}

bool VirtualKeyboard::Attached() const {
    if (library == nullptr || !library->simulation || library->simulation->batches.empty()) return true;
    return library->simulation->IsAttached(*model, ClockMs(*library));
}

// A keyboard unplugged while the program holds it answers nothing: no answer (102), as from a
// bus address where no unit is.
int VirtualKeyboard::Open() {
    bOpenTried = true;
    int nStatus = Attached() ? model->openStatus : STATUS_NO_ANSWER;
    if (nStatus == STATUS_OK) bOpen = true;
    if (tracer != nullptr) tracer->OpenDevice(ElapsedMs(origin), index, nStatus);
    return nStatus;
}

int VirtualKeyboard::Close() {
    bOpen = false;
    return STATUS_OK;
}

int VirtualKeyboard::EnumerateModules() {
    int nStatus = !bOpen ? STATUS_NOT_OPEN : Attached() ? model->enumerateModulesStatus : STATUS_NO_ANSWER;
    if (tracer != nullptr) tracer->EnumerateModules(ElapsedMs(origin), index, nStatus);
    return nStatus;
}

int VirtualKeyboard::SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                                 unsigned char* response, int* responseLen) {
    // Data that cannot be read (a null pointer or a negative length) counts as no data.
    std::size_t nDataLen = data != nullptr && dataLen > 0 ? static_cast<std::size_t>(dataLen) : 0;
    const std::uint8_t* pData = nDataLen > 0 ? data : nullptr;
    // Without a capacity there is nowhere to say how much was copied: no answer is delivered.
    bool bAnswerAsked = response != nullptr && responseLen != nullptr;

    // A message that does not reach the keyboard is not numbered by its Inject elements.
    Reply reply = !bOpen       ? Status(STATUS_NOT_OPEN)
                  : Attached() ? model->Message(cmd, dst, pData, nDataLen, &scratch)
                               : Status(STATUS_NO_ANSWER);

    std::size_t nCopied = 0;
    if (bAnswerAsked) {
        std::size_t nCapacity = *responseLen > 0 ? static_cast<std::size_t>(*responseLen) : 0;
        nCopied = std::min(nCapacity, reply.length);
        if (nCopied > 0) std::memcpy(response, reply.bytes, nCopied);
        *responseLen = static_cast<int>(nCopied);
    }
    if (tracer != nullptr) {
        tracer->SendCommand(ElapsedMs(origin), index, cmd, dst, pData, nDataLen, reply.status, bAnswerAsked,
                            response, nCopied);
    }
    // Raised once the message is traced, so that a signal that ends the process leaves its line.
    if (reply.signal != 0) std::raise(reply.signal);
    return reply.status;
}

} // namespace kavelvk
