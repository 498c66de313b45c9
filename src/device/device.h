// Identification of a keyboard: reads of the controller and the modules, and the Device element
// that decides whether a keyboard suits the script.
#ifndef KAVELWRITE_DEVICE_H
#define KAVELWRITE_DEVICE_H

#include <pugixml.hpp>

#include <string>

class KavelHidDevice;

const int MID_ADDR_NONE = 0x3F; // bus address of no module

// Units of a keyboard that the Device element judges: the controller, then module slots 0 .. 13.
const int DEVICE_UNITS = 1 + 14;
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

// The Device element handler: returns 0 suits / well formed, 160 malformed pattern (check pass),
// 164 a read failed, 165 the keyboard does not suit the script.
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
