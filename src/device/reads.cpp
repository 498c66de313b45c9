// Reads of the controller's and the modules' identity: type id, firmware version, sub-ids and the
// controller's table of configured module ids.
#include "device.h"

#include "driver.h"
#include "hidlink.h"

#include <vector>

namespace {

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

// What deviceModuleReadInfo returns when a message fails it.
const int MODULE_READ_VERSION_FAILED = 1;
const int MODULE_READ_VERSION_SHORT = 2;
const int MODULE_READ_SUB_ID_FAILED = 3;

// The answer to the sub-id query: the module's own bus address and the sub-id.
const int FF_ANSWER_LEN = 2;

// The RM52 firmware families, which report their sub-id only to a query of their own: a type
// 0x66 module with version 2.0 (RM52) or 1.3 (dial-pad) and build CE or 4F. Other modules: 0.
int Rm52Family(int id, int verMajor, int verMinor, int verBuild) {
    if (id == RM52_VER_ID && verMajor == RM52_VER_MAJOR && verMinor == RM52_VER_MINOR &&
        (verBuild == RM52_VER_BUILD1 || verBuild == RM52_VER_BUILD2))
        return MODULE_FAMILY_RM52;
    if (id == RM52DIALPAD_VER_ID && verMajor == RM52DIALPAD_VER_MAJOR && verMinor == RM52DIALPAD_VER_MINOR &&
        (verBuild == RM52DIALPAD_VER_BUILD1 || verBuild == RM52DIALPAD_VER_BUILD2))
        return MODULE_FAMILY_RM52_DIALPAD;
    return 0;
}

// True when the sub-id is asked for with the FF query: only a version answer of exactly four
// bytes from RM52 firmware leaves it unsaid.
bool IsRm52Pattern(int id, int nAnswerLen, int verMajor, int verMinor, int verBuild) {
    return nAnswerLen == VERSION_LEN_MIN && Rm52Family(id, verMajor, verMinor, verBuild) != 0;
}

// True for the type ids of VELUM modules, whose sub-id lies in their EEPROM block.
bool IsVelumId(int id) {
    return id >= ID_VELUM_LOW && id <= ID_VELUM_HIGH;
}

// Where a VELUM module of type id keeps its sub-id in the block: 2 .. 16 for the VELUM range.
int VelumSubIdIndex(int id) {
    return 2 + (id & 0x0F);
}

// An answer with status 0 and these bytes.
ReadAnswer Answered(unsigned char lCmd, std::vector<unsigned char> pAnswer) {
    ReadAnswer answer;
    answer.bAsked = true;
    answer.lCmd = lCmd;
    answer.pAnswer = std::move(pAnswer);
    return answer;
}

// A message that fails with nStatus.
ReadAnswer Failed(unsigned char lCmd, int nStatus) {
    ReadAnswer answer;
    answer.bAsked = true;
    answer.lCmd = lCmd;
    answer.nStatus = nStatus;
    return answer;
}

// The first four bytes of every version answer.
std::vector<unsigned char> VersionBytes(int id, int verMajor, int verMinor, int verBuild) {
    return {static_cast<unsigned char>(id), static_cast<unsigned char>(verMajor),
            static_cast<unsigned char>(verMinor), static_cast<unsigned char>(verBuild)};
}

} // namespace

int moduleAddress(int moduleIndex) {
    if (moduleIndex < 0 || moduleIndex > MODULE_MAX - 1) return MID_ADDR_NONE;
    return ModuleBusAddress(moduleIndex);
}

int deviceControllerReadInfo(KavelHidDevice* device, int address, int* id, int* verMajor, int* verMinor,
                             int* verBuild, int* verType, int* arIdConfig) {
    unsigned char lDst = static_cast<unsigned char>(address);
    std::vector<unsigned char> pData;
    MessageAnswer answer;
    const auto& pResponse = answer.pResponse;

    int result = SendForAnswer(device, MID_MSGT_CMD_VERSION, lDst, pData, &answer);
    if (result != 0) return result;
    if (answer.nLength < VERSION_LEN_MIN) return -1;
    *id = pResponse[0];
    *verMajor = pResponse[1];
    *verMinor = pResponse[2];
    *verBuild = pResponse[3];
    *verType = answer.nLength >= VERSION_LEN_TYPE ? pResponse[4] : 0;

    result = SendForAnswer(device, MID_MSGT_CMD_EXE_RD_CONFIG, lDst, pData, &answer);
    if (result != 0) return result;
    // One byte per slot; slots beyond a short answer have no module configured.
    for (int i = 0; i < MODULE_MAX; i++) arIdConfig[i] = i < answer.nLength ? pResponse[i] : 0;
    return 0;
}

int deviceModuleReadInfo(KavelHidDevice* device, int moduleAddress, int* id, int* idSub, int* id66,
                         int* verMajor, int* verMinor, int* verBuild, int* verType) {
    unsigned char lDst = static_cast<unsigned char>(moduleAddress);
    std::vector<unsigned char> pData;
    MessageAnswer answer;
    const auto& pResponse = answer.pResponse;

    int result = SendForAnswer(device, MID_MSGT_CMD_VERSION, lDst, pData, &answer);
    if (result != 0) return MODULE_READ_VERSION_FAILED;
    if (answer.nLength < VERSION_LEN_MIN) return MODULE_READ_VERSION_SHORT;
    *id = pResponse[0];
    *verMajor = pResponse[1];
    *verMinor = pResponse[2];
    *verBuild = pResponse[3];
    if (answer.nLength >= VERSION_LEN_TYPE) {
        // A type 0x66 module reports its sub-id where other modules report the firmware type.
        if (*id == ID_66)
            *id66 = pResponse[4];
        else
            *verType = pResponse[4];
    }

    if (IsRm52Pattern(*id, answer.nLength, *verMajor, *verMinor, *verBuild)) {
        result = SendForAnswer(device, MID_MSGT_CMD_FF, lDst, pData, &answer);
        // Only the module itself, naming its own address, can vouch for the sub-id.
        if (result != 0 || answer.nLength != FF_ANSWER_LEN || pResponse[0] != moduleAddress)
            return MODULE_READ_SUB_ID_FAILED;
        *id66 = (ID_66 << 8) | pResponse[1];
    }

    deviceModuleReadIdSub(device, moduleAddress, *id, idSub);
    return 0;
}

int deviceModuleReadIdSub(KavelHidDevice* device, int moduleAddress, int id, int* idSub) {
    if (!IsVelumId(id)) return 0;

    unsigned char lDst = static_cast<unsigned char>(moduleAddress);
    std::vector<unsigned char> pData = {0x00, ADDRESS_ID_SUB, LENGTH_ID_SUB};
    MessageAnswer answer;
    const auto& pResponse = answer.pResponse;

    int result = SendForAnswer(device, MID_MSGT_CMD_RD_MODULE_EEPROM, lDst, pData, &answer);
    // A block that is short or lacks the signature is not an error: the sub-id stays as it was.
    if (result == 0 && answer.nLength >= LENGTH_ID_SUB && pResponse[0] == BYTE_AA && pResponse[1] == BYTE_55)
        *idSub = pResponse[VelumSubIdIndex(id)];
    return 0;
}

int deviceModuleFamily(int id, int id66, int verMajor, int verMinor, int verBuild) {
    if (IsVelumId(id)) return MODULE_FAMILY_VELUM;
    if (id != ID_66) return MODULE_FAMILY_OTHER;
    // The FF query puts the type id in the high byte; a fifth version byte fills the low byte only.
    bool bQueried = (id66 >> 8) == ID_66;
    int nRm52Family = Rm52Family(id, verMajor, verMinor, verBuild);
    return bQueried && nRm52Family != 0 ? nRm52Family : MODULE_FAMILY_66;
}

UnitAnswers deviceControllerAnswers(int nResult, bool bVersionRead, int id, int verMajor, int verMinor,
                                    int verBuild, int verType, const int* arIdConfig) {
    UnitAnswers answers;
    if (nResult != 0 && !bVersionRead) {
        // A short version answer reads as -1, the same as a status of -1.
        answers.version = Failed(MID_MSGT_CMD_VERSION, nResult);
        return answers;
    }
    std::vector<unsigned char> pVersion = VersionBytes(id, verMajor, verMinor, verBuild);
    pVersion.push_back(static_cast<unsigned char>(verType));
    answers.version = Answered(MID_MSGT_CMD_VERSION, pVersion);
    if (nResult != 0) {
        answers.config = Failed(MID_MSGT_CMD_EXE_RD_CONFIG, nResult);
        return answers;
    }
    std::vector<unsigned char> pConfig;
    for (int i = 0; i < MODULE_MAX; i++) pConfig.push_back(static_cast<unsigned char>(arIdConfig[i]));
    answers.config = Answered(MID_MSGT_CMD_EXE_RD_CONFIG, pConfig);
    return answers;
}

UnitAnswers deviceModuleAnswers(int moduleAddress, int nResult, int id, int idSub, int id66, int verMajor,
                                int verMinor, int verBuild, int verType) {
    // A module read keeps none of the library's statuses: any failing status gives the same code.
    const int STATUS_ANY_FAILURE = -1;
    UnitAnswers answers;
    std::vector<unsigned char> pVersion = VersionBytes(id, verMajor, verMinor, verBuild);
    if (nResult == MODULE_READ_VERSION_FAILED) {
        answers.version = Failed(MID_MSGT_CMD_VERSION, STATUS_ANY_FAILURE);
        return answers;
    }
    if (nResult == MODULE_READ_VERSION_SHORT) {
        answers.version = Answered(MID_MSGT_CMD_VERSION, {});
        return answers;
    }
    if (nResult == MODULE_READ_SUB_ID_FAILED) {
        // The version answer was read: four bytes of RM52 firmware, then the query failed.
        answers.version = Answered(MID_MSGT_CMD_VERSION, pVersion);
        answers.subId = Failed(MID_MSGT_CMD_FF, STATUS_ANY_FAILURE);
        return answers;
    }
    int nFamily = deviceModuleFamily(id, id66, verMajor, verMinor, verBuild);
    if (nFamily == MODULE_FAMILY_RM52 || nFamily == MODULE_FAMILY_RM52_DIALPAD) {
        answers.version = Answered(MID_MSGT_CMD_VERSION, pVersion);
        answers.subId = Answered(MID_MSGT_CMD_FF, {static_cast<unsigned char>(moduleAddress),
                                                   static_cast<unsigned char>(id66 & 0xFF)});
        return answers;
    }
    // The fifth byte: the sub-id of a type 0x66 module, the firmware type of any other.
    pVersion.push_back(static_cast<unsigned char>(nFamily == MODULE_FAMILY_66 ? id66 : verType));
    answers.version = Answered(MID_MSGT_CMD_VERSION, pVersion);
    if (nFamily == MODULE_FAMILY_VELUM) {
        std::vector<unsigned char> pBlock(LENGTH_ID_SUB, 0);
        pBlock[0] = BYTE_AA;
        pBlock[1] = BYTE_55;
        pBlock[VelumSubIdIndex(id)] = static_cast<unsigned char>(idSub);
        answers.eeprom = Answered(MID_MSGT_CMD_RD_MODULE_EEPROM, pBlock);
    }
    return answers;
}
