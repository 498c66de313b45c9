// The Command element: one protocol message chosen entirely by the script.
#include "writers.h"

#include "driver.h"
#include "hidlink.h"

long CommandDstToModuleAddress(long destination) {
    const long MODULE_LAST = 14;
    const long DESTINATION_CONTROLLER = 15;
    if (destination < 0 || destination > DESTINATION_CONTROLLER) return NOT_DEFINED;
    if (destination == DESTINATION_CONTROLLER) return MID_ADDR_MASTER;
    // Module n sits where the identity reads address it.
    return destination <= MODULE_LAST ? ModuleBusAddress(static_cast<int>(destination)) : NOT_DEFINED;
}

int ReadMessageFields(pugi::xml_node node, const std::string& timestampDevice, const char* txtDst,
                      bool bModule, const char* txtCmd, int nCmdResult, unsigned char* dst,
                      unsigned char* cmd) {
    // The fields are taken as they stand: white space around them makes them invalid.
    long lDst = StrHexToLong(ChildNodeValue(node, txtDst));
    if (bModule) lDst = CommandDstToModuleAddress(lDst);
    if (lDst == NOT_DEFINED) return ParseError(node, timestampDevice, txtDst);
    long lCmd = StrHexToLong(ChildNodeValue(node, txtCmd));
    if (lCmd == NOT_DEFINED) return ParseError(node, timestampDevice, txtCmd, nCmdResult);
    *dst = static_cast<unsigned char>(lDst & 0xFF);
    *cmd = static_cast<unsigned char>(lCmd & 0xFF);
    return 0;
}

// Returns 0 when sent (or valid, in the check pass), RESULT_FIELD_INVALID, RESULT_MESSAGE_FAILED
// when the message failed, RESULT_INTERRUPTED when a stop came before an attempt.
int kxbCommand(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
               int* total) {
    const std::string txtData = "Data";
    const int ATTEMPTS_BUSY = 30;
    const int TIME_BUSY_RETRY = 200;

    unsigned char dst = 0;
    unsigned char cmd = 0;
    int nFields =
        ReadMessageFields(node, timestampDevice, "DST", true, "CMD", RESULT_FIELD_INVALID, &dst, &cmd);
    if (nFields != 0) return nFields;
    std::vector<unsigned char> pData;
    if (HexByteListAppend(ChildNodeValue(node, txtData), pData) != 0) {
        return ParseError(node, timestampDevice, txtData);
    }

    if (device != nullptr) {
        int nRepeat = ATTEMPTS_BUSY;
        int nError = MID_STATUS_BUSY;
        while (nError == MID_STATUS_BUSY && nRepeat > 0) {
            // A stop between busy answers sends no further attempt.
            int nStop = StopCheckpoint(node, timestampDevice);
            if (nStop != 0) return nStop;
            --nRepeat;
            nError = SendWithoutAnswer(device, cmd, dst, pData);
            // A busy keyboard gets the same message again after a pause, but never a pause after
            // the last attempt.
            if (nError == MID_STATUS_BUSY && nRepeat > 0) SleepMilliseconds(TIME_BUSY_RETRY);
        }
        AddAttribute(node, timestampDevice, StatusAnnotation(nError));
        if (nError != 0) return RESULT_MESSAGE_FAILED;
    }
    CountStep(current, total);
    return 0;
}
