// Reading back what a write pass leaves in a keyboard's memory. The read-back watches the walk: each
// writer tells it, by its own rules, where its blocks go. It then lays what the whole pass leaves in
// each unit's memory, reads it in pieces and judges every block on the bytes that are its own.
// kavelwrite --verify watches its own write pass and reads back before the reset; kxb verify and kxb
// backup watch a walk whose writes are held back.
#ifndef KAVELWRITE_READBACK_H
#define KAVELWRITE_READBACK_H

#include "driver.h"
#include "hidlink.h"
#include "walk.h"

#include <pugixml.hpp>

#include <memory>
#include <string>
#include <vector>

class KavelHidDevice;

// ---- readback.cpp: the walk's blocks, the image, the read and the judgement

// The most bytes one memory read asks for: what its length byte and the answer buffer can hold.
const int READ_PIECE_MAX =
    MID_RD_MEM_LENGTH_MAX < MID_RESPONSE_CAPACITY ? MID_RD_MEM_LENGTH_MAX : MID_RESPONSE_CAPACITY;

// What is said of one block of a script on one keyboard.
const int BLOCK_PENDING = -1; // placed, not judged yet
const int BLOCK_MATCH = 0;
const int BLOCK_DIFFER = 1;
const int BLOCK_SKIPPED = 2;      // kavelwrite leaves it out (a pointer that holds 0)
const int BLOCK_NOT_VERIFIED = 3; // kxb cannot tell what it leaves in memory
const int BLOCK_UNREADABLE = 4;   // a read failed
// Returns the word of a block state: "match", "differ", "skipped", "not verified", "unreadable".
const char* KxbBlockStateText(int nState);

// One block of a script on one keyboard: one memory write, a command, or the read it needs.
struct KxbBlock {
    pugi::xml_node node; // the node kavelwrite annotates for the write
    int nState = BLOCK_PENDING;
    bool bPlaced = false; // nUnit, nAddress and nLength are known
    int nUnit = 0;        // bus address
    int nAddress = 0;
    int nLength = 0;
    int nDifferences = 0;  // bytes where the keyboard holds other than the script leaves
    int nFirstAddress = 0; // the first of them, in the block's order
    int nFirstKeyboard = 0;
    int nFirstScript = 0;
    std::string sReason;  // why it is not verified, skipped or unreadable
    std::string sStatus;  // the status of a read that failed under it, as the writers annotate it
    KxbPosition position; // where node stands in the script, once placed
};

// What a keyboard holds under a run of consecutive addresses of one unit that the script writes.
struct KxbHeldRun {
    int nUnit;
    int nAddress;
    std::vector<unsigned char> pBytes;
};

// One keyboard read back.
struct KeyboardReadBack {
    int nStatus = 0;
    int nLibraryStatus = 0;         // the status of a failed Open (162) or EnumerateModules (163)
    std::vector<KxbBlock> arBlock;  // in the order of the write pass
    std::vector<KxbHeldRun> arHeld; // in unit and address order, each byte once
    int nBytesMatch = 0;            // bytes whose expected value the keyboard holds
    int nBytesDiffer = 0;
};

// The state of one keyboard's read-back, released with it; it watches the walk.
struct ReadBackPass;
struct ReadBackPassDeleter {
    void operator()(ReadBackPass* pass) const;
};
using ReadBackPassOwner = std::unique_ptr<ReadBackPass, ReadBackPassDeleter>;

// Begins the read-back of a keyboard, whose memory is read from device (null for one that only
// counts the steps of a check pass); returns its state.
ReadBackPassOwner ReadBackBegin(KavelHidDevice* device);
// Returns the observer that the walk tells of its elements and blocks.
WalkObserver* ReadBackObserver(ReadBackPass* pass);
// Adds a block that the walk did not write, in walk order: a block kxb cannot verify, or the one
// whose own read failed.
void ReadBackAddBlock(ReadBackPass* pass, const KxbBlock& block);
// Returns the steps of a read-back, as the check pass it watched counts them: one per block that a
// write pass sends as a memory write (or leaves out, where its pointer holds 0).
int ReadBackSteps(const ReadBackPass* pass);
// Lays what the walk left in memory, reads it and judges every block into *readback, annotating
// each block it reads under TimestampVerify(timestampDevice) and counting one step per block that
// ReadBackSteps counts. With bWalked false the walk failed: nothing is read and its blocks are
// unreadable. Returns 0, ERR_ERROR_DEVICE_COMMUNICATION (a read failed or answered short),
// ERR_ERROR_DEVICE_DIFFERS (the keyboard holds other bytes) or RESULT_INTERRUPTED (a stop came
// before a read).
int ReadBackFinish(ReadBackPass* pass, bool bWalked, const std::string& timestampDevice, int* current,
                   int* total, KeyboardReadBack* readback);

// ---- report.cpp: what is said of a read-back

// Places every block of every keyboard in the script, in one reading of it; blocks of a file that
// cannot be read again stay unplaced.
void KxbPlaceBlocks(const std::string& filename, pugi::xml_encoding encoding,
                    std::vector<KeyboardReadBack>& keyboards);
// Returns what is said of a block that is no match: "FILE:LINE:COLUMN: deviceI: STATE: NODE: unit U,
// N bytes at A: " and why, or for a difference how many bytes differ and the first of them.
std::string KxbBlockLine(const std::string& filename, int i, const KxbBlock& block);
// Returns the annotation of a block that was read back: "match", "differ;bytes=N;first=A;keyboard=K;
// script=S" or "unreadable;" and the status of the read that failed.
std::string KxbBlockAnnotation(const KxbBlock& block);

#endif
