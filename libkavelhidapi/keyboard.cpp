// What a virtual keyboard does with a message.
#include "model.h"

#include <algorithm>
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

} // namespace kavelvk
