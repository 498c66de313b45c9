// The fields that each writer element reads, with what each accepts: what a script author may write
// inside a writer element, for messages about a script and for finding what is never read.
#include "writers.h"

#include <iterator>

namespace {

const char* const txtDestination = "a destination: 0 to E for a module, F for the controller";
const char* const txtMessageType = "a message type: a hexadecimal number (not -1), nothing after it";
const char* const txtByteList = "a hex byte list: two hex digits per byte, one separator between bytes";
const char* const txtAddress = "an address: a hexadecimal number (not -1), nothing after it";
const char* const txtIndex = "an answer byte index: a hexadecimal number (not -1), nothing after it";
const char* const txtOffset = "an offset: a hexadecimal number (not -1), nothing after it";

// In the order each element reads its fields. The writers read nothing else: a child element of
// another name is passed over without a word.
const WriterField writerFields[] = {
    {"Command", "DST", false, txtDestination},
    {"Command", "CMD", false, txtMessageType},
    {"Command", "Data", false, txtByteList},
    {"IntEep", "PtrAddress", false, txtAddress},
    {"IntEep", "Data", false, txtByteList},
    {"IntEep", "Offset", true, txtOffset},
    {"IntEep_CommandPtr", "PtrDST", false, txtDestination},
    {"IntEep_CommandPtr", "PtrCMD", false, txtMessageType},
    {"IntEep_CommandPtr", "AnswerByteAddressHigh", false, txtIndex},
    {"IntEep_CommandPtr", "AnswerByteAddressLow", false, txtIndex},
    {"IntEep_CommandPtr", "PtrData", false, txtByteList},
    {"IntEep_CommandPtr", "Data", false, txtByteList},
    {"IntEep_CommandPtr", "Offset", true, txtOffset},
    {"BinMemory", "DST", false, "a bus address: a hexadecimal number (not -1), nothing after it"},
    {"BinMemory", "CMD", false, txtMessageType},
    {"BinMemory", "Data", false, txtByteList},
    {"BinMemory", "Address", true, txtAddress},
};

} // namespace

const std::vector<WriterField>& WriterFields() {
    static const std::vector<WriterField> fields(std::begin(writerFields), std::end(writerFields));
    return fields;
}
