// Identification of a keyboard: reads of the controller and the modules, and the Device element
// that decides whether a keyboard suits the script.
#ifndef KAVELWRITE_DEVICE_H
#define KAVELWRITE_DEVICE_H

#include "driver.h"
#include "hidlink.h"

#include <pugixml.hpp>

#include <string>
#include <vector>

class KavelHidDevice;

// Units of a keyboard that the Device element judges: the controller, then module slots 0 .. 13.
const int DEVICE_UNITS = 1 + MODULE_MAX_CHANGEME;
// The detection report: its element, the attribute of what a unit's reads found, and the text of
// a report unit that suits the script and of one that does not.
extern const std::string txtDETECTED_DEVICE;
extern const std::string txtREPORT_INFO;
extern const std::string txtREPORT_OK;
extern const std::string txtREPORT_NOT_OK;

// Returns the name of unit nUnit in the Device element and its report: "Controller" for 0, then
// "Module0" .. "Module13".
std::string DeviceUnitName(int nUnit);

// Returns the bus address of module slot moduleIndex, or MID_ADDR_NONE outside 0 .. 15.
int moduleAddress(int moduleIndex);
// Reads version and configuration table (16 entries) of the controller at address; returns 0,
// the failing message's status, or -1 for a version answer shorter than 4 bytes.
int deviceControllerReadInfo(KavelHidDevice* device, int address, int* id, int* verMajor, int* verMinor,
                             int* verBuild, int* verType, int* arIdConfig);
// Reads type id, version and sub-ids of one module; returns 0, 1 version message failed, 2 version
// answer too short, 3 sub-id query failed.
int deviceModuleReadInfo(KavelHidDevice* device, int moduleAddress, int* id, int* idSub, int* id66,
                         int* verMajor, int* verMinor, int* verBuild, int* verType);
// Reads the sub-id block of a VELUM module into *idSub when it is valid; returns 0.
int deviceModuleReadIdSub(KavelHidDevice* device, int moduleAddress, int id, int* idSub);

// Module families that the reads tell apart by what they ask.
const int MODULE_FAMILY_OTHER = 0;
const int MODULE_FAMILY_66 = 1;           // type id 66: its sub-id, if any, in a fifth version byte
const int MODULE_FAMILY_RM52 = 2;         // type id 66 with RM52 firmware: sub-id by the FF query
const int MODULE_FAMILY_RM52_DIALPAD = 3; // the same for the RM52 dial-pad firmware
const int MODULE_FAMILY_VELUM = 4;        // sub-id in its EEPROM block
// Returns the MODULE_FAMILY_ that deviceModuleReadInfo recognised in a module it read; the RM52
// families only when their sub-id came from the FF query.
int deviceModuleFamily(int id, int id66, int verMajor, int verMinor, int verBuild);

// How a unit answers one identification message: whether the reads send it, its type, the
// status and, for status 0, the answer.
struct ReadAnswer {
    bool bAsked = false;
    unsigned char lCmd = 0;
    int nStatus = 0;
    std::vector<unsigned char> pAnswer;
};
// How a unit answers the identification reads, message by message.
struct UnitAnswers {
    ReadAnswer version; // the version message (controller and modules)
    ReadAnswer config;  // the configuration table (controller)
    ReadAnswer subId;   // the FF query (RM52 firmware)
    ReadAnswer eeprom;  // the sub-id block (VELUM modules)
};
// Returns answers on which deviceControllerReadInfo returns nResult and reads these values;
// bVersionRead: a failed read had stored the version before the configuration message failed.
UnitAnswers deviceControllerAnswers(int nResult, bool bVersionRead, int id, int verMajor, int verMinor,
                                    int verBuild, int verType, const int* arIdConfig);
// Returns answers on which deviceModuleReadInfo at moduleAddress, its values cleared first,
// returns nResult and reads these values (for result 3, those read before the FF query).
UnitAnswers deviceModuleAnswers(int moduleAddress, int nResult, int id, int idSub, int id66, int verMajor,
                                int verMinor, int verBuild, int verType);

// Returns what the report says of a controller read: "Id=11 Ver=1.2.3.0".
std::string ControllerInfo(int id, int verMajor, int verMinor, int verBuild, int verType);
// Returns what the report says of a module slot: "IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0".
std::string ModuleInfo(int idConfig, int id, int idSub, int id66, int verMajor, int verMinor, int verBuild,
                       int verType);
// True when a report's Info is that of a slot for which the controller configures no module.
bool IsEmptySlotInfo(const std::string& sInfo);

// A unit as a detection report tells it: its type id, its version as the report writes it
// ("1.2.3.0") and its sub-id (IdSub where the module has one, else Id66).
struct UnitIdentity {
    int nSlot = -1; // -1: the controller
    int nTypeId = 0;
    std::string sVersion;
    int nSubId = 0;
};
// Returns the units that the report of the pass named timestampDevice read, in report order, empty
// slots left out; none when the Device element holds no such report.
std::vector<UnitIdentity> ReportedUnits(pugi::xml_node device, const std::string& timestampDevice);

// The Device element handler: returns 0 suits / well formed, 160 malformed pattern (check pass),
// 164 a read failed, 165 the keyboard does not suit the script, RESULT_INTERRUPTED a stop came
// before a unit's reads.
int kxbDevice(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total);
// Returns 0 when a candidate Module matches, 1 when none does, negative for the first malformed
// Id or Version met.
int kxbCheckControllerModule(pugi::xml_node nodeControllerModule, int idConfig, int id, int idSub, int id66,
                             int verMajor, int verMinor, int verBuild, int verType);
// Returns what kxbCheckControllerModule returns; for a negative result a non-null faulty receives the
// candidate Module whose Id is malformed or the Version element that is.
int kxbCheckControllerModuleAt(pugi::xml_node nodeControllerModule, int idConfig, int id, int idSub, int id66,
                               int verMajor, int verMinor, int verBuild, int verType, pugi::xml_node* faulty);
// Returns 0 match, 1 no match, -1 malformed id pattern.
int checkId(std::string xmlId, int idConfig, int id, int idSub, int id66);
// Returns 0 match, 1 mismatch, -1 shorter than 8 characters, -2 a malformed field.
int checkVersion(std::string xmlVersion, int verMajor, int verMinor, int verBuild, int verType);
// Returns 0 match, 1/2/3 mismatch, -2/-3/-4 malformed, -1 not two characters.
int checkVersionDigit(std::string xmlVer, int readVer);

#endif
