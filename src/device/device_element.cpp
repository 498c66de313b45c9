// The Device element: decides whether a keyboard suits the script and reports what was detected.
#include "device.h"

#include "driver.h"

#include <array>

// "Id=11 Ver=1.2.3.0": what was read from the controller.
std::string ControllerInfo(int id, int verMajor, int verMinor, int verBuild, int verType) {
    return "Id=" + ToHex(id) + " Ver=" + ToHex(verMajor) + "." + ToHex(verMinor) + "." + ToHex(verBuild) +
           "." + ToHex(verType);
}

namespace {

const std::string txtInfoIdConfig = "IdConfig=";

} // namespace

// "IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0": what was configured for and read from a slot.
std::string ModuleInfo(int idConfig, int id, int idSub, int id66, int verMajor, int verMinor, int verBuild,
                       int verType) {
    return txtInfoIdConfig + ToHex(idConfig) + " Id=" + ToHex(id) + " IdSub=" + ToHex(idSub) +
           " Id66=" + ToHex(id66) + " Ver=" + ToHex(verMajor) + "." + ToHex(verMinor) + "." +
           ToHex(verBuild) + "." + ToHex(verType);
}

namespace {

// Turns the match of one unit into the handler's verdict. Check pass: a malformed pattern is a
// parse error on the script's element of that unit. Write pass: the report says "Ok" or "Not ok".
// Returns 0 to go on with the next unit, otherwise the handler's result.
int JudgeUnit(int nMatch, pugi::xml_node node, const std::string& sUnit, pugi::xml_node modulenode,
              KavelHidDevice* device, const std::string& timestampDevice) {
    if (device == nullptr) {
        if (nMatch >= 0) return 0;
        return ParseError(node.child(sUnit.c_str()), timestampDevice, sUnit, ERR_ERROR_IN_FILE);
    }
    // A malformed pattern met on a real keyboard means no match, like a mismatch.
    modulenode.text().set(nMatch == 0 ? txtREPORT_OK.c_str() : txtREPORT_NOT_OK.c_str());
    return nMatch == 0 ? 0 : ERR_ERROR_DEVICE_COMPATIBILITY;
}

} // namespace

bool IsEmptySlotInfo(const std::string& sInfo) {
    const std::string sEmpty = txtInfoIdConfig + ToHex(0) + " ";
    return sInfo.compare(0, sEmpty.size(), sEmpty) == 0;
}

namespace {

// The value of "Key=" in an Info text of hexadecimal fields, or "" when it has none.
std::string InfoField(const std::string& sInfo, const std::string& sKey) {
    size_t nAt = 0;
    while ((nAt = sInfo.find(sKey + "=", nAt)) != std::string::npos && nAt > 0 && sInfo[nAt - 1] != ' ')
        nAt++;
    if (nAt == std::string::npos) return "";
    size_t nBegin = nAt + sKey.size() + 1;
    return sInfo.substr(nBegin, sInfo.find(' ', nBegin) - nBegin);
}

int InfoNumber(const std::string& sInfo, const std::string& sKey) {
    long lValue = StrHexToLong(InfoField(sInfo, sKey).c_str());
    return lValue == NOT_DEFINED ? 0 : static_cast<int>(lValue);
}

} // namespace

std::vector<UnitIdentity> ReportedUnits(pugi::xml_node device, const std::string& timestampDevice) {
    std::vector<UnitIdentity> arUnit;
    pugi::xml_node report =
        device.find_child_by_attribute(txtDETECTED_DEVICE.c_str(), "Id", timestampDevice.c_str());
    for (int nUnit = 0; report && nUnit < DEVICE_UNITS; nUnit++) {
        pugi::xml_attribute info =
            report.child(DeviceUnitName(nUnit).c_str()).attribute(txtREPORT_INFO.c_str());
        if (!info || IsEmptySlotInfo(info.value())) continue;
        UnitIdentity unit;
        unit.nSlot = nUnit - 1;
        unit.nTypeId = InfoNumber(info.value(), "Id");
        unit.sVersion = InfoField(info.value(), "Ver");
        int nIdSub = InfoNumber(info.value(), "IdSub");
        unit.nSubId = nIdSub != 0 ? nIdSub : InfoNumber(info.value(), "Id66");
        arUnit.push_back(unit);
    }
    return arUnit;
}

const std::string txtDETECTED_DEVICE = "DetectedDevice";
const std::string txtREPORT_INFO = "Info";
const std::string txtREPORT_OK = "Ok";
const std::string txtREPORT_NOT_OK = "Not ok";

std::string DeviceUnitName(int nUnit) {
    const std::string txtController = "Controller";
    const std::string txtModule = "Module";
    return nUnit == 0 ? txtController : txtModule + std::to_string(nUnit - 1);
}

int kxbDevice(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total) {
    // The Device element counts no progress step.
    (void)current;
    (void)total;
    const std::string txtController = DeviceUnitName(0);
    const std::string txtId = "Id";

    // In the check pass nothing is read: the record stays all zero.
    int id = 0;
    int idSub = 0;
    int id66 = 0;
    int verMajor = 0;
    int verMinor = 0;
    int verBuild = 0;
    int verType = 0;
    std::array<int, MODULE_MAX> arIdConfig{};
    pugi::xml_node detectednode;
    pugi::xml_node modulenode;
    int result = 0;

    if (device != nullptr) {
        // Without a Device element the report goes nowhere: AddChild yields an empty handle.
        detectednode = AddChild(node, txtDETECTED_DEVICE);
        AddAttribute(detectednode, txtId, timestampDevice);
        modulenode = AddChild(detectednode, txtController);
        // A unit's reads are made together, so a stop is honoured only before each unit.
        result = StopCheckpoint(modulenode, timestampDevice);
        if (result != 0) return result;
        result = deviceControllerReadInfo(device, MID_ADDR_MASTER, &id, &verMajor, &verMinor, &verBuild,
                                          &verType, arIdConfig.data());
        if (result != 0) {
            AddAttribute(modulenode, timestampDevice, txtERROR + ToHex(result));
            return ERR_ERROR_DEVICE_COMMUNICATION;
        }
        AddAttribute(modulenode, txtREPORT_INFO, ControllerInfo(id, verMajor, verMinor, verBuild, verType));
    }

    result = kxbCheckControllerModule(node.child(txtController.c_str()), 0, id, idSub, id66, verMajor,
                                      verMinor, verBuild, verType);
    result = JudgeUnit(result, node, txtController, modulenode, device, timestampDevice);
    if (result != 0) return result;

    // Slots 14 and 15 are never examined, even when the controller configures modules there.
    for (int i = 0; i < MODULE_MAX_CHANGEME; i++) {
        std::string sSlot = DeviceUnitName(1 + i);
        id = 0;
        idSub = 0;
        id66 = 0;
        verMajor = 0;
        verMinor = 0;
        verBuild = 0;
        verType = 0;
        if (device != nullptr) {
            modulenode = AddChild(detectednode, sSlot);
            // A slot without a configured module is not read; its record stays all zero.
            if (arIdConfig[i] > 0) {
                result = StopCheckpoint(modulenode, timestampDevice);
                if (result != 0) return result;
                result = deviceModuleReadInfo(device, moduleAddress(i), &id, &idSub, &id66, &verMajor,
                                              &verMinor, &verBuild, &verType);
                if (result != 0) {
                    AddAttribute(modulenode, timestampDevice, txtERROR + ToHex(result));
                    return ERR_ERROR_DEVICE_COMMUNICATION;
                }
            }
            AddAttribute(modulenode, txtREPORT_INFO,
                         ModuleInfo(arIdConfig[i], id, idSub, id66, verMajor, verMinor, verBuild, verType));
        }

        result = kxbCheckControllerModule(node.child(sSlot.c_str()), arIdConfig[i], id, idSub, id66, verMajor,
                                          verMinor, verBuild, verType);
        result = JudgeUnit(result, node, sSlot, modulenode, device, timestampDevice);
        if (result != 0) return result;
    }
    return 0;
}
