// The writer elements: Command, IntEep, IntEep_CommandPtr and BinMemory, and what they share.
#ifndef KAVELWRITE_WRITERS_H
#define KAVELWRITE_WRITERS_H

#include <pugixml.hpp>

#include <cstddef>

#include <string>
#include <string_view>
#include <vector>

class KavelHidDevice;

// Results of the writers besides 0 and those every handler has (RESULT_FIELD_INVALID,
// RESULT_INTERRUPTED). IntEep_CommandPtr tells its unreadable fields apart: PtrCMD, then the two
// answer byte indices.
const int RESULT_PTR_CMD_INVALID = 2;
const int RESULT_ANSWER_HIGH_INVALID = 3;
const int RESULT_ANSWER_LOW_INVALID = 4;
// The element's own message failed: a Command, a pointer read or a pointer command.
const int RESULT_MESSAGE_FAILED = 5;
// A block write failed.
const int RESULT_BLOCK_FAILED = -1;

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
// How WriteDataBlocks treats the blocks of a write pass: send them all whatever fails, mark them all
// "skipped" instead of sending them, stop at the first failed write.
const unsigned BLOCKS_SEND_ALL = 0;
const unsigned BLOCKS_SKIP = 1;
const unsigned BLOCKS_STOP_AT_FAILURE = 2;
// Validates (device null) or writes the element's Data children, one memory write each at
// lAddressBegin + the child's attribute txtAddress, counting a step per child, as nBlocks (a
// combination of BLOCKS_) says. Returns 0; RESULT_FIELD_INVALID for a rejected attribute or byte
// list; RESULT_BLOCK_FAILED when a write failed; RESULT_INTERRUPTED when a stop came before a block.
int WriteDataBlocks(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                    int* current, int* total, const std::string& txtAddress, long lAddressBegin,
                    unsigned char cmd, unsigned char dst, unsigned nBlocks);

#endif
