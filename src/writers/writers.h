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
// Reads the destination and the message type of a writer element, in that order: the field txtDst
// (a script destination mapped to its bus address where bModule, a bus address as it stands
// otherwise; only its low 8 bits travel) and the field txtCmd, each a whole hexadecimal number.
// Returns 0, or after the parse error annotation of the first field that fails the handler's
// result: RESULT_FIELD_INVALID for the destination, nCmdResult for the message type.
int ReadMessageFields(pugi::xml_node node, const std::string& timestampDevice, const char* txtDst,
                      bool bModule, const char* txtCmd, int nCmdResult, unsigned char* dst,
                      unsigned char* cmd);

// ---- hexbytes.cpp: the data notation and message layout that the writers share

// Appends the bytes of a hex byte list (text trimmed, two characters per byte, one separator of
// any kind between bytes) to arData; returns 0, or 1 at the first rejected field with arData as
// it was before the call.
int HexByteListAppend(std::string_view text, std::vector<unsigned char>& arData);
// Makes arData a memory write: address low, address high, then the bytes of the hex byte list
// text; returns 0, or 1 when the list has a rejected field.
int MemoryMessageData(long lAddress, std::string_view text, std::vector<unsigned char>& arData);

// ---- observer.cpp: who is told what a pass writes

// How a block came to be told: validated by the check pass, sent (with its status), or left out.
const int WALK_BLOCK_CHECKED = 0;
const int WALK_BLOCK_SENT = 1;
const int WALK_BLOCK_LEFT_OUT = 2;

// One block of a Data child as its memory message carries it.
struct WalkBlock {
    pugi::xml_node data; // the Data child
    int nHow = WALK_BLOCK_CHECKED;
    unsigned char cmd = 0;
    int nUnit = 0;    // the bus address
    int nAddress = 0; // as it travels: 16 bits
    const unsigned char* pBytes = nullptr;
    size_t nBytes = 0;
    int nStatus = 0; // of a block that was sent
};

// Whoever watches a pass (the read-back) is told each writer element as the walk begins and ends
// it, and each block as WriteDataBlocks, the one sender of block writes, sends, leaves out or
// (check pass) validates it.
class WalkObserver {
public:
    virtual ~WalkObserver() = default;
    // The Device element (element) has judged the keyboard with nResult; in a write pass its
    // detection report now stands in it.
    virtual void DeviceJudged(pugi::xml_node /*element*/, int /*nResult*/) {}
    // A writer element with the walker's traits nTraits is about to run.
    virtual void ElementBegin(pugi::xml_node element, unsigned nTraits) = 0;
    virtual void BlockWritten(const WalkBlock& block) = 0;
    // The element's handler returned nResult.
    virtual void ElementEnd(pugi::xml_node element, unsigned nTraits, int nResult) = 0;
};

// Element handlers keep the one signature the walker calls them with, so the walker installs the
// observer of a pass for the pass's length instead of handing it down.
// Returns the observer of the pass being walked, or null.
WalkObserver* CurrentWalkObserver();
// Makes observer the one told of the blocks (null: none); returns the one it replaces.
WalkObserver* SetWalkObserver(WalkObserver* observer);

// ---- datablocks.cpp: the Data blocks that the writers share
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
