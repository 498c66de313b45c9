// kxb probe: what is attached. Every keyboard is read with the program's own identification reads
// (version, configuration, sub-id query, sub-id block; never a write, never a reset) and shown as
// text, as JSON, as a Device element that suits it, or as a simulation file of its virtual twin.
#include "kxb.h"

#include "device.h"
#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <getopt.h>
#include <iostream>
#include <iterator>
#include <vector>

const char* const txtUsageProbe =
    "Usage: kxb probe [--json | --device-element | --simulation] [--record FILE]\n"
    "\n"
    "Identifies every attached keyboard with identification reads only (nothing is written, no\n"
    "keyboard is reset) and prints its controller and every configured module slot.\n"
    "\n"
    "Options:\n"
    "  --json            print one JSON document instead of text\n"
    "  --device-element  print only a Device element that the keyboards found suit\n"
    "  --simulation      print a simulation file of the keyboards found: their virtual twin\n"
    "  --record FILE     record every call into the keyboard library in FILE (replaced)\n"
    "  -h, --help        print this help\n"
    "\n"
    "Exit status: 0 every keyboard was read; 161 no keyboard could be looked for; otherwise the\n"
    "last failing keyboard's 162 (open), 163 (module enumeration) or 164 (a read); 170 the\n"
    "recording cannot be made; 2 a wrong option.\n";

namespace {

struct ProbeRun {
    int arLibraryVersion[3] = {0, 0, 0};
    int nCount = 0;
    std::vector<ProbeKeyboard> arKeyboard;
};

const int MODE_TEXT = 0;
const int MODE_JSON = 1;
const int MODE_DEVICE_ELEMENT = 2;
const int MODE_SIMULATION = 3;

struct FamilyName {
    int nFamily;
    const char* txtName;
};
const FamilyName familyNames[] = {
    {MODULE_FAMILY_OTHER, "other"}, {MODULE_FAMILY_66, "type66"},
    {MODULE_FAMILY_RM52, "rm52"},   {MODULE_FAMILY_RM52_DIALPAD, "rm52-dialpad"},
    {MODULE_FAMILY_VELUM, "velum"},
};

const char* FamilyText(const ProbeUnit& unit) {
    int nFamily = deviceModuleFamily(unit.id, unit.id66, unit.verMajor, unit.verMinor, unit.verBuild);
    for (const FamilyName& entry : familyNames) {
        if (entry.nFamily == nFamily) return entry.txtName;
    }
    return "other";
}

// Slots the Device element never examines, although the reads see them.
bool IsExaminedSlot(int i) {
    return i < MODULE_MAX_CHANGEME;
}

bool IsConfigured(const ProbeKeyboard& keyboard, int i) {
    return keyboard.arIdConfig[i] > 0;
}

// Opens, enumerates and reads one keyboard as a write pass would before its first write.
void ReadKeyboard(KavelHidDevice* device, ProbeKeyboard* keyboard) {
    keyboard->nStatus = KxbOpenKeyboard(device, &keyboard->nLibraryStatus);
    if (keyboard->nStatus == 0) KxbReadIdentity(device, keyboard);
}

ProbeRun ReadAll() {
    ProbeRun run;
    HidLibraryVersion(&run.arLibraryVersion[0], &run.arLibraryVersion[1], &run.arLibraryVersion[2]);
    HidEnumerator hid = HidCreate();
    run.nCount = HidEnumerate(hid.get());
    for (int i = 0; i < run.nCount; i++) {
        run.arKeyboard.emplace_back();
        ReadKeyboard(HidGetDevice(hid.get(), i), &run.arKeyboard.back());
    }
    return run;
}

int ExitStatus(const ProbeRun& run) {
    if (run.nCount < 0) return ERR_ERROR_NO_DEVICE;
    int nExit = 0;
    for (const ProbeKeyboard& keyboard : run.arKeyboard) {
        if (keyboard.nStatus != 0) nExit = keyboard.nStatus;
    }
    return nExit;
}

// The words kavelwrite prints for a keyboard that failed, from the blank that begins them.
std::string FailureText(const ProbeKeyboard& keyboard) {
    return KxbKeyboardFailure(keyboard.nStatus, keyboard.nLibraryStatus);
}

// The units whose read failed, each with the annotation a run gives it: " (Module1 ERROR=1)".
std::string FailedUnits(const ProbeKeyboard& keyboard) {
    if (keyboard.nStatus != ERR_ERROR_DEVICE_COMMUNICATION) return "";
    if (keyboard.controller.nResult != 0)
        return " (" + DeviceUnitName(0) + " " + txtERROR + ToHex(keyboard.controller.nResult) + ")";
    std::string sUnits;
    for (int nSlot = 0; nSlot < MODULE_MAX; nSlot++) {
        const ProbeUnit& m = keyboard.arModule[nSlot];
        if (!IsConfigured(keyboard, nSlot) || m.nResult == 0) continue;
        sUnits +=
            (sUnits.empty() ? "" : ", ") + DeviceUnitName(1 + nSlot) + " " + txtERROR + ToHex(m.nResult);
    }
    return " (" + sUnits + ")";
}

// Reports the failed keyboards on standard error, where they do not mix with a document.
void ReportFailures(const ProbeRun& run, const std::string& sConsequence) {
    if (run.nCount < 0) std::cerr << txtNO_DEVICE << std::endl;
    for (size_t i = 0; i < run.arKeyboard.size(); i++) {
        const ProbeKeyboard& keyboard = run.arKeyboard[i];
        if (keyboard.nStatus == 0) continue;
        std::cerr << "device" << i << ":" << FailureText(keyboard) << FailedUnits(keyboard) << sConsequence
                  << std::endl;
    }
}

// ---- text

std::string ConfigText(const ProbeKeyboard& keyboard) {
    std::string sConfig;
    for (int i = 0; i < MODULE_MAX; i++) sConfig += (i == 0 ? "" : ".") + ToHex(keyboard.arIdConfig[i]);
    return sConfig;
}

void PrintKeyboardText(const ProbeKeyboard& keyboard, int i) {
    std::cout << std::endl << "device" << i << ":";
    if (keyboard.nStatus == ERR_ERROR_DEVICE_OPEN) {
        std::cout << FailureText(keyboard) << std::endl;
        return;
    }
    std::cout << std::endl;
    if (keyboard.nStatus == ERR_ERROR_MODULES_ENUMERATION) {
        std::cout << FailureText(keyboard) << std::endl;
        return;
    }
    const ProbeUnit& c = keyboard.controller;
    // A unit whose read failed shows the code a run annotates in place of what was read.
    std::cout << " " << DeviceUnitName(0) << " ";
    if (c.nResult != 0) {
        std::cout << txtERROR << ToHex(c.nResult) << std::endl;
    } else {
        std::cout << ControllerInfo(c.id, c.verMajor, c.verMinor, c.verBuild, c.verType)
                  << " Config=" << ConfigText(keyboard) << std::endl;
    }
    for (int nSlot = 0; nSlot < MODULE_MAX && c.nResult == 0; nSlot++) {
        if (!IsConfigured(keyboard, nSlot)) continue;
        const ProbeUnit& m = keyboard.arModule[nSlot];
        std::cout << " " << DeviceUnitName(1 + nSlot) << " Address=" << ToHex(moduleAddress(nSlot)) << " ";
        if (m.nResult != 0) {
            std::cout << "IdConfig=" << ToHex(m.idConfig) << " " << txtERROR << ToHex(m.nResult);
        } else {
            std::cout << ModuleInfo(m.idConfig, m.id, m.idSub, m.id66, m.verMajor, m.verMinor, m.verBuild,
                                    m.verType)
                      << " Family=" << FamilyText(m);
        }
        if (!IsExaminedSlot(nSlot)) std::cout << " (not examined by the Device element)";
        std::cout << std::endl;
    }
    if (keyboard.nStatus != 0) std::cout << FailureText(keyboard) << std::endl;
}

void PrintText(const ProbeRun& run) {
    std::cout << "libkavelhidapi " << run.arLibraryVersion[0] << "." << run.arLibraryVersion[1] << "."
              << run.arLibraryVersion[2] << std::endl;
    if (run.nCount < 0) {
        std::cout << txtNO_DEVICE << std::endl;
        return;
    }
    std::cout << run.nCount << txtDEVICES_DETECTED << std::endl;
    for (size_t i = 0; i < run.arKeyboard.size(); i++)
        PrintKeyboardText(run.arKeyboard[i], static_cast<int>(i));
}

// ---- JSON

nlohmann::ordered_json VersionJson(const ProbeUnit& unit) {
    return nlohmann::ordered_json::array({unit.verMajor, unit.verMinor, unit.verBuild, unit.verType});
}

nlohmann::ordered_json KeyboardJson(const ProbeKeyboard& keyboard, int i) {
    nlohmann::ordered_json jKeyboard;
    jKeyboard["index"] = i;
    jKeyboard["status"] = keyboard.nStatus;
    if (keyboard.nStatus == ERR_ERROR_DEVICE_OPEN || keyboard.nStatus == ERR_ERROR_MODULES_ENUMERATION) {
        jKeyboard["error"] = keyboard.nLibraryStatus;
        return jKeyboard;
    }
    const ProbeUnit& c = keyboard.controller;
    nlohmann::ordered_json jController;
    if (c.nResult != 0) {
        jController["error"] = c.nResult;
    } else {
        jController["id"] = c.id;
        jController["version"] = VersionJson(c);
        jController["config"] = keyboard.arIdConfig;
    }
    jKeyboard["controller"] = jController;
    nlohmann::ordered_json jModules = nlohmann::ordered_json::array();
    for (int nSlot = 0; nSlot < MODULE_MAX && c.nResult == 0; nSlot++) {
        if (!IsConfigured(keyboard, nSlot)) continue;
        const ProbeUnit& m = keyboard.arModule[nSlot];
        nlohmann::ordered_json jModule;
        jModule["slot"] = nSlot;
        jModule["address"] = moduleAddress(nSlot);
        jModule["idConfig"] = m.idConfig;
        if (m.nResult != 0) {
            jModule["error"] = m.nResult;
        } else {
            jModule["id"] = m.id;
            jModule["idSub"] = m.idSub;
            jModule["id66"] = m.id66;
            jModule["version"] = VersionJson(m);
            jModule["family"] = FamilyText(m);
        }
        jModules.push_back(jModule);
    }
    jKeyboard["modules"] = jModules;
    return jKeyboard;
}

void PrintJson(const ProbeRun& run) {
    nlohmann::ordered_json jKeyboards = nlohmann::ordered_json::array();
    for (size_t i = 0; i < run.arKeyboard.size(); i++)
        jKeyboards.push_back(KeyboardJson(run.arKeyboard[i], static_cast<int>(i)));
    nlohmann::ordered_json jRun;
    jRun["keyboards"] = jKeyboards;
    KxbPrintJson(jRun);
    ReportFailures(run, "");
}

// ---- Device element

// The most specific id that names the unit: a type 66 module with its sub-id, a VELUM module by
// the sub-id of its block, any other unit (an empty slot too, which reads as 0) by its type id.
int CandidateId(const ProbeUnit& unit, bool bModule) {
    if (!bModule) return unit.id;
    int nFamily = deviceModuleFamily(unit.id, unit.id66, unit.verMajor, unit.verMinor, unit.verBuild);
    if (nFamily == MODULE_FAMILY_66 || nFamily == MODULE_FAMILY_RM52 || nFamily == MODULE_FAMILY_RM52_DIALPAD)
        return (unit.id << 8) | unit.id66;
    if (nFamily == MODULE_FAMILY_VELUM && unit.idSub != 0) return unit.idSub;
    return unit.id;
}

// All four version fields, the firmware type included: "02.01.CE.00".
std::string CandidateVersion(const ProbeUnit& unit) {
    return KxbTwoDigits(unit.verMajor) + "." + KxbTwoDigits(unit.verMinor) + "." +
           KxbTwoDigits(unit.verBuild) + "." + KxbTwoDigits(unit.verType);
}

// Appends a candidate for the unit unless an equal one is there already.
void AddCandidate(pugi::xml_node unitNode, const std::string& sId, const std::string& sVersion) {
    const char* txtModule = "Module";
    const char* txtId = "Id";
    const char* txtVersion = "Version";
    for (pugi::xml_node candidate = unitNode.child(txtModule); candidate;
         candidate = candidate.next_sibling(txtModule)) {
        if (sId == candidate.attribute(txtId).value() && sVersion == candidate.child_value(txtVersion))
            return;
    }
    pugi::xml_node candidate = unitNode.append_child(txtModule);
    candidate.append_attribute(txtId).set_value(sId.c_str());
    candidate.append_child(txtVersion).text().set(sVersion.c_str());
}

void PrintDeviceElement(const ProbeRun& run) {
    ReportFailures(run, ": left out of the Device element");
    if (run.nCount < 0) return;
    pugi::xml_document doc;
    KxbAppendDeviceElement(doc, run.arKeyboard);
    doc.save(std::cout, "\t", pugi::format_indent | pugi::format_no_declaration);
}

// ---- simulation file

void PrintSimulation(const ProbeRun& run) {
    ReportFailures(run, "");
    Twin twin;
    twin.sComment = " The virtual twin of the keyboards that kxb probe found: what their identification"
                    " reads answered. ";
    twin.bLibraryVersion = true;
    std::copy(std::begin(run.arLibraryVersion), std::end(run.arLibraryVersion), twin.arLibraryVersion);
    twin.nCount = run.nCount;
    for (const ProbeKeyboard& keyboard : run.arKeyboard) {
        twin.keyboards.emplace_back();
        KxbAddIdentityTwin(keyboard, &twin.keyboards.back());
    }
    KxbPrintTwin(twin, "probe");
}

} // namespace

void KxbReadIdentity(KavelHidDevice* device, ProbeKeyboard* keyboard) {
    ProbeUnit& c = keyboard->controller;
    // A read stores bytes, 0 .. 255: an id still -1 after a failure means the version was not stored.
    c.id = -1;
    c.nResult = deviceControllerReadInfo(device, MID_ADDR_MASTER, &c.id, &c.verMajor, &c.verMinor,
                                         &c.verBuild, &c.verType, keyboard->arIdConfig.data());
    c.bVersionRead = c.id >= 0;
    if (!c.bVersionRead) c.id = 0;
    if (c.nResult != 0) {
        keyboard->nStatus = ERR_ERROR_DEVICE_COMMUNICATION;
        return;
    }
    // Every configured slot is read, also after one that failed, so that all of it is seen.
    for (int i = 0; i < MODULE_MAX; i++) {
        if (!IsConfigured(*keyboard, i)) continue;
        ProbeUnit& m = keyboard->arModule[i];
        m.idConfig = keyboard->arIdConfig[i];
        m.nResult = deviceModuleReadInfo(device, moduleAddress(i), &m.id, &m.idSub, &m.id66, &m.verMajor,
                                         &m.verMinor, &m.verBuild, &m.verType);
        if (m.nResult != 0) keyboard->nStatus = ERR_ERROR_DEVICE_COMMUNICATION;
    }
}

pugi::xml_node KxbAppendDeviceElement(pugi::xml_node parent, const std::vector<ProbeKeyboard>& keyboards) {
    pugi::xml_node device = parent.append_child(txtKxbDevice);
    for (int nUnit = 0; nUnit < DEVICE_UNITS; nUnit++) {
        pugi::xml_node unitNode = device.append_child(DeviceUnitName(nUnit).c_str());
        for (const ProbeKeyboard& keyboard : keyboards) {
            if (keyboard.nStatus != 0) continue;
            // Slots without a module were not read: their record is all 0, as the Device element sees it.
            const ProbeUnit& unit = nUnit == 0 ? keyboard.controller : keyboard.arModule[nUnit - 1];
            AddCandidate(unitNode, KxbUpperHex(CandidateId(unit, nUnit > 0)), CandidateVersion(unit));
        }
    }
    return device;
}

int KxbProbe(int argc, char* argv[]) {
    const struct option options[] = {
        {"json", no_argument, nullptr, 'j'},       {"device-element", no_argument, nullptr, 'd'},
        {"simulation", no_argument, nullptr, 's'}, {"record", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},       {nullptr, 0, nullptr, 0},
    };
    int nMode = MODE_TEXT;
    int nModes = 0;
    std::string sRecord;
    int nOption;
    opterr = 0;
    while ((nOption = getopt_long(argc, argv, "h", options, nullptr)) != -1) {
        switch (nOption) {
        case 'j':
            nMode = MODE_JSON;
            nModes++;
            break;
        case 'd':
            nMode = MODE_DEVICE_ELEMENT;
            nModes++;
            break;
        case 's':
            nMode = MODE_SIMULATION;
            nModes++;
            break;
        case 'r':
            if (*optarg == '\0') return KxbRecordFileMissing(argv);
            sRecord = optarg;
            break;
        case 'h':
            return KxbUsage(txtUsageProbe);
        default:
            return KxbOptionError(argv, txtUsageProbe);
        }
    }
    // One document at a time, and no arguments: probe looks at whatever is attached.
    if (nModes > 1 || optind < argc) return KxbUsageError(txtUsageProbe);
    int nStatus = KxbStartRecording(argc, argv, sRecord);
    if (nStatus != 0) return nStatus;

    ProbeRun run = ReadAll();
    if (nMode == MODE_JSON) {
        PrintJson(run);
    } else if (nMode == MODE_DEVICE_ELEMENT) {
        PrintDeviceElement(run);
    } else if (nMode == MODE_SIMULATION) {
        PrintSimulation(run);
    } else {
        PrintText(run);
    }
    return ExitStatus(run);
}
