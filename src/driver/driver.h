// The driver: command line, device loop, progress display, log file, the script walker and the
// small text and XML helpers that every element handler uses.
#ifndef KAVELWRITE_DRIVER_H
#define KAVELWRITE_DRIVER_H

#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class KavelHidDevice;

// Version shown in the banner.
const int KAVELWRITE_VER_MAJOR = 0;
const int KAVELWRITE_VER_MINOR = 0;
const int KAVELWRITE_VER_BUILD = 4;

// Durations in milliseconds.
const int TIME_ONE_COMMAND = 130; // one step of the reset wait
const int TIME_RESET = 5000;      // length of the reset wait
// Steps of the reset wait: pauses of TIME_ONE_COMMAND until TIME_RESET is covered (39).
const int RESET_STEPS = (TIME_RESET + TIME_ONE_COMMAND - 1) / TIME_ONE_COMMAND;

// Mark of a missing or invalid number.
const long NOT_DEFINED = -1;

const int MODULE_MAX = 16;          // module slots of a keyboard
const int MODULE_MAX_CHANGEME = 14; // module slots that the Device element examines

// Exit codes.
const int ERR_ERROR_IN_FILE = 160;
const int ERR_ERROR_NO_DEVICE = 161;
const int ERR_ERROR_DEVICE_OPEN = 162;
const int ERR_ERROR_MODULES_ENUMERATION = 163;
const int ERR_ERROR_DEVICE_COMMUNICATION = 164;
const int ERR_ERROR_DEVICE_COMPATIBILITY = 165;
const int ERR_ERROR_DEVICE_WRITE = 166;
const int ERR_ERROR_DEVICE_DIFFERS = 167; // the read-back found other bytes than the script leaves
const int ERR_ERROR_PARAMETER_MISSING = 168;
const int ERR_ERROR_LOAD_FILE = 169;
const int ERR_ERROR_RECORD_FILE = 170; // the recording named with --record cannot be made

// The six characters that count as white space, and nothing else does.
extern const std::string WHITESPACE;

// Values of run annotations.
extern const std::string txtPARSE_ERROR;
extern const std::string txtERROR;
extern const std::string txtRESULT;
extern const std::string txtSKIPPED;
extern const std::string txtINTERRUPTED;

// Results of the walker and the element handlers besides 0. RESULT_FIELD_INVALID: a field of the
// element cannot be read (a parse error), also the walker's result for a wrong root name or an
// unknown element. RESULT_INTERRUPTED: a stop request ended a write pass before a message was
// sent; no handler returns it for anything else.
const int RESULT_FIELD_INVALID = 1;
const int RESULT_INTERRUPTED = -2;

// An element handler: validates (device null) or carries out its element, counts its steps into
// *current; returns 0 to go on with the script, anything else ends the pass.
typedef int (*ElementHandler)(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device,
                              int* current, int* total);

// ---- main.cpp / kxbmain.cpp

// How a keyboard's block ends on the console: its exit status, whether a stop ended its pass,
// whether the line is followed by " (" + the library's status + ")", and the line itself. kxb reads
// the same rows to say what kavelwrite printed.
struct KeyboardOutcome {
    int nStatus;
    bool bInterrupted;
    bool bLibraryStatus;
    const char* txtLine;
};
// Returns the outcome of a keyboard that ended with nStatus, after a stop when bInterrupted; null
// for a status that no keyboard ends with.
const KeyboardOutcome* KeyboardOutcomeOf(int nStatus, bool bInterrupted = false);
// Returns the line of an outcome, with the library's status where it takes one.
std::string KeyboardOutcomeLine(const KeyboardOutcome& outcome, int nLibraryStatus);
// The line of a negative keyboard count, and what follows the count otherwise.
extern const char* const txtNO_DEVICE;
extern const char* const txtDEVICES_DETECTED;

// Runs the whole program; returns the exit status.
int kxbMain(int argc, char* argv[]);
// Returns the annotation name of keyboard i's write pass: stampTime + "_device" + i.
std::string TimestampDevice(const std::string& stampTime, int i);
// Returns the annotation name of the read-back of keyboard i's write pass: timestampDevice +
// "_verify", beside the write's own annotation on every Data child that it reads back.
std::string TimestampVerify(const std::string& timestampDevice);
// Reads a run annotation's name: a run stamp into *stampTime and -1 into *i, or what
// TimestampDevice makes of them, or with a non-null bVerify what TimestampVerify makes of that
// (*bVerify tells which); false for any other name.
bool ParseTimestampDevice(const char* name, std::string* stampTime, int* i, bool* bVerify = nullptr);
// Returns the run stamp, "t" + year, month, day, hour, minute, second of local time.
std::string timestamp();
// Returns the path of the log file of a run: the script's path + "_" + the run stamp.
std::string LogFileName(const std::string& filename, const std::string& stampTime);
// Reads the run stamp at the end of a log file's path into *stampTime; false when there is none.
bool ParseLogFileName(const std::string& path, std::string* stampTime);
// How kavelwrite writes each keyboard: whether it pauses for the reset wait (without, the wait's
// steps are counted at once), whether it reads back before the reset, and the script and its
// encoding, where what the read-back says is placed.
struct KeyboardRun {
    bool bWaitReset = true;
    bool bVerify = false;
    std::string filename;
    pugi::xml_encoding encoding = pugi::encoding_auto;
};
// Opens, identifies and writes keyboard i (a null device counts as one that does not open);
// prints its block and returns its outcome as an exit code, 0 only when the keyboard was reset.
int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run = KeyboardRun());
// Shows " Writing progress: P %\r" while current < total; returns 0.
int TerminalShowPercentage(int current, int total);

// ---- logfile.cpp

// Deepest nesting of a script that is accepted; the root element is level 1.
const int SCRIPT_DEPTH_MAX = 64;

// What kept a script from loading.
const int LOAD_OK = 0;
const int LOAD_FOLDER = 1;   // the path names a folder
const int LOAD_NOT_XML = 2;  // the parser refused it (also a file that cannot be read)
const int LOAD_TOO_DEEP = 3; // it nests deeper than SCRIPT_DEPTH_MAX

// Returns how deeply elements nest below node (a document's root element alone gives 1).
int DocumentDepth(pugi::xml_node node);
// Loads a script as a run does; returns LOAD_OK or what kept it from loading. A non-null parsed
// receives the parser's result (its description, offset and the encoding it found).
int LoadScriptFile(pugi::xml_document& doc, const std::string& filename, pugi::xml_parse_result* parsed);
// Loads a script held in memory as LoadScriptFile loads a file; returns LOAD_OK, LOAD_NOT_XML or
// LOAD_TOO_DEEP.
int LoadScriptBuffer(pugi::xml_document& doc, const void* contents, size_t size);
// Loads a script; false when it is no XML document or nests deeper than SCRIPT_DEPTH_MAX.
bool LoadScript(pugi::xml_document& doc, const std::string& filename);
// Writes a document as the program saves scripts (the log file, kxb's backup): tab-indented, in the
// encoding it was read in.
void WriteDocumentText(const pugi::xml_document& doc, pugi::xml_writer& writer);
// Saves a document as WriteDocumentText writes it, replacing path whole or not at all, so that a
// failed or interrupted save never leaves half a file; true when saved.
bool SaveDocumentWhole(const pugi::xml_document& doc, const std::string& path);

// ---- walker.cpp

struct ReadBackPass;
// What a pass does besides the script's elements: whether a write pass pauses for its reset wait,
// whether the check pass counts the steps of a read-back, and the read-back whose keyboard a write
// pass then sends through (it ends before the reset, which its caller sends after the read-back).
struct WriteOptions {
    bool bWaitReset = true;
    bool bVerify = false;
    ReadBackPass* readback = nullptr;
};
// Runs the script once: the check pass with a null device, a write pass otherwise, which ends
// with kxbResetKeyboard unless it reads back. Returns 0, the first non-zero handler result, 1 for a
// wrong root name or an unknown element, or RESULT_INTERRUPTED for a stop before the reset.
int kxbCheckWrite(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                  int* total, const WriteOptions& options = WriteOptions());
// Sends a written keyboard the reset and counts the RESET_STEPS steps of its wait, each after a
// pause of TIME_ONE_COMMAND when bWait, at once otherwise. Returns 0, or RESULT_INTERRUPTED after
// annotating node (the root) when a stop came before the reset.
int kxbResetKeyboard(pugi::xml_node node, const std::string& timestampDevice, KavelHidDevice* device,
                     int* current, int* total, bool bWait);

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
// Returns the handler for an element name, or null when the walker does not know the name. Names
// that the walker passes over map to SkipElement.
ElementHandler FindElementHandler(const char* name);
// Returns the field of that name that the element reads, or null.
const ElementField* FindElementField(const char* element, const char* name);
// The handler of elements that the walker passes over; returns 0.
int SkipElement(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                int* total);

// A field as a list of every writer's fields shows it: with the element that reads it.
struct WriterField {
    const char* element;
    const char* name;
    bool bAttribute;
    const char* accepts;
};
// Returns every field of every writer element, each element's in the order it reads them.
const std::vector<WriterField>& WriterFields();

// ---- sleep.cpp (the one place that pauses; tests may link another definition)

// Blocks the program for nMilliseconds, or less when a stop is requested.
void SleepMilliseconds(int nMilliseconds);

// ---- stop.cpp: Ctrl-C, termination and hang-up end a run at the next message, with its record

// Ignores SIGPIPE and lets SIGINT, SIGTERM and SIGHUP request a stop (a second request ends the
// program at once); returns 0.
int InstallStopHandlers();
// Returns the number of the signal that requested a stop, or 0.
int StopRequested();
// Called before each message of a write pass: returns 0 to send it, or RESULT_INTERRUPTED after
// annotating node "interrupted" when a stop is requested.
int StopCheckpoint(pugi::xml_node node, const std::string& timestampDevice);

// ---- position.cpp: lines and columns of a script

// A place in a script: line and column from 1 (0: the file as a whole); the column counts bytes.
struct KxbPosition {
    int nLine = 0;
    int nColumn = 0;
};

// Returns where offset nOffset of the parsed text lies: bytes are the file's (or its beginning), in
// the encoding the parser found; the parser read them as UTF-8, so columns count UTF-8 bytes.
KxbPosition KxbPositionAt(std::string_view bytes, pugi::xml_encoding encoding, ptrdiff_t nOffset);
// Returns the position of every offset (-1 gives line 0) as KxbPositionAt, in one pass over bytes.
std::vector<KxbPosition> KxbPositionsAt(std::string_view bytes, pugi::xml_encoding encoding,
                                        const std::vector<ptrdiff_t>& offsets);
// Returns how many bytes of a file in that encoding are enough to reach offset nOffset of its
// parsed text.
size_t KxbBytesToReach(pugi::xml_encoding encoding, ptrdiff_t nOffset);
// Returns the position of every offset in the file (-1 gives line 0), or no positions when the
// file could not be read again.
std::vector<KxbPosition> KxbPlaceOffsets(const std::string& filename, pugi::xml_encoding encoding,
                                         const std::vector<ptrdiff_t>& offsets);
// Returns "FILE:LINE:COLUMN" of a place in a script, or "FILE" for one that was not placed.
std::string KxbPlaceText(const std::string& filename, const KxbPosition& position);

// ---- helpers.cpp

// Returns number in decimal, zero-filled to at least two digits.
std::string ToTwoDigitDec(const int number);
// Returns s without leading white space.
std::string ltrim(const std::string& s);
// Returns s without trailing white space.
std::string rtrim(const std::string& s);
// Returns s without white space at either end.
std::string trim(const std::string& s);
// Returns the value of a whole hexadecimal number, or NOT_DEFINED for anything else.
long StrHexToLong(const char* strHex);
// Returns the text of node's first child element of that name, or "".
const char* ChildNodeValue(pugi::xml_node node, std::string childNodeName);
// Returns the value of node's first attribute of that name, or "".
const char* AttributeValue(pugi::xml_node node, std::string attributeName);
// Appends an attribute after node's existing ones; returns 0.
int AddAttribute(pugi::xml_node node, std::string name, std::string value);
// Appends a child element; returns it, or an empty handle when node cannot have children.
pugi::xml_node AddChild(pugi::xml_node node, std::string name);
// Returns value in lowercase hexadecimal without prefix; negatives as 32-bit two's complement.
template <typename T> std::string ToHex(const T& value);
extern template std::string ToHex<int>(const int& value);
// Appends the annotation "PARSE_ERROR:" + txtField to node; returns nResult, the handler's result.
int ParseError(pugi::xml_node node, const std::string& timestampDevice, const std::string& txtField,
               int nResult = RESULT_FIELD_INVALID);
// Returns "result=" + ToHex(nError) when nError is 0, otherwise "ERROR=" + ToHex(nError).
std::string StatusAnnotation(int nError);
// Returns a number in uppercase hexadecimal without leading zeros, as a script writes it.
std::string KxbUpperHex(int nValue);
// Returns the low byte of a number as two uppercase hexadecimal digits.
std::string KxbTwoDigits(int nValue);
// Returns bytes as a byte list: two uppercase hexadecimal digits each, single blanks between them.
std::string KxbByteListText(const std::vector<unsigned char>& pBytes);

#endif
