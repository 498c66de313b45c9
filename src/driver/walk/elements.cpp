// The walker's table: every element name it knows, with the handler that carries the element out
// and what kxb's check and read-back need to know of it. A new element is its handler's file and
// one row here.
#include "walk.h"

#include "writers.h"

#include <cstring>

namespace {

const char* const txtDestination = "a destination: 0 to E for a module, F for the controller";
const char* const txtMessageType = "a message type: a hexadecimal number (not -1), nothing after it";
const char* const txtByteList = "a hex byte list: two hex digits per byte, one separator between bytes";
const char* const txtAddress = "an address: a hexadecimal number (not -1), nothing after it";
const char* const txtIndex = "an answer byte index: a hexadecimal number (not -1), nothing after it";
const char* const txtOffset = "an offset: a hexadecimal number (not -1), nothing after it";
const char* const txtBusAddress = "a bus address: a hexadecimal number (not -1), nothing after it";
const char* const txtId = "an id: xx or a hexadecimal number";
const char* const txtVersion =
    "a version: MM.mm.bb or MM.mm.bb.tt, each field two hex digits, xx, xN or Nx (lower-case x)";

// Each writer's fields in the order it reads them. The writers read nothing else: a child element
// of another name is passed over without a word. The Device element is judged before the walk, so
// in the walk it is passed over like General and the reports of earlier runs.
const std::vector<ElementEntry> elementTable = {
    {"Command",
     kxbCommand,
     ELEMENT_WRITER,
     {{"DST", false, txtDestination, FIELD_DESTINATION},
      {"CMD", false, txtMessageType, FIELD_NUMBER},
      {"Data", false, txtByteList, FIELD_BYTE_LIST}},
     "One message chosen entirely by the script: message type CMD (its low 8 bits) to destination DST, "
     "with the bytes of Data, if any, as its data."},
    {"IntEep",
     kxbIntEep,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS | ELEMENT_POINTER_READ,
     {{"PtrAddress", false, txtAddress, FIELD_NUMBER},
      {"Data", false, txtByteList, FIELD_BYTE_LIST},
      {"Offset", true, txtOffset, FIELD_NUMBER}},
     "Blocks written into the controller's memory: the base address is the 16-bit pointer stored at "
     "PtrAddress in the controller, and each Data block goes to the base plus its Offset. A base of 0 "
     "skips every block."},
    {"BinMemory",
     kxbBinMemory,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS,
     {{"DST", false, txtBusAddress, FIELD_NUMBER},
      {"CMD", false, txtMessageType, FIELD_NUMBER},
      {"Data", false, txtByteList, FIELD_BYTE_LIST},
      {"Address", true, txtAddress, FIELD_NUMBER}},
     "Blocks written at absolute addresses: each Data block at its Address (low 16 bits), as message "
     "type CMD to bus address DST (2 the controller, 4 + 2n the module in slot n)."},
    {"IntEep_CommandPtr",
     kxbIntEepCommandPtr,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS | ELEMENT_POINTER_COMMAND,
     {{"PtrDST", false, txtDestination, FIELD_DESTINATION},
      {"PtrCMD", false, txtMessageType, FIELD_NUMBER},
      {"AnswerByteAddressHigh", false, txtIndex, FIELD_NUMBER},
      {"AnswerByteAddressLow", false, txtIndex, FIELD_NUMBER},
      {"PtrData", false, txtByteList, FIELD_BYTE_LIST},
      {"Data", false, txtByteList, FIELD_BYTE_LIST},
      {"Offset", true, txtOffset, FIELD_NUMBER}},
     "Blocks written into the controller's memory at a start address that a command returns: message "
     "type PtrCMD with the bytes of PtrData goes to destination PtrDST, the answer's bytes number "
     "AnswerByteAddressHigh and AnswerByteAddressLow (counted from 0) hold the start address (bit 14 "
     "always set), and each Data block goes to the start address plus its Offset."},
    {"Device",
     SkipElement,
     ELEMENT_PASSED_OVER,
     {{"Id", true, txtId, FIELD_ID}, {"Version", false, txtVersion, FIELD_VERSION}},
     "Which keyboards the script suits, judged before anything else (only the first Device counts): "
     "for the controller (Controller) and each module slot 0 to 13 (Module0 to Module13), candidate "
     "Module elements, each an Id with its Versions. A unit suits the script when one candidate's Id "
     "and one of its Versions match."},
    {"General", SkipElement, ELEMENT_PASSED_OVER, {}, "Whatever describes the script; passed over."},
    {"DetectedDevices", SkipElement, ELEMENT_PASSED_OVER, {}, "Passed over."},
};

} // namespace

int SkipElement(pugi::xml_node, std::string, KavelHidDevice*, int*, int*) {
    return 0;
}

const std::vector<ElementEntry>& ElementTable() {
    return elementTable;
}

const ElementEntry* FindElement(const char* name) {
    for (const ElementEntry& entry : elementTable) {
        if (std::strcmp(entry.name, name) == 0) return &entry;
    }
    return nullptr;
}

const ElementField* FindElementField(const char* element, const char* name) {
    const ElementEntry* entry = FindElement(element);
    if (entry == nullptr) return nullptr;
    for (const ElementField& field : entry->fields) {
        if (std::strcmp(field.name, name) == 0) return &field;
    }
    return nullptr;
}
