// The script walker: runs the script once, as the check pass or as the write pass of a keyboard.
#include "driver.h"

#include "device.h"
#include "hidlink.h"
#include "readback.h"

int kxbCheckWrite(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                  int* total, const WriteOptions& options) {
    const std::string txtXmlBinFile = "XML_BIN_FILE";
    const std::string txtDevice = "Device";
    // A write pass that reads back sends through the read-back's keyboard, which sees every message.
    KavelHidDevice* sender =
        device != nullptr && options.readback != nullptr ? ReadBackDevice(options.readback) : device;

    // Whether the keyboard suits the script is settled before anything of the script is looked at.
    int result = kxbDevice(node.child(txtDevice.c_str()), timestampDevice, sender, current, total);
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
            bool bReadBack = sender != device && (entry->nTraits & ELEMENT_WRITER) != 0;
            if (bReadBack) ReadBackElementBegin(options.readback, *entry);
            result = entry->handler(child, timestampDevice, sender, current, total);
            if (bReadBack) ReadBackElementEnd(options.readback, child, *entry, timestampDevice, result);
            // The check pass counts the read-back's steps where each element's are counted.
            if (device == nullptr && options.bVerify && result == 0) *current += ReadBackSteps(child, *entry);
        }
    }

    if (device == nullptr) {
        // The check pass counts the steps of the reset wait, so the total matches a write pass.
        *current += RESET_STEPS;
    } else if (result == 0 && options.readback == nullptr) {
        result = kxbResetKeyboard(node, timestampDevice, device, current, total, options.bWaitReset);
    }
    return result;
}

int kxbResetKeyboard(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                     int* current, int* total, bool bWait) {
    // A stop before the reset leaves the keyboard as written so far; the root records it.
    int result = StopCheckpoint(node, timestampDevice);
    if (result != 0) return result;
    std::vector<unsigned char> pData;
    // The keyboard restarts with what was written; its status does not change the wait. A stop
    // ends the wait's pauses at once: the keyboard is written and reset.
    SendWithoutAnswer(device, MID_MSGT_CMD_RESET, MID_ADDR_MASTER, pData);
    for (int i = 0; i < RESET_STEPS; i++) {
        // Without the pauses the steps still run, so the block shows what a wait would show.
        if (bWait) SleepMilliseconds(TIME_ONE_COMMAND);
        (*current)++;
        TerminalShowPercentage(*current, *total);
    }
    return 0;
}
