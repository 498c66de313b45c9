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

// Each writer's fields in the order it reads them. The writers read nothing else: a child element
// of another name is passed over without a word. The Device element is judged before the walk, so
// in the walk it is passed over like General and the reports of earlier runs.
const std::vector<ElementEntry> elementTable = {
    {"Command",
     kxbCommand,
     ELEMENT_WRITER,
     {{"DST", false, txtDestination}, {"CMD", false, txtMessageType}, {"Data", false, txtByteList}}},
    {"IntEep",
     kxbIntEep,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS | ELEMENT_POINTER_READ,
     {{"PtrAddress", false, txtAddress}, {"Data", false, txtByteList}, {"Offset", true, txtOffset}}},
    {"BinMemory",
     kxbBinMemory,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS,
     {{"DST", false, txtBusAddress},
      {"CMD", false, txtMessageType},
      {"Data", false, txtByteList},
      {"Address", true, txtAddress}}},
    {"IntEep_CommandPtr",
     kxbIntEepCommandPtr,
     ELEMENT_WRITER | ELEMENT_DATA_BLOCKS | ELEMENT_POINTER_COMMAND,
     {{"PtrDST", false, txtDestination},
      {"PtrCMD", false, txtMessageType},
      {"AnswerByteAddressHigh", false, txtIndex},
      {"AnswerByteAddressLow", false, txtIndex},
      {"PtrData", false, txtByteList},
      {"Data", false, txtByteList},
      {"Offset", true, txtOffset}}},
    {"Device", SkipElement, ELEMENT_PASSED_OVER, {}},
    {"General", SkipElement, ELEMENT_PASSED_OVER, {}},
    {"DetectedDevices", SkipElement, ELEMENT_PASSED_OVER, {}},
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
