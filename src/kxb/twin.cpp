// A virtual twin: a simulation file of keyboards, as far as what was read from them shows them.
// kxb probe --simulation makes one from the identification reads.
#include "kxb.h"

#include "device.h"

#include <pugixml.hpp>

#include <iostream>
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
    for (const TwinInject& twinInject : keyboard.arInjects) {
        pugi::xml_node inject = keyboardNode.append_child("Inject");
        inject.append_attribute("Cmd").set_value(KxbUpperHex(twinInject.nCmd).c_str());
        inject.append_attribute("Dst").set_value(KxbUpperHex(twinInject.nDst).c_str());
        inject.append_attribute("Status").set_value(StatusText(twinInject.nStatus).c_str());
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
    }
    for (const TwinKeyboard& keyboard : twin.keyboards) AddKeyboard(root, keyboard);
    doc.save(std::cout, "\t");
}
