// A virtual twin: a simulation file of keyboards, as far as what was read from them shows them.
// kxb probe --simulation makes one from the identification reads.
#include "kxb.h"

#include "device.h"
#include "hidlink.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
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
    for (const TwinBytes& memory : keyboard.arMemory) {
        pugi::xml_node element = keyboardNode.append_child("Memory");
        element.append_attribute("Unit").set_value(KxbUpperHex(memory.nUnit).c_str());
        element.append_attribute("Address").set_value(KxbUpperHex(memory.nValue).c_str());
        element.text().set(KxbByteListText(memory.pBytes).c_str());
    }
    for (const TwinBytes& answer : keyboard.arAnswers) {
        pugi::xml_node element = keyboardNode.append_child("Answer");
        element.append_attribute("Cmd").set_value(KxbUpperHex(answer.nValue).c_str());
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

void KxbPrintTwin(const Twin& twin, const char* txtVerb) {
    pugi::xml_document doc;
    doc.append_child(pugi::node_comment).set_value(twin.sComment.c_str());
    pugi::xml_node root = doc.append_child("KavelSimulation");
    const int* arVersion = twin.arLibraryVersion;
    if (twin.bLibraryVersion && arVersion[0] >= 0 && arVersion[1] >= 0 && arVersion[2] >= 0) {
        AddTextChild(root, "LibraryVersion",
                     std::to_string(arVersion[0]) + "." + std::to_string(arVersion[1]) + "." +
                         std::to_string(arVersion[2]));
    } else if (twin.bLibraryVersion) {
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
    doc.save(std::cout, "\t");
}

// ---- the twin of a recording

namespace {

// The most keyboards that a twin made from a recording holds.
const int TWIN_KEYBOARDS_MAX = 4096;

// A keyboard of the twin while it is made: which units answer, their fixed answers and their
// memory, as the virtual keyboard will hold them.
struct TwinModel {
    std::map<int, std::map<unsigned char, std::vector<unsigned char>>> fixed; // by bus address, then type
    std::map<std::pair<int, int>, std::vector<unsigned char>> answers;        // (type, address): bytes
    std::map<int, std::map<int, unsigned char>> initial;                      // memory before the run
    std::map<int, std::map<int, unsigned char>> memory;                       // memory as the run leaves it
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

bool IsUnit(const TwinModel& model, int nAddress) {
    return model.fixed.count(nAddress) != 0;
}

// The memory message's address, low byte first.
int MemoryAddressOf(const RecordedCall& call) {
    return call.pData[0] | call.pData[1] << 8;
}

// What the virtual keyboard answers to a message, without Inject elements: its status and bytes.
int ModelAnswer(TwinModel& model, const RecordedCall& call, std::vector<unsigned char>* pAnswer) {
    const int STATUS_NO_ANSWER = 0x102;
    const int STATUS_MALFORMED = 0x103;
    pAnswer->clear();
    if (!IsUnit(model, call.dst)) return STATUS_NO_ANSWER;
    if (FixedElement(call.cmd, call.dst) != nullptr || call.cmd == MID_MSGT_CMD_FF ||
        call.cmd == MID_MSGT_CMD_RD_MODULE_EEPROM) {
        const auto& fixed = model.fixed[call.dst];
        auto found = fixed.find(call.cmd);
        if (found != fixed.end()) *pAnswer = found->second;
        // A configuration that the file does not give is an empty answer, not an error.
        return found != fixed.end() || call.cmd == MID_MSGT_CMD_EXE_RD_CONFIG ? 0 : STATUS_NO_ANSWER;
    }
    if (call.cmd == MID_MSGT_CMD_EXE_RD_CONFIG) return 0;
    if (call.cmd == MID_MSGT_CMD_RD_MEM) {
        if (call.pData.size() < 3) return STATUS_MALFORMED;
        std::map<int, unsigned char>& memory = model.memory[call.dst];
        for (int i = 0; i < std::min<int>(call.pData[2], MID_RD_MEM_LENGTH_MAX); i++) {
            auto byte = memory.find((MemoryAddressOf(call) + i) % MID_MEMORY_SIZE);
            pAnswer->push_back(byte == memory.end() ? 0 : byte->second);
        }
        return 0;
    }
    if (call.cmd == MID_MSGT_CMD_WR_MEM) return call.pData.size() < 2 ? STATUS_MALFORMED : 0;
    if (call.cmd == MID_MSGT_CMD_RESET) return 0;
    auto found = model.answers.find({call.cmd, call.dst});
    if (found != model.answers.end()) *pAnswer = found->second;
    return 0;
}

// The bytes a message's answer delivers: no more than the capacity it offered.
std::vector<unsigned char> Delivered(const RecordedCall& call, std::vector<unsigned char> pAnswer) {
    if (call.bCapacity && static_cast<int>(pAnswer.size()) > std::max(call.nCapacity, 0))
        pAnswer.resize(static_cast<size_t>(std::max(call.nCapacity, 0)));
    return pAnswer;
}

// What a write that the keyboard took leaves in the model's memory.
void StoreWrite(TwinModel& model, const RecordedCall& call) {
    for (size_t i = 2; i < call.pData.size(); i++)
        model.memory[call.dst][(MemoryAddressOf(call) + static_cast<int>(i) - 2) % MID_MEMORY_SIZE] =
            call.pData[i];
}

// The first pass over a keyboard's messages: every unit that answered, the first answer to each
// type of message, and the bytes that reads returned from memory that no write had set before.
void LearnModel(const std::vector<const RecordedCall*>& messages, TwinModel& model) {
    model.fixed[MID_ADDR_MASTER];
    for (const RecordedCall* call : messages) {
        if (call->nStatus == 0 && (call->dst == MID_ADDR_MASTER || SlotOf(call->dst) >= 0))
            model.fixed[call->dst];
    }
    for (const RecordedCall* call : messages) {
        if (call->nStatus != 0 || !IsUnit(model, call->dst)) continue;
        if (FixedElement(call->cmd, call->dst) != nullptr && call->bAnswerAsked) {
            model.fixed[call->dst].emplace(call->cmd, call->pAnswer);
        } else if (call->cmd == MID_MSGT_CMD_WR_MEM && call->pData.size() >= 2) {
            StoreWrite(model, *call);
        } else if (call->cmd == MID_MSGT_CMD_RD_MEM && call->pData.size() >= 3 && call->bAnswerAsked) {
            std::map<int, unsigned char>& memory = model.memory[call->dst];
            for (size_t i = 0; i < call->pAnswer.size(); i++) {
                int nAddress = (MemoryAddressOf(*call) + static_cast<int>(i)) % MID_MEMORY_SIZE;
                if (memory.emplace(nAddress, call->pAnswer[i]).second)
                    model.initial[call->dst][nAddress] = call->pAnswer[i];
            }
        } else if (FixedElement(call->cmd, call->dst) == nullptr && call->cmd != MID_MSGT_CMD_FF &&
                   call->cmd != MID_MSGT_CMD_RD_MODULE_EEPROM && call->cmd != MID_MSGT_CMD_EXE_RD_CONFIG &&
                   call->cmd != MID_MSGT_CMD_RD_MEM && call->cmd != MID_MSGT_CMD_WR_MEM &&
                   call->cmd != MID_MSGT_CMD_RESET && call->bAnswerAsked) {
            model.answers.emplace(std::make_pair(call->cmd, call->dst), call->pAnswer);
        }
    }
    model.memory = model.initial;
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
            TwinBytes run{nUnit, at->first, {}};
            int nNext = at->first;
            for (; at != bytes.end() && at->first == nNext; ++at, ++nNext) run.pBytes.push_back(at->second);
            keyboard->arMemory.push_back(run);
        }
    }
    for (const auto& [key, pBytes] : model.answers)
        keyboard->arAnswers.push_back({key.second, key.first, pBytes});
}

// The twin of one keyboard from its calls; counts into *nReported the answers whose reported
// length the twin cannot give.
void KeyboardTwin(const std::vector<const RecordedCall*>& calls, TwinKeyboard* keyboard, int* nReported) {
    std::vector<const RecordedCall*> messages;
    for (const RecordedCall* call : calls) {
        if (call->nKind == CALL_OPEN && call->nStatus != 0 && !keyboard->bOpen) {
            keyboard->bOpen = true;
            keyboard->nOpen = call->nStatus;
        } else if (call->nKind == CALL_ENUMERATE_MODULES && call->nStatus != 0 &&
                   !keyboard->bEnumerateModules) {
            keyboard->bEnumerateModules = true;
            keyboard->nEnumerateModules = call->nStatus;
        } else if (call->nKind == CALL_SEND_COMMAND) {
            messages.push_back(call);
            if (call->bReported) ++*nReported;
        }
    }
    TwinModel model;
    LearnModel(messages, model);
    AddModel(model, keyboard);
    // The second pass: every message that the twin would answer otherwise is taken over by an
    // Inject, numbered among the messages of its type to its address.
    std::map<std::pair<int, int>, long> numbers;
    for (const RecordedCall* call : messages) {
        long nNumber = ++numbers[{call->cmd, call->dst}];
        std::vector<unsigned char> pAnswer;
        int nStatus = ModelAnswer(model, *call, &pAnswer);
        bool bSame =
            nStatus == call->nStatus && (!call->bAnswerAsked || Delivered(*call, pAnswer) == call->pAnswer);
        if (bSame) {
            if (call->cmd == MID_MSGT_CMD_WR_MEM && nStatus == 0) StoreWrite(model, *call);
            continue;
        }
        TwinInject inject;
        inject.nCmd = call->cmd;
        inject.nDst = call->dst;
        inject.nStatus = call->nStatus;
        inject.bNumbered = true;
        inject.lSkip = nNumber - 1;
        inject.bAnswer = call->bAnswerAsked;
        inject.pAnswer = call->pAnswer;
        keyboard->arInjects.push_back(inject);
    }
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
        if (call.nKeyboard >= TWIN_KEYBOARDS_MAX) return 1;
        nKeyboards = std::max(nKeyboards, call.nKeyboard + 1);
    }
    if (twin->nCount > TWIN_KEYBOARDS_MAX) return 1;
    nKeyboards = std::max(nKeyboards, twin->nCount);
    twin->bCountShown = bCounted && twin->nCount != nKeyboards;
    int nReported = 0;
    for (int i = 0; i < nKeyboards; i++) {
        std::vector<const RecordedCall*> keyboardCalls;
        for (const RecordedCall& call : calls) {
            if (call.nKeyboard == i) keyboardCalls.push_back(&call);
        }
        twin->keyboards.emplace_back();
        KeyboardTwin(keyboardCalls, &twin->keyboards.back(), &nReported);
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
    std::ifstream in(filename, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        std::cerr << "kxb twin: " << filename << ": " << std::strerror(errno) << std::endl;
        return ERR_ERROR_LOAD_FILE;
    }
    std::vector<RecordedCall> calls;
    std::string sError;
    Twin twin;
    if (ReadRecording(text.str(), &calls, &sError) != 0) {
        std::cerr << "kxb twin: " << filename << ": " << sError << std::endl;
        return ERR_ERROR_LOAD_FILE;
    }
    if (KxbRecordingTwin(calls, &twin) != 0) {
        std::cerr << "kxb twin: " << filename << ": it counts more keyboards than a twin holds ("
                  << TWIN_KEYBOARDS_MAX << ")" << std::endl;
        return ERR_ERROR_LOAD_FILE;
    }
    KxbPrintTwin(twin, "twin");
    return 0;
}
