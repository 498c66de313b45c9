// Reads of the controller's and the modules' identity: type id, firmware version, sub-ids and the
// controller's table of configured module ids.
#include "device.h"

#include "driver.h"
#include "kavelhidapi.h"

#include <array>
#include <vector>

namespace {

// Every answer is received into a buffer of this size, offered whole to each message.
const int RESPONSE_CAPACITY = 255;
typedef std::array<unsigned char, RESPONSE_CAPACITY> ResponseBuffer;

// A version answer needs type id, major, minor and build.
const int VERSION_LEN_MIN = 4;
// A fifth version byte is the firmware type, or the sub-id of a type 0x66 module.
const int VERSION_LEN_TYPE = 5;

const int ID_66 = 0x66;
const int RM52_VER_ID = 0x66;
const int RM52_VER_MAJOR = 2;
const int RM52_VER_MINOR = 0;
const int RM52_VER_BUILD1 = 0xCE;
const int RM52_VER_BUILD2 = 0x4F;
const int RM52DIALPAD_VER_ID = 0x66;
const int RM52DIALPAD_VER_MAJOR = 1;
const int RM52DIALPAD_VER_MINOR = 3;
const int RM52DIALPAD_VER_BUILD1 = 0xCE;
const int RM52DIALPAD_VER_BUILD2 = 0x4F;

const int ID_VELUM_LOW = 0xC0;
const int ID_VELUM_HIGH = 0xCE;
const int ADDRESS_ID_SUB = 0x80;
const int LENGTH_ID_SUB = 0x12;
const int BYTE_AA = 0xAA;
const int BYTE_55 = 0x55;

// The answer to the sub-id query: the module's own bus address and the sub-id.
const int FF_ANSWER_LEN = 2;

// Number of answer bytes that may be read: the length the library reported, but never below 0 nor
// beyond the buffer, whatever the library stored.
int AnswerLength(int nResponseLen) {
    if (nResponseLen < 0) return 0;
    if (nResponseLen > RESPONSE_CAPACITY) return RESPONSE_CAPACITY;
    return nResponseLen;
}

// Sends one message that asks for an answer, offering the whole buffer; stores the number of
// answer bytes that may be read in *nAnswerLen and returns the library's status.
int SendForAnswer(KavelHidDevice* device, unsigned char lCmd, unsigned char lDst,
                  std::vector<unsigned char>& pData, ResponseBuffer& pResponse, int* nAnswerLen) {
    int nDataLen = static_cast<int>(pData.size());
    int nResponseLen = RESPONSE_CAPACITY;
    int result =
        device->SendCommand(lCmd, lDst, MessageData(pData), nDataLen, pResponse.data(), &nResponseLen);
    *nAnswerLen = AnswerLength(nResponseLen);
    return result;
}

// True for the RM52 firmware that reports its sub-id only to a query of its own: a version answer
// of exactly four bytes from a type 0x66 module with version 2.0 or 1.3 and build CE or 4F.
bool IsRm52Pattern(int id, int nAnswerLen, int verMajor, int verMinor, int verBuild) {
    if (nAnswerLen != VERSION_LEN_MIN) return false;
    bool bRm52 = id == RM52_VER_ID && verMajor == RM52_VER_MAJOR && verMinor == RM52_VER_MINOR &&
                 (verBuild == RM52_VER_BUILD1 || verBuild == RM52_VER_BUILD2);
    bool bRm52DialPad = id == RM52DIALPAD_VER_ID && verMajor == RM52DIALPAD_VER_MAJOR &&
                        verMinor == RM52DIALPAD_VER_MINOR &&
                        (verBuild == RM52DIALPAD_VER_BUILD1 || verBuild == RM52DIALPAD_VER_BUILD2);
    return bRm52 || bRm52DialPad;
}

} // namespace

int moduleAddress(int moduleIndex) {
    if (moduleIndex < 0 || moduleIndex > MODULE_MAX - 1) return MID_ADDR_NONE;
    return (moduleIndex + 2) * 2;
}

int deviceControllerReadInfo(KavelHidDevice* device, int address, int* id, int* verMajor, int* verMinor,
                             int* verBuild, int* verType, int* arIdConfig) {
    const unsigned char MID_MSGT_CMD_VERSION = 0xF7;
    const unsigned char MID_MSGT_CMD_EXE_RD_CONFIG = 0x11;
    unsigned char lDst = static_cast<unsigned char>(address);
    std::vector<unsigned char> pData;
    ResponseBuffer pResponse{};
    int nAnswerLen = 0;

    int result = SendForAnswer(device, MID_MSGT_CMD_VERSION, lDst, pData, pResponse, &nAnswerLen);
    if (result != 0) return result;
    if (nAnswerLen < VERSION_LEN_MIN) return -1;
    *id = pResponse[0];
    *verMajor = pResponse[1];
    *verMinor = pResponse[2];
    *verBuild = pResponse[3];
    *verType = nAnswerLen >= VERSION_LEN_TYPE ? pResponse[4] : 0;

    result = SendForAnswer(device, MID_MSGT_CMD_EXE_RD_CONFIG, lDst, pData, pResponse, &nAnswerLen);
    if (result != 0) return result;
    // One byte per slot; slots beyond a short answer have no module configured.
    for (int i = 0; i < MODULE_MAX; i++) arIdConfig[i] = i < nAnswerLen ? pResponse[i] : 0;
    return 0;
}

int deviceModuleReadInfo(KavelHidDevice* device, int moduleAddress, int* id, int* idSub, int* id66,
                         int* verMajor, int* verMinor, int* verBuild, int* verType) {
    const unsigned char MID_MSGT_CMD_VERSION = 0xF7;
    const unsigned char MID_MSGT_CMD_FF = 0xFF;
    unsigned char lDst = static_cast<unsigned char>(moduleAddress);
    std::vector<unsigned char> pData;
    ResponseBuffer pResponse{};
    int nAnswerLen = 0;

    int result = SendForAnswer(device, MID_MSGT_CMD_VERSION, lDst, pData, pResponse, &nAnswerLen);
    if (result != 0) return 1;
    if (nAnswerLen < VERSION_LEN_MIN) return 2;
    *id = pResponse[0];
    *verMajor = pResponse[1];
    *verMinor = pResponse[2];
    *verBuild = pResponse[3];
    if (nAnswerLen >= VERSION_LEN_TYPE) {
        // A type 0x66 module reports its sub-id where other modules report the firmware type.
        if (*id == ID_66)
            *id66 = pResponse[4];
        else
            *verType = pResponse[4];
    }

    if (IsRm52Pattern(*id, nAnswerLen, *verMajor, *verMinor, *verBuild)) {
        result = SendForAnswer(device, MID_MSGT_CMD_FF, lDst, pData, pResponse, &nAnswerLen);
        // Only the module itself, naming its own address, can vouch for the sub-id.
        if (result != 0 || nAnswerLen != FF_ANSWER_LEN || pResponse[0] != moduleAddress) return 3;
        *id66 = (ID_66 << 8) | pResponse[1];
    }

    deviceModuleReadIdSub(device, moduleAddress, *id, idSub);
    return 0;
}

int deviceModuleReadIdSub(KavelHidDevice* device, int moduleAddress, int id, int* idSub) {
    const unsigned char MID_MSGT_CMD_RD_MODULE_EEPROM = 0xF9;
    if (id < ID_VELUM_LOW || id > ID_VELUM_HIGH) return 0;

    unsigned char lDst = static_cast<unsigned char>(moduleAddress);
    std::vector<unsigned char> pData = {0x00, ADDRESS_ID_SUB, LENGTH_ID_SUB};
    ResponseBuffer pResponse{};
    int nAnswerLen = 0;

    int result = SendForAnswer(device, MID_MSGT_CMD_RD_MODULE_EEPROM, lDst, pData, pResponse, &nAnswerLen);
    // A block that is short or lacks the signature is not an error: the sub-id stays as it was.
    if (result == 0 && nAnswerLen >= LENGTH_ID_SUB && pResponse[0] == BYTE_AA && pResponse[1] == BYTE_55)
        *idSub = pResponse[2 + (id & 0x0F)];
    return 0;
}
