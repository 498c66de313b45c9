// What a virtual keyboard does with a message.
#include "virtual_keyboard.h"

#include <algorithm>
#include <csignal>
#include <cstring>

namespace kavelvk {

namespace {

constexpr std::uint8_t MSG_CONFIG = 0x11;
constexpr std::uint8_t MSG_READ_MEMORY = 0x16;
constexpr std::uint8_t MSG_WRITE_MEMORY = 0x17;
constexpr std::uint8_t MSG_RESET = 0xF1;
constexpr std::uint8_t MSG_VERSION = 0xF7;
constexpr std::uint8_t MSG_MODULE_EEPROM = 0xF9;
constexpr std::uint8_t MSG_SUB_ID = 0xFF;

// The largest answer a memory read can give: its length travels in one byte.
constexpr std::size_t MAX_READ = 0xFF;

Reply Bytes(const std::vector<std::uint8_t>& bytes) {
    return Reply{STATUS_OK, bytes.data(), bytes.size()};
}

Reply Status(int status) {
    return Reply{status, nullptr, 0};
}

// A unit's fixed answer, or no answer (102) when the unit has none.
Reply FixedOrNoAnswer(bool bHas, const std::vector<std::uint8_t>& bytes) {
    return bHas ? Bytes(bytes) : Status(STATUS_NO_ANSWER);
}

std::uint16_t MemoryAddress(const std::uint8_t* data) {
    return static_cast<std::uint16_t>(data[0] | data[1] << 8);
}

} // namespace

void Unit::WriteMemory(std::uint16_t address, const std::uint8_t* data, std::size_t count) {
    if (count == 0) return;
    if (!memory) memory = std::make_unique<UnitMemory>();
    for (std::size_t i = 0; i < count; ++i) memory->Write(static_cast<std::uint16_t>(address + i), data[i]);
}

Keyboard::Keyboard() {
    units[0] = std::make_unique<Unit>();
}

Unit* Keyboard::UnitAt(unsigned address) {
    if (address == CONTROLLER_ADDRESS) return units[0].get();
    if (address < 4 || address > 4 + 2 * (MODULE_SLOTS - 1) || address % 2 != 0) return nullptr;
    return units[1 + (address - 4) / 2].get();
}

Reply Keyboard::Message(std::uint8_t cmd, std::uint8_t dst, const std::uint8_t* data, std::size_t dataLen,
                        std::vector<std::uint8_t>* scratch) {
    // Every Inject counts every message it matches, even one that an earlier Inject takes over,
    // so that each element's numbers do not depend on the others.
    const Injection* pTaken = nullptr;
    for (Injection& injection : injections) {
        if ((!injection.bAnyCmd && injection.cmd != cmd) || (!injection.bAnyDst && injection.dst != dst))
            continue;
        unsigned long nNumber = ++injection.matches;
        if (pTaken == nullptr && nNumber > injection.skip &&
            (injection.bEndless || nNumber - injection.skip <= injection.count)) {
            pTaken = &injection;
        }
    }
    if (pTaken != nullptr) {
        return Reply{pTaken->status, pTaken->answer.data(), pTaken->answer.size(), pTaken->signal};
    }
    return Answer(cmd, dst, data, dataLen, scratch);
}

Reply Keyboard::Answer(std::uint8_t cmd, std::uint8_t dst, const std::uint8_t* data, std::size_t dataLen,
                       std::vector<std::uint8_t>* scratch) {
    Unit* unit = UnitAt(dst);
    if (unit == nullptr) return Status(STATUS_NO_ANSWER);
    switch (cmd) {
    case MSG_VERSION:
        return FixedOrNoAnswer(unit->bHasVersion, unit->version);
    case MSG_CONFIG:
        // A unit without a configuration answers with no bytes, which is not an error.
        return Bytes(unit->config);
    case MSG_SUB_ID:
        return FixedOrNoAnswer(unit->bHasSubId, unit->subId);
    case MSG_MODULE_EEPROM:
        return FixedOrNoAnswer(unit->bHasEeprom, unit->eeprom);
    case MSG_READ_MEMORY: {
        if (dataLen < 3) return Status(STATUS_MALFORMED);
        std::uint16_t nAddress = MemoryAddress(data);
        std::size_t nCount = std::min<std::size_t>(data[2], MAX_READ);
        scratch->resize(nCount);
        for (std::size_t i = 0; i < nCount; ++i) {
            (*scratch)[i] = unit->ReadMemory(static_cast<std::uint16_t>(nAddress + i));
        }
        return Reply{STATUS_OK, scratch->data(), nCount};
    }
    case MSG_WRITE_MEMORY:
        if (dataLen < 2) return Status(STATUS_MALFORMED);
        unit->WriteMemory(MemoryAddress(data), data + 2, dataLen - 2);
        if (dataLen > 2) bMemoryChanged = true;
        return Status(STATUS_OK);
    case MSG_RESET:
        return Status(STATUS_OK);
    default: {
        auto found = answers.find(static_cast<unsigned>(cmd) << 8 | dst);
        return found == answers.end() ? Status(STATUS_OK) : Bytes(found->second);
    }
    }
}

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
