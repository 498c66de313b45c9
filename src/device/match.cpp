// Matching of what was read from a controller or module against the candidates of the Device
// element: id patterns, version patterns and their two-character fields.
#include "device.h"

#include "driver.h"

namespace {

// The wildcard of id patterns and version fields; only lower case counts.
const std::string txtWildcard = "xx";
const char WILDCARD_DIGIT = 'x';

// A version pattern holds at least major, minor and build: "MM.mm.bb".
const size_t VERSION_TEXT_MIN = 8;
// Starting positions of the two-character fields; the separators between them are not examined.
const size_t POS_MAJOR = 0;
const size_t POS_MINOR = 3;
const size_t POS_BUILD = 6;
const size_t POS_TYPE = 9;
const size_t FIELD_LEN = 2;

} // namespace

int checkVersionDigit(std::string xmlVer, int readVer) {
    if (xmlVer.size() != FIELD_LEN) return -1;
    if (xmlVer == txtWildcard) return 0;
    if (xmlVer[0] == WILDCARD_DIGIT) {
        long lDigit = StrHexToLong(xmlVer.substr(1, 1).c_str());
        if (lDigit == NOT_DEFINED) return -2;
        return lDigit == (readVer & 0x0F) ? 0 : 1;
    }
    if (xmlVer[1] == WILDCARD_DIGIT) {
        long lDigit = StrHexToLong(xmlVer.substr(0, 1).c_str());
        if (lDigit == NOT_DEFINED) return -3;
        return lDigit == (readVer >> 4) ? 0 : 2;
    }
    long lValue = StrHexToLong(xmlVer.c_str());
    if (lValue == NOT_DEFINED) return -4;
    return lValue == readVer ? 0 : 3;
}

int checkVersion(std::string xmlVersion, int verMajor, int verMinor, int verBuild, int verType) {
    std::string sVersion = trim(xmlVersion);
    if (sVersion.size() < VERSION_TEXT_MIN) return -1;
    int resMajor = checkVersionDigit(sVersion.substr(POS_MAJOR, FIELD_LEN), verMajor);
    int resMinor = checkVersionDigit(sVersion.substr(POS_MINOR, FIELD_LEN), verMinor);
    int resBuild = checkVersionDigit(sVersion.substr(POS_BUILD, FIELD_LEN), verBuild);
    // Without a type field every firmware type is accepted.
    int resType =
        sVersion.size() > POS_TYPE + 1 ? checkVersionDigit(sVersion.substr(POS_TYPE, FIELD_LEN), verType) : 0;
    if (resMajor < 0 || resMinor < 0 || resBuild < 0 || resType < 0) return -2;
    if (resMajor > 0 || resMinor > 0 || resBuild > 0 || resType > 0) return 1;
    return 0;
}

int checkId(std::string xmlId, int idConfig, int id, int idSub, int id66) {
    std::string sId = trim(xmlId);
    if (sId == txtWildcard) return 0;
    long nId = StrHexToLong(sId.c_str());
    if (nId == NOT_DEFINED) return -1;
    // One number may name the slot's configured id, the type id, the sub-id or the type id with id66.
    if (nId == idConfig || nId == id || nId == idSub || nId == ((id << 8) | id66)) return 0;
    return 1;
}

int kxbCheckControllerModule(pugi::xml_node nodeControllerModule, int idConfig, int id, int idSub, int id66,
                             int verMajor, int verMinor, int verBuild, int verType) {
    return kxbCheckControllerModuleAt(nodeControllerModule, idConfig, id, idSub, id66, verMajor, verMinor,
                                      verBuild, verType, nullptr);
}

int kxbCheckControllerModuleAt(pugi::xml_node nodeControllerModule, int idConfig, int id, int idSub, int id66,
                               int verMajor, int verMinor, int verBuild, int verType,
                               pugi::xml_node* faulty) {
    const std::string txtModule = "Module";
    const std::string txtId = "Id";
    const std::string txtVersion = "Version";
    for (pugi::xml_node candidate = nodeControllerModule.child(txtModule.c_str()); candidate;
         candidate = candidate.next_sibling(txtModule.c_str())) {
        // A missing Id reads as empty text, which is malformed.
        int resId = checkId(AttributeValue(candidate, txtId), idConfig, id, idSub, id66);
        if (resId < 0) {
            if (faulty != nullptr) *faulty = candidate;
            return resId;
        }
        // Versions of a candidate whose id does not match are still checked for notation.
        for (pugi::xml_node version = candidate.child(txtVersion.c_str()); version;
             version = version.next_sibling(txtVersion.c_str())) {
            int resVersion = checkVersion(version.child_value(), verMajor, verMinor, verBuild, verType);
            if (resVersion < 0) {
                if (faulty != nullptr) *faulty = version;
                return resVersion;
            }
            if (resId == 0 && resVersion == 0) return 0;
        }
    }
    return 1;
}
