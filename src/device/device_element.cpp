// The Device element: decides whether a keyboard suits the script and reports what was detected.
#include "device.h"

#include "driver.h"

#include <array>

namespace {

// "Id=11 Ver=1.2.3.0": what was read from the controller.
std::string ControllerInfo(int id, int verMajor, int verMinor, int verBuild, int verType) {
    return "Id=" + ToHex(id) + " Ver=" + ToHex(verMajor) + "." + ToHex(verMinor) + "." + ToHex(verBuild) +
           "." + ToHex(verType);
}

// "IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0": what was configured for and read from a slot.
std::string ModuleInfo(int idConfig, int id, int idSub, int id66, int verMajor, int verMinor, int verBuild,
                       int verType) {
    return "IdConfig=" + ToHex(idConfig) + " Id=" + ToHex(id) + " IdSub=" + ToHex(idSub) +
           " Id66=" + ToHex(id66) + " Ver=" + ToHex(verMajor) + "." + ToHex(verMinor) + "." +
           ToHex(verBuild) + "." + ToHex(verType);
}

} // namespace

int kxbDevice(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total) {
    // The Device element counts no progress step.
    (void)current;
    (void)total;
    const int MID_ADDR_MASTER = 2;
    const std::string txtController = "Controller";
    const std::string txtModule = "Module";
    const std::string txtDetectedDevice = "DetectedDevice";
    const std::string txtId = "Id";
    const std::string txtInfo = "Info";
    const std::string txtOk = "Ok";
    const std::string txtNotok = "Not ok";

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
        detectednode = AddChild(node, txtDetectedDevice);
        AddAttribute(detectednode, txtId, timestampDevice);
        result = deviceControllerReadInfo(device, MID_ADDR_MASTER, &id, &verMajor, &verMinor, &verBuild,
                                          &verType, arIdConfig.data());
        modulenode = AddChild(detectednode, txtController);
        if (result != 0) {
            AddAttribute(modulenode, timestampDevice, txtERROR + ToHex(result));
            return ERR_ERROR_DEVICE_COMMUNICATION;
        }
        AddAttribute(modulenode, txtInfo, ControllerInfo(id, verMajor, verMinor, verBuild, verType));
    }

    pugi::xml_node scriptnode = node.child(txtController.c_str());
    result = kxbCheckControllerModule(scriptnode, 0, id, idSub, id66, verMajor, verMinor, verBuild, verType);
    if (device == nullptr && result < 0) {
        AddAttribute(scriptnode, timestampDevice, txtPARSE_ERROR + txtController);
        return ERR_ERROR_IN_FILE;
    }
    if (device != nullptr) {
        // A malformed pattern met on a real keyboard means no match, like a mismatch.
        if (result != 0) {
            modulenode.text().set(txtNotok.c_str());
            return ERR_ERROR_DEVICE_COMPATIBILITY;
        }
        modulenode.text().set(txtOk.c_str());
    }

    // Slots 14 and 15 are never examined, even when the controller configures modules there.
    for (int i = 0; i < MODULE_MAX_CHANGEME; i++) {
        std::string sSlot = txtModule + std::to_string(i);
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
                result = deviceModuleReadInfo(device, moduleAddress(i), &id, &idSub, &id66, &verMajor,
                                              &verMinor, &verBuild, &verType);
                if (result != 0) {
                    AddAttribute(modulenode, timestampDevice, txtERROR + ToHex(result));
                    return ERR_ERROR_DEVICE_COMMUNICATION;
                }
            }
            AddAttribute(modulenode, txtInfo,
                         ModuleInfo(arIdConfig[i], id, idSub, id66, verMajor, verMinor, verBuild, verType));
        }

        scriptnode = node.child(sSlot.c_str());
        result = kxbCheckControllerModule(scriptnode, arIdConfig[i], id, idSub, id66, verMajor, verMinor,
                                          verBuild, verType);
        if (device == nullptr && result < 0) {
            AddAttribute(scriptnode, timestampDevice, txtPARSE_ERROR + sSlot);
            return ERR_ERROR_IN_FILE;
        }
        if (device != nullptr) {
            if (result != 0) {
                modulenode.text().set(txtNotok.c_str());
                return ERR_ERROR_DEVICE_COMPATIBILITY;
            }
            modulenode.text().set(txtOk.c_str());
        }
    }
    return 0;
}
