// The script walker: runs the script once, as the check pass or as the write pass of a keyboard.
#include "walk.h"

#include "device.h"
#include "hidlink.h"

namespace {

// The walk itself, with the pass's observer installed.
int WalkScript(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device, int* current,
               int* total, const WriteOptions& options) {
    const std::string txtXmlBinFile = "XML_BIN_FILE";
    const std::string txtDevice = "Device";

    // Whether the keyboard suits the script is settled before anything of the script is looked at.
    pugi::xml_node deviceElement = node.child(txtDevice.c_str());
    int result = kxbDevice(deviceElement, timestampDevice, device, current, total);
    if (options.observer != nullptr) options.observer->DeviceJudged(deviceElement, result);
    if (result != 0) return result;

    if (txtXmlBinFile != node.name()) {
        result = RESULT_FIELD_INVALID;
    } else {
        for (pugi::xml_node child = node.first_child(); child && result == 0; child = child.next_sibling()) {
            const ElementEntry* entry = FindElement(child.name());
            if (entry == nullptr) {
                result = RESULT_FIELD_INVALID;
                continue;
            }
            bool bTold = options.observer != nullptr && (entry->nTraits & ELEMENT_WRITER) != 0;
            if (bTold) options.observer->ElementBegin(child, entry->nTraits);
            result = entry->handler(child, timestampDevice, device, current, total);
            if (bTold) options.observer->ElementEnd(child, entry->nTraits, result);
        }
    }

    if (device == nullptr) {
        // The check pass counts the steps of the reset wait, so the total matches a write pass.
        *current += RESET_STEPS;
    } else if (result == 0 && options.bReset) {
        result = kxbResetKeyboard(node, timestampDevice, device, current, total, options.bWaitReset);
    }
    return result;
}

} // namespace

int kxbCheckWrite(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                  int* total, const WriteOptions& options) {
    WalkObserver* previous = SetWalkObserver(options.observer);
    int result = WalkScript(node, timestampDevice, device, current, total, options);
    SetWalkObserver(previous);
    return result;
}

int kxbResetKeyboard(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                     int* current, int* total, bool bWait, int* nResetStatus) {
    // A stop before the reset leaves the keyboard as written so far; the root records it.
    int result = StopCheckpoint(node, timestampDevice);
    if (result != 0) return result;
    std::vector<unsigned char> pData;
    // The keyboard restarts with what was written; its status does not change the wait (a keyboard
    // may drop its link as it restarts). A stop ends the wait's pauses at once: the keyboard is
    // written and reset.
    int nStatus = SendWithoutAnswer(device, MID_MSGT_CMD_RESET, MID_ADDR_MASTER, pData);
    if (nResetStatus != nullptr) *nResetStatus = nStatus;
    for (int i = 0; i < RESET_STEPS; i++) {
        // Without the pauses the steps still run, so the block shows what a wait would show.
        if (bWait) SleepMilliseconds(TIME_ONE_COMMAND);
        CountStep(current, total);
    }
    return 0;
}
