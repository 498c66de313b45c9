// The writer elements: Command, IntEep, IntEep_CommandPtr and BinMemory, and what they share.
#ifndef KAVELWRITE_WRITERS_H
#define KAVELWRITE_WRITERS_H

#include <pugixml.hpp>

#include <cstddef>

#include <string>
#include <string_view>
#include <vector>

class KavelHidDevice;

// Element handlers. Each returns 0 to go on with the script; see the .cpp for its failure values.
int kxbCommand(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
               int* total);
int kxbIntEep(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
              int* total);
int kxbIntEepCommandPtr(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device,
                        int* current, int* total);
int kxbBinMemory(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                 int* total);

// Returns the bus address of a script destination (0..E module, F controller), or NOT_DEFINED.
long CommandDstToModuleAddress(long destination);

// ---- hexbytes.cpp: the data notation and message layout that the writers share

// Appends the bytes of a hex byte list (text trimmed, two characters per byte, one separator of
// any kind between bytes) to arData; returns 0, or 1 at the first rejected field with arData as
// it was before the call.
int HexByteListAppend(std::string_view text, std::vector<unsigned char>& arData);
// Makes arData the start of a memory message: the low and the high byte of lAddress; room is
// reserved for nMore further bytes.
void MemoryMessageAddress(long lAddress, std::vector<unsigned char>& arData, size_t nMore);
// Makes arData a memory write: address low, address high, then the bytes of the hex byte list
// text; returns 0, or 1 when the list has a rejected field.
int MemoryMessageData(long lAddress, std::string_view text, std::vector<unsigned char>& arData);

// ---- datablocks.cpp: the steps and Data blocks that the writers share

// Counts one step into *current and shows the progress; returns 0.
int CountStep(int* current, int* total);
// Sends a message that asks for no answer; returns the library's status.
int SendWithoutAnswer(KavelHidDevice* device, unsigned char cmd, unsigned char dst,
                      std::vector<unsigned char>& arData);
// Validates (device null) or writes the element's Data children, one memory write each at
// lAddressBegin + the child's attribute txtAddress, counting a step per child. bSkipped marks
// every block "skipped" instead of sending it. A failed write ends the blocks at once with
// bStopAtFailure, otherwise after the last block. Returns 0; 1 for a rejected attribute or byte
// list; -1 when a write failed; RESULT_INTERRUPTED when a stop came before a block.
int WriteDataBlocks(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                    int* current, int* total, const std::string& txtAddress, long lAddressBegin,
                    unsigned char cmd, unsigned char dst, bool bSkipped, bool bStopAtFailure);

// ---- fields.cpp: what each writer element reads

// A field of a writer element: a child element it reads, or an attribute of its Data children.
struct WriterField {
    const char* element;
    const char* name;
    bool bAttribute;
    const char* accepts; // what the field accepts, in a few words: "a destination: 0 to E ..."
};
// Returns every field of every writer element, each element's in the order it reads them.
const std::vector<WriterField>& WriterFields();

#endif
