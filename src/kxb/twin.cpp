// A virtual twin: a simulation file of keyboards, as far as what was read from them shows them.
// kxb probe --simulation makes one from the identification reads.
#include "kxb.h"

#include "device.h"
#include "hidlink.h"
#include "model.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <iterator>
#include <sstream>

namespace {

std::string StatusText(int nStatus) {
    return KxbUpperHex(nStatus);
}

void AddTextChild(pugi::xml_node node, const char* txtName, const std::string& sText) {
    node.append_child(txtName).text().set(sText.c_str());
}

// Puts one identification answer into the twin: an answered message as the unit's element of that
// name, a failing one as an Inject at the unit's bus address.
void AddAnswer(TwinUnit& unit, const ReadAnswer& answer, const char* txtName, int nAddress,
               TwinKeyboard& keyboard) {
    if (!answer.bAsked) return;
    if (answer.nStatus == 0) {
        unit.arAnswers.push_back({txtName, answer.pAnswer});
        return;
    }
    TwinInject inject;
    inject.nCmd = answer.lCmd;
    inject.nDst = nAddress;
    inject.nStatus = answer.nStatus;
    keyboard.arInjects.push_back(inject);
}

void AddUnitAnswers(TwinUnit& unit, const UnitAnswers& answers, int nAddress, TwinKeyboard& keyboard) {
    AddAnswer(unit, answers.version, "Version", nAddress, keyboard);
    AddAnswer(unit, answers.config, "Config", nAddress, keyboard);
    AddAnswer(unit, answers.subId, "SubId", nAddress, keyboard);
    AddAnswer(unit, answers.eeprom, "Eeprom", nAddress, keyboard);
}

void AddUnit(pugi::xml_node unitNode, const TwinUnit& unit) {
    for (const auto& [txtName, pBytes] : unit.arAnswers)
        AddTextChild(unitNode, txtName, KxbByteListText(pBytes));
}

void AddKeyboard(pugi::xml_node root, const TwinKeyboard& keyboard) {
    pugi::xml_node keyboardNode = root.append_child("Keyboard");
    if (keyboard.bOpen) AddTextChild(keyboardNode, "Open", StatusText(keyboard.nOpen));
    if (keyboard.bEnumerateModules) {
        AddTextChild(keyboardNode, "EnumerateModules", StatusText(keyboard.nEnumerateModules));
    }
    if (keyboard.bController) AddUnit(keyboardNode.append_child("Controller"), keyboard.controller);
    for (const auto& [nSlot, unit] : keyboard.modules) {
        pugi::xml_node moduleNode = keyboardNode.append_child("Module");
        moduleNode.append_attribute("Slot").set_value(KxbUpperHex(nSlot).c_str());
        AddUnit(moduleNode, unit);
    }
    for (const TwinMemory& memory : keyboard.arMemory) {
        pugi::xml_node element = keyboardNode.append_child("Memory");
        element.append_attribute("Unit").set_value(KxbUpperHex(memory.nUnit).c_str());
        element.append_attribute("Address").set_value(KxbUpperHex(memory.nAddress).c_str());
        element.text().set(KxbByteListText(memory.pBytes).c_str());
    }
    for (const TwinAnswer& answer : keyboard.arAnswers) {
        pugi::xml_node element = keyboardNode.append_child("Answer");
        element.append_attribute("Cmd").set_value(KxbUpperHex(answer.nCmd).c_str());
        element.append_attribute("Dst").set_value(KxbUpperHex(answer.nUnit).c_str());
        element.text().set(KxbByteListText(answer.pBytes).c_str());
    }
    for (const TwinInject& twinInject : keyboard.arInjects) {
        pugi::xml_node inject = keyboardNode.append_child("Inject");
        inject.append_attribute("Cmd").set_value(KxbUpperHex(twinInject.nCmd).c_str());
        inject.append_attribute("Dst").set_value(KxbUpperHex(twinInject.nDst).c_str());
        if (twinInject.bNumbered) {
            inject.append_attribute("Skip").set_value(
                KxbUpperHex(static_cast<int>(twinInject.lSkip)).c_str());
            inject.append_attribute("Count").set_value("1");
        }
        inject.append_attribute("Status").set_value(StatusText(twinInject.nStatus).c_str());
        if (twinInject.bAnswer) inject.text().set(KxbByteListText(twinInject.pAnswer).c_str());
    }
}

} // namespace

void KxbAddIdentityTwin(const ProbeKeyboard& probed, TwinKeyboard* keyboard) {
    if (probed.nStatus == ERR_ERROR_DEVICE_OPEN) {
        keyboard->bOpen = true;
        keyboard->nOpen = probed.nLibraryStatus;
        keyboard->bController = false;
        return;
    }
    if (probed.nStatus == ERR_ERROR_MODULES_ENUMERATION) {
        keyboard->bEnumerateModules = true;
        keyboard->nEnumerateModules = probed.nLibraryStatus;
        keyboard->bController = false;
        return;
    }
    const ProbeUnit& c = probed.controller;
    AddUnitAnswers(keyboard->controller,
                   deviceControllerAnswers(c.nResult, c.bVersionRead, c.id, c.verMajor, c.verMinor,
                                           c.verBuild, c.verType, probed.arIdConfig.data()),
                   MID_ADDR_MASTER, *keyboard);
    for (int nSlot = 0; nSlot < MODULE_MAX && c.nResult == 0; nSlot++) {
        if (probed.arIdConfig[nSlot] <= 0) continue;
        const ProbeUnit& m = probed.arModule[nSlot];
        AddUnitAnswers(keyboard->modules[nSlot],
                       deviceModuleAnswers(moduleAddress(nSlot), m.nResult, m.id, m.idSub, m.id66, m.verMajor,
                                           m.verMinor, m.verBuild, m.verType),
                       moduleAddress(nSlot), *keyboard);
    }
}

namespace {

// The twin as a simulation document; a library version with a negative part is left out (and said
// so on standard error as kxb txtVerb, when txtVerb is not null).
void TwinDocument(const Twin& twin, const char* txtVerb, pugi::xml_document* doc) {
    doc->append_child(pugi::node_comment).set_value(twin.sComment.c_str());
    pugi::xml_node root = doc->append_child("KavelSimulation");
    const int* arVersion = twin.arLibraryVersion;
    if (twin.bLibraryVersion && arVersion[0] >= 0 && arVersion[1] >= 0 && arVersion[2] >= 0) {
        AddTextChild(root, "LibraryVersion",
                     std::to_string(arVersion[0]) + "." + std::to_string(arVersion[1]) + "." +
                         std::to_string(arVersion[2]));
    } else if (twin.bLibraryVersion && txtVerb != nullptr) {
        // A simulation file holds no negative version part; the twin then reports the default.
        std::cerr << "kxb " << txtVerb << ": the library version has a negative part and is left out"
                  << std::endl;
    }
    if (twin.nCount < 0) {
        // A count is hexadecimal there; a negative one is written with its sign, its size taken
        // unsigned so that the most negative count does not overflow.
        std::ostringstream sCount;
        sCount << "-" << std::hex << std::uppercase << (0u - static_cast<unsigned>(twin.nCount));
        AddTextChild(root, "Count", sCount.str());
    } else if (twin.bCountShown) {
        AddTextChild(root, "Count", KxbUpperHex(twin.nCount));
    }
    for (const TwinKeyboard& keyboard : twin.keyboards) AddKeyboard(root, keyboard);
}

} // namespace

void KxbPrintTwin(const Twin& twin, const char* txtVerb) {
    pugi::xml_document doc;
    TwinDocument(twin, txtVerb, &doc);
    doc.save(std::cout, "\t");
}

// ---- the twin of a recording

namespace {

// A keyboard of the twin while it is made: which units answer, their fixed answers and their
// memory, as the simulation file will give them.
struct TwinModel {
    std::map<int, std::map<unsigned char, std::vector<unsigned char>>> fixed; // by bus address, then type
    std::map<std::pair<int, int>, std::vector<unsigned char>> answers;        // (type, address): bytes
    std::map<int, std::map<int, unsigned char>> initial;                      // memory before the run
    std::map<int, std::map<int, unsigned char>> written;                      // memory the run wrote
};

// The element of a unit that holds its answer to an identification read, or null for other types.
const char* FixedElement(unsigned char cmd, int nAddress) {
    bool bController = nAddress == MID_ADDR_MASTER;
    if (cmd == MID_MSGT_CMD_VERSION) return "Version";
    if (cmd == MID_MSGT_CMD_EXE_RD_CONFIG && bController) return "Config";
    if (cmd == MID_MSGT_CMD_FF && !bController) return "SubId";
    if (cmd == MID_MSGT_CMD_RD_MODULE_EEPROM && !bController) return "Eeprom";
    return nullptr;
}

// The slot of a module's bus address, or -1 for an address no module has.
int SlotOf(int nAddress) {
    for (int nSlot = 0; nSlot < MODULE_MAX; nSlot++) {
        if (moduleAddress(nSlot) == nAddress) return nSlot;
    }
    return -1;
}

// Whether the simulation file gives the answer to a message of type cmd in an Answer element: any
// type but the identification reads, the memory messages and the reset.
bool IsOtherMessage(unsigned char cmd) {
    for (unsigned char known :
         {MID_MSGT_CMD_VERSION, MID_MSGT_CMD_EXE_RD_CONFIG, MID_MSGT_CMD_FF, MID_MSGT_CMD_RD_MODULE_EEPROM,
          MID_MSGT_CMD_RD_MEM, MID_MSGT_CMD_WR_MEM, MID_MSGT_CMD_RESET}) {
        if (cmd == known) return false;
    }
    return true;
}

// What the recording shows of a keyboard: every unit that answered, the first answer to each type
// of message, and the bytes that reads returned from memory that no write had set before. The
// virtual keyboard's model then says which messages the twin must take over.
void LearnModel(const std::vector<const RecordedCall*>& messages, TwinModel& model) {
    model.fixed[MID_ADDR_MASTER];
    for (const RecordedCall* call : messages) {
        if (call->nStatus == 0 && (call->dst == MID_ADDR_MASTER || SlotOf(call->dst) >= 0))
            model.fixed[call->dst];
    }
    for (const RecordedCall* call : messages) {
        if (call->nStatus != 0 || model.fixed.count(call->dst) == 0) continue;
        const char* txtFixed = FixedElement(call->cmd, call->dst);
        if (txtFixed != nullptr && call->bAnswerAsked) {
            model.fixed[call->dst].emplace(call->cmd, call->pAnswer);
        } else if (call->cmd == MID_MSGT_CMD_WR_MEM && call->pData.size() >= 2) {
            for (size_t i = MEMORY_WRITE_BYTES_AT; i < call->pData.size(); i++)
                model.written[call->dst][(MemoryMessageAddressOf(call->pData) + static_cast<int>(i) -
                                          static_cast<int>(MEMORY_WRITE_BYTES_AT)) %
                                         MID_MEMORY_SIZE] = call->pData[i];
        } else if (call->cmd == MID_MSGT_CMD_RD_MEM && call->pData.size() >= 3 && call->bAnswerAsked) {
            std::map<int, unsigned char>& written = model.written[call->dst];
            for (size_t i = 0; i < call->pAnswer.size(); i++) {
                int nAddress = (MemoryMessageAddressOf(call->pData) + static_cast<int>(i)) % MID_MEMORY_SIZE;
                if (written.count(nAddress) == 0)
                    model.initial[call->dst].emplace(nAddress, call->pAnswer[i]);
            }
        } else if (IsOtherMessage(call->cmd) && call->bAnswerAsked && !call->pAnswer.empty()) {
            model.answers.emplace(std::make_pair(call->cmd, call->dst), call->pAnswer);
        }
    }
}

// Adds to the twin what the model holds.
void AddModel(const TwinModel& model, TwinKeyboard* keyboard) {
    for (const auto& [nAddress, fixed] : model.fixed) {
        TwinUnit& unit =
            nAddress == MID_ADDR_MASTER ? keyboard->controller : keyboard->modules[SlotOf(nAddress)];
        // In the order the simulation file lists a unit's answers.
        for (unsigned char cmd : {MID_MSGT_CMD_VERSION, MID_MSGT_CMD_EXE_RD_CONFIG, MID_MSGT_CMD_FF,
                                  MID_MSGT_CMD_RD_MODULE_EEPROM}) {
            auto found = fixed.find(cmd);
            if (found != fixed.end()) unit.arAnswers.push_back({FixedElement(cmd, nAddress), found->second});
        }
    }
    for (const auto& [nUnit, bytes] : model.initial) {
        // One Memory element per run of consecutive addresses.
        for (auto at = bytes.begin(); at != bytes.end();) {
            TwinMemory run{nUnit, at->first, {}};
            int nNext = at->first;
            for (; at != bytes.end() && at->first == nNext; ++at, ++nNext) run.pBytes.push_back(at->second);
            keyboard->arMemory.push_back(run);
        }
    }
    for (const auto& [key, pBytes] : model.answers)
        keyboard->arAnswers.push_back({key.second, key.first, pBytes});
}

// Whether the virtual keyboard's reply is what the recording shows: the same status and, where an
// answer was asked for, the same bytes within the capacity offered.
bool SameOutcome(const kavelvk::Reply& reply, const RecordedCall& call) {
    if (reply.status != call.nStatus) return false;
    if (!call.bAnswerAsked) return true;
    size_t nDelivered = call.bCapacity
                            ? std::min(reply.length, static_cast<size_t>(std::max(call.nCapacity, 0)))
                            : reply.length;
    return nDelivered == call.pAnswer.size() &&
           (nDelivered == 0 || std::memcmp(reply.bytes, call.pAnswer.data(), nDelivered) == 0);
}

// Runs a keyboard's recorded messages through the virtual keyboard's model of its draft and adds an
// Inject for each one whose outcome the model does not give, numbered among the messages of its type
// to its address. tried answers first; where it differs, the message is taken over in twin, whose
// memory tried then takes again, since a message taken over has no other effect.
void AddInjects(const std::vector<const RecordedCall*>& messages, kavelvk::Keyboard* tried,
                kavelvk::Keyboard* twin, TwinKeyboard* keyboard) {
    std::map<std::pair<int, int>, unsigned long> numbers;
    std::vector<std::uint8_t> scratch;
    for (const RecordedCall* call : messages) {
        unsigned long nNumber = ++numbers[{call->cmd, call->dst}];
        if (SameOutcome(
                tried->Message(call->cmd, call->dst, call->pData.data(), call->pData.size(), &scratch),
                *call)) {
            twin->Message(call->cmd, call->dst, call->pData.data(), call->pData.size(), &scratch);
            continue;
        }
        TwinInject inject;
        inject.nCmd = call->cmd;
        inject.nDst = call->dst;
        inject.nStatus = call->nStatus;
        inject.bNumbered = true;
        inject.lSkip = static_cast<long>(nNumber - 1);
        inject.bAnswer = call->bAnswerAsked;
        inject.pAnswer = call->pAnswer;
        keyboard->arInjects.push_back(inject);
        // The same Inject in the model, having counted the matches before this one.
        kavelvk::Injection taken;
        taken.bAnyCmd = taken.bAnyDst = taken.bEndless = false;
        taken.cmd = call->cmd;
        taken.dst = call->dst;
        taken.skip = taken.matches = nNumber - 1;
        taken.count = 1;
        taken.status = call->nStatus;
        taken.answer = call->pAnswer;
        twin->injections.push_back(taken);
        twin->Message(call->cmd, call->dst, call->pData.data(), call->pData.size(), &scratch);
        for (size_t i = 0; i < twin->units.size(); i++) {
            if (twin->units[i] == nullptr || tried->units[i] == nullptr) continue;
            const std::unique_ptr<kavelvk::UnitMemory>& memory = twin->units[i]->memory;
            tried->units[i]->memory = memory ? std::make_unique<kavelvk::UnitMemory>(*memory) : nullptr;
        }
    }
}

// The twin of one keyboard's calls, without its Injects; counts into *nReported the answers whose
// reported length the twin cannot give.
void KeyboardTwin(const std::vector<const RecordedCall*>& calls, TwinKeyboard* keyboard,
                  std::vector<const RecordedCall*>* messages, int* nReported) {
    for (const RecordedCall* call : calls) {
        if (call->nKind == CALL_OPEN && call->nStatus != 0 && !keyboard->bOpen) {
            keyboard->bOpen = true;
            keyboard->nOpen = call->nStatus;
        } else if (call->nKind == CALL_ENUMERATE_MODULES && call->nStatus != 0 &&
                   !keyboard->bEnumerateModules) {
            keyboard->bEnumerateModules = true;
            keyboard->nEnumerateModules = call->nStatus;
        } else if (call->nKind == CALL_SEND_COMMAND) {
            messages->push_back(call);
            if (call->bReported) ++*nReported;
        }
    }
    TwinModel model;
    LearnModel(*messages, model);
    AddModel(model, keyboard);
}

} // namespace

int KxbRecordingTwin(const std::vector<RecordedCall>& calls, Twin* twin) {
    *twin = Twin();
    bool bCounted = false;
    int nKeyboards = 0;
    for (const RecordedCall& call : calls) {
        if (call.nKind == CALL_LIBRARY_VERSION && !twin->bLibraryVersion) {
            twin->bLibraryVersion = true;
            std::copy(std::begin(call.arVersion), std::end(call.arVersion), twin->arLibraryVersion);
        } else if (call.nKind == CALL_ENUMERATE && !bCounted) {
            bCounted = true;
            twin->nCount = call.nCount;
        }
        if (call.nKind != CALL_LIBRARY_VERSION && call.nKind != CALL_ENUMERATE && call.nKind != CALL_RELEASE)
            nKeyboards = std::max(nKeyboards, call.nKeyboard + 1);
    }
    nKeyboards = std::max(nKeyboards, twin->nCount);
    twin->bCountShown = bCounted && twin->nCount != nKeyboards;
    int nReported = 0;
    std::vector<std::vector<const RecordedCall*>> arMessages(static_cast<size_t>(nKeyboards));
    std::vector<std::vector<const RecordedCall*>> arCalls(static_cast<size_t>(nKeyboards));
    for (const RecordedCall& call : calls) {
        if (call.nKind != CALL_LIBRARY_VERSION && call.nKind != CALL_ENUMERATE && call.nKind != CALL_RELEASE)
            arCalls[static_cast<size_t>(call.nKeyboard)].push_back(&call);
    }
    for (int i = 0; i < nKeyboards; i++) {
        twin->keyboards.emplace_back();
        KeyboardTwin(arCalls[static_cast<size_t>(i)], &twin->keyboards.back(),
                     &arMessages[static_cast<size_t>(i)], &nReported);
    }
    // The draft without Injects, loaded twice into the virtual keyboard's model: once to try each
    // message, once as the twin with its Injects.
    pugi::xml_document draft;
    TwinDocument(*twin, nullptr, &draft);
    std::ostringstream sDraft;
    draft.save(sDraft);
    kavelvk::Simulation tried;
    kavelvk::Simulation model;
    std::string sError;
    if (!tried.LoadText(sDraft.str(), &sError) || !model.LoadText(sDraft.str(), &sError) ||
        tried.keyboards.size() != static_cast<size_t>(nKeyboards)) {
        std::cerr << "kxb twin: the virtual keyboard does not take the twin: " << sError << std::endl;
        return ERR_ERROR_LOAD_FILE;
    }
    for (int i = 0; i < nKeyboards; i++) {
        size_t n = static_cast<size_t>(i);
        AddInjects(arMessages[n], tried.keyboards[n].get(), model.keyboards[n].get(), &twin->keyboards[n]);
    }
    twin->sComment =
        " The virtual twin of the keyboards that a recording shows: its library version and keyboard count, "
        "the statuses of Open and EnumerateModules, "
        "the answers of the identification reads and of other messages, the memory bytes its reads "
        "returned, and an Inject for every message whose outcome these do not give. Left out, so "
        "that the virtual keyboard's defaults stand: memory that no read returned (it reads 00), how "
        "long each call took" +
        (nReported > 0
             ? ", and the answer length that the library reported for " + std::to_string(nReported) +
                   " messages beside the bytes it delivered (the twin reports the bytes)"
             : std::string()) +
        ". ";
    return 0;
}

const char* const txtUsageTwin =
    "Usage: kxb twin RECORDING\n"
    "\n"
    "Prints a simulation file of the keyboards that RECORDING (made with --record, or a trace of the\n"
    "virtual keyboard) shows, as far as it shows them: the library version, the count, the statuses of\n"
    "Open and EnumerateModules, the answers of every message and the memory bytes that its reads\n"
    "returned. The same script run on the twin sends the same messages and gets the same answers. A\n"
    "comment at the top says what the twin leaves at the virtual keyboard's defaults.\n"
    "\n"
    "  --help   show this help\n"
    "\n"
    "Exit status: 0 the twin was printed; 169 the recording cannot be read (its line is named); 168\n"
    "no recording named; 2 a wrong option.\n";

int KxbTwin(int argc, char* argv[]) {
    int nStatus = KxbFileOptions(argc, argv, txtUsageTwin, "recording", nullptr);
    if (nStatus >= 0) return nStatus;
    if (optind + 1 < argc) {
        std::cerr << "kxb twin: one recording at a time" << std::endl;
        return KxbUsageError(txtUsageTwin);
    }
    const std::string filename = argv[optind];
    Recording recording;
    std::string sError;
    if (RecordingLoadFile(filename, &recording, &sError) != 0) {
        std::cerr << "kxb twin: " << filename << ": " << sError << std::endl;
        return ERR_ERROR_LOAD_FILE;
    }
    // A recording that a stopped run left makes a twin as far as it goes, but not silently.
    std::string sIncomplete = RecordingIncompleteText(recording);
    if (!sIncomplete.empty()) std::cerr << "kxb twin: " << filename << ": " << sIncomplete << std::endl;
    Twin twin;
    nStatus = KxbRecordingTwin(recording.calls, &twin);
    if (nStatus == 0) KxbPrintTwin(twin, "twin");
    return nStatus;
}
