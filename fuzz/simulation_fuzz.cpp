// Any bytes as a simulation file of the virtual keyboard. A document that breaks a rule must be
// refused with a one-line message, never with a crash; a document that loads, once a write has
// gone into each keyboard, must save into a document that loads again to the same keyboards in
// the same batches.
#include "model.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool SameUnit(const kavelvk::Unit* a, const kavelvk::Unit* b) {
    if (a == nullptr || b == nullptr) return a == b;
    if (a->bHasVersion != b->bHasVersion || a->version != b->version || a->bHasConfig != b->bHasConfig ||
        a->config != b->config || a->bHasSubId != b->bHasSubId || a->subId != b->subId ||
        a->bHasEeprom != b->bHasEeprom || a->eeprom != b->eeprom || !a->memory != !b->memory) {
        return false;
    }
    for (std::size_t i = 0; a->memory && i < kavelvk::MEMORY_SIZE; ++i) {
        auto nAddress = static_cast<std::uint16_t>(i);
        if (a->memory->IsSet(nAddress) != b->memory->IsSet(nAddress) ||
            a->ReadMemory(nAddress) != b->ReadMemory(nAddress)) {
            return false;
        }
    }
    return true;
}

// Everything an Inject element says; how many messages it has matched belongs to the run.
bool SameInjection(const kavelvk::Injection& a, const kavelvk::Injection& b) {
    return a.bAnyCmd == b.bAnyCmd && a.cmd == b.cmd && a.bAnyDst == b.bAnyDst && a.dst == b.dst &&
           a.skip == b.skip && a.bEndless == b.bEndless && a.count == b.count && a.status == b.status &&
           a.signal == b.signal && a.answer == b.answer;
}

bool SameKeyboard(const kavelvk::Keyboard& a, const kavelvk::Keyboard& b) {
    if (a.batch != b.batch || a.plugAfter != b.plugAfter || a.openStatus != b.openStatus ||
        a.enumerateModulesStatus != b.enumerateModulesStatus || a.answers != b.answers ||
        a.injections.size() != b.injections.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.units.size(); ++i) {
        if (!SameUnit(a.units[i].get(), b.units[i].get())) return false;
    }
    for (std::size_t i = 0; i < a.injections.size(); ++i) {
        if (!SameInjection(a.injections[i], b.injections[i])) return false;
    }
    return true;
}

bool SameSimulation(const kavelvk::Simulation& a, const kavelvk::Simulation& b) {
    if (a.libraryVersion[0] != b.libraryVersion[0] || a.libraryVersion[1] != b.libraryVersion[1] ||
        a.libraryVersion[2] != b.libraryVersion[2] || a.count != b.count ||
        a.keyboards.size() != b.keyboards.size() || a.batches.size() != b.batches.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.batches.size(); ++i) {
        const kavelvk::Batch& batchA = a.batches[i];
        const kavelvk::Batch& batchB = b.batches[i];
        if (batchA.plugAfter != batchB.plugAfter || batchA.unplugAfter != batchB.unplugAfter ||
            batchA.firstKeyboard != batchB.firstKeyboard || batchA.keyboardCount != batchB.keyboardCount) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.keyboards.size(); ++i) {
        if (!SameKeyboard(*a.keyboards[i], *b.keyboards[i])) return false;
    }
    return true;
}

// Writes two bytes into the controller of each keyboard at nAddress (wrapping at FFFF), so that
// the saved memory holds a write besides the file's own bytes. A keyboard with an Inject element
// that raises a signal receives no message: the signal would reach this process.
void WriteEveryKeyboard(kavelvk::Simulation& simulation, std::uint16_t nAddress) {
    const std::uint8_t MSG_WRITE_MEMORY = 0x17;
    const std::uint8_t arData[] = {static_cast<std::uint8_t>(nAddress & 0xFF),
                                   static_cast<std::uint8_t>(nAddress >> 8), 0x5A, 0xA5};
    std::vector<std::uint8_t> scratch;
    for (const std::unique_ptr<kavelvk::Keyboard>& keyboard : simulation.keyboards) {
        bool bSignal = false;
        for (const kavelvk::Injection& injection : keyboard->injections)
            bSignal = bSignal || injection.signal != 0;
        if (!bSignal) {
            keyboard->Message(MSG_WRITE_MEMORY, kavelvk::CONTROLLER_ADDRESS, arData, sizeof arData, &scratch);
        }
    }
}

// Looks at the bus at moments far apart and serves every batch found, so that any delays of the
// file add up (without overflowing) and every batch may come and go; what is found must exist.
void ServeEveryBatch(kavelvk::Simulation& simulation) {
    std::vector<std::size_t> attached;
    for (long long nNow : {0LL, 1LL << 20, 1LL << 40, 1LL << 62, LLONG_MAX}) {
        simulation.Attached(nNow, &attached);
        for (std::size_t nKeyboard : attached) {
            if (nKeyboard >= simulation.keyboards.size()) std::abort();
        }
        if (!attached.empty()) simulation.Serve(*simulation.keyboards[attached.front()], nNow);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string sError;
    kavelvk::Simulation simulation;
    if (!simulation.LoadText(std::string(reinterpret_cast<const char*>(data), size), &sError)) {
        // The library names the file and the fault in one line on standard error.
        if (sError.empty() || sError.find_first_of("\r\n") != std::string::npos) std::abort();
        return 0;
    }
    ServeEveryBatch(simulation);
    WriteEveryKeyboard(simulation, static_cast<std::uint16_t>(size * 0x101));
    kavelvk::Simulation reloaded;
    if (!reloaded.LoadText(simulation.SaveText(), &sError)) std::abort();
    if (!SameSimulation(simulation, reloaded)) std::abort();
    return 0;
}
