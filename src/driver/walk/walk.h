// The walk: the table of the elements the walker knows, and the walker that runs a script once,
// as the check pass or as the write pass of a keyboard.
#ifndef KAVELWRITE_WALK_H
#define KAVELWRITE_WALK_H

#include "driver.h"
#include "writers.h"

#include <pugixml.hpp>

#include <string>
#include <vector>

class KavelHidDevice;

// ---- walker.cpp

// What a pass does besides the script's elements: whether a write pass ends with the reset (its
// caller resets after reading back, when not), whether it pauses for the reset wait (without, the
// wait's steps are counted at once), and who is told of its elements and blocks.
struct WriteOptions {
    bool bReset = true;
    bool bWaitReset = true;
    WalkObserver* observer = nullptr;
};
// Runs the script once: the check pass with a null device, a write pass otherwise. Returns 0, the
// first non-zero handler result, 1 for a wrong root name or an unknown element, or
// RESULT_INTERRUPTED for a stop before the reset.
int kxbCheckWrite(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                  int* total, const WriteOptions& options = WriteOptions());
// Sends a written keyboard the reset and counts the RESET_STEPS steps of its wait, each after a
// pause of TIME_ONE_COMMAND when bWait, at once otherwise; *nResetStatus, when not null, receives the
// reset message's status, which is not judged. Returns 0, or RESULT_INTERRUPTED after annotating
// node (the root) when a stop came before the reset.
int kxbResetKeyboard(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                     int* current, int* total, bool bWait, int* nResetStatus = nullptr);

// ---- elements.cpp: the walker's table of the elements it knows

// What an element is besides its handler, as flags: a writer (its fields are checked and its
// messages sent), one whose Data children are each one memory message at an address, one that reads
// the base of those addresses from the controller's memory first, one whose start address comes
// from a command of the script.
const unsigned ELEMENT_PASSED_OVER = 0;
const unsigned ELEMENT_WRITER = 1;
const unsigned ELEMENT_DATA_BLOCKS = 2;
const unsigned ELEMENT_POINTER_READ = 4;
const unsigned ELEMENT_POINTER_COMMAND = 8;

// How a field's text is read, which decides what it accepts. An absent field reads as empty text,
// so every notation but the byte list makes its field required.
const unsigned FIELD_NUMBER = 0;      // StrHexToLong, untrimmed: any value but -1
const unsigned FIELD_DESTINATION = 1; // StrHexToLong, untrimmed: 0 to F
const unsigned FIELD_BYTE_LIST = 2;   // HexByteListAppend: trimmed, may be empty
const unsigned FIELD_ID = 3;          // checkId: trimmed, xx or a number
const unsigned FIELD_VERSION = 4;     // checkVersion: trimmed, MM.mm.bb with an optional .tt

// A field of a writer element: a child element it reads, or an attribute of its Data children. The
// Device element's fields are those of its candidates: the attribute Id and the Version children.
struct ElementField {
    const char* name;
    bool bAttribute;
    const char* accepts; // what the field accepts, in a few words: "a destination: 0 to E ..."
    unsigned nNotation;  // FIELD_ notation
};

// One element name the walker knows.
struct ElementEntry {
    const char* name;
    ElementHandler handler;           // SkipElement for the names the walk passes over
    unsigned nTraits;                 // ELEMENT_ flags
    std::vector<ElementField> fields; // a writer's, in the order it reads them
    const char* about;                // what the element is for, in a sentence
};

// Returns every element name the walker knows, writers first.
const std::vector<ElementEntry>& ElementTable();
// Returns the walker's entry for an element name, or null when the walker does not know the name.
const ElementEntry* FindElement(const char* name);
// Returns the field of that name that the element reads, or null.
const ElementField* FindElementField(const char* element, const char* name);
// The handler of elements that the walker passes over; returns 0.
int SkipElement(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                int* total);

#endif
