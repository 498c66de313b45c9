// The driver's helpers, the layer every handler stands on: the program's constants, run stamps and
// the names they give, keyboard outcomes, the progress line, loading and saving scripts, stop
// requests, positions in a script, and the small text and XML helpers. The walk is in walk/; the
// device loop is kavelwrite's own.
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
const int ERR_ERROR_HISTORY = 171;     // the record of --history cannot be kept
const int ERR_ERROR_EVENTS_FILE = 172; // the event stream of --events cannot be written
const int ERR_ERROR_USAGE = 2;         // an argument that is no option of the program

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

// ---- annotations.cpp: run stamps, the names they give annotations and log files, and parsers

// Returns the run stamp, "t" + year, month, day, hour, minute, second of local time.
std::string timestamp();
// Returns the annotation name of keyboard i's write pass: stampTime + "_device" + i.
std::string TimestampDevice(const std::string& stampTime, int i);
// Returns the annotation name of the read-back of keyboard i's write pass: timestampDevice +
// "_verify", beside the write's own annotation on every Data child that it reads back.
std::string TimestampVerify(const std::string& timestampDevice);
// Reads a run annotation's name: a run stamp into *stampTime and -1 into *i, or what
// TimestampDevice makes of them, or with a non-null bVerify what TimestampVerify makes of that
// (*bVerify tells which); false for any other name.
bool ParseTimestampDevice(const char* name, std::string* stampTime, int* i, bool* bVerify = nullptr);
// Returns the path of the log file of a run: the script's path + "_" + the run stamp.
std::string LogFileName(const std::string& filename, const std::string& stampTime);
// Reads the run stamp at the end of a log file's path into *stampTime; false when there is none.
bool ParseLogFileName(const std::string& path, std::string* stampTime);
// Returns the run stamp one second after stampTime ("t20261208235959" gives "t20261209000000").
std::string NextStamp(const std::string& stampTime);


// ---- outcomes.cpp: how a keyboard's block ends on the console

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
// Returns the outcome of a keyboard whose write pass (with its read-back) returned r.
const KeyboardOutcome& WritePassOutcome(int r);
// Returns the line of an outcome, with the library's status where it takes one.
std::string KeyboardOutcomeLine(const KeyboardOutcome& outcome, int nLibraryStatus);
// The line of a negative keyboard count, and what follows the count otherwise.
extern const char* const txtNO_DEVICE;
extern const char* const txtDEVICES_DETECTED;

// ---- progress.cpp: the progress line and the steps it counts

// Shows " Writing progress: P %\r" while current < total, and tells the progress hook; returns 0.
int TerminalShowPercentage(int current, int total);
// Makes hook the function told the per cent of every progress line shown (null: none).
void SetProgressHook(void (*hook)(int nPercent));
// Counts one step into *current and shows the progress.
void CountStep(int* current, int* total);

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
// How a script is parsed, from a file or from memory.
const unsigned int SCRIPT_PARSE_OPTIONS = pugi::parse_default;
// Judges a parsed script; returns LOAD_OK, LOAD_NOT_XML or LOAD_TOO_DEEP.
int ScriptLoaded(const pugi::xml_document& doc, const pugi::xml_parse_result& loaded);
// Loads a script; false when it is no XML document or nests deeper than SCRIPT_DEPTH_MAX.
bool LoadScript(pugi::xml_document& doc, const std::string& filename);
// Writes a document as the program saves scripts (the log file, kxb's backup): tab-indented, in the
// encoding it was read in.
void WriteDocumentText(const pugi::xml_document& doc, pugi::xml_writer& writer);
// Saves a document as WriteDocumentText writes it, replacing path whole or not at all, so that a
// failed or interrupted save never leaves half a file; true when saved.
bool SaveDocumentWhole(const pugi::xml_document& doc, const std::string& path);
// True when both paths name one file that exists (whatever links lead to it).
bool SameFile(const std::string& path, const std::string& other);
// Takes the log file's name for a run of filename: creates it, empty, unless it exists, in which
// case the next second's stamp is tried; *stampTime becomes the stamp whose name was taken (it stays
// as it was when no name can be created). Returns true when a name was taken.
bool ReserveLogFile(const std::string& filename, std::string* stampTime);

// ---- sleep.cpp (the one place that pauses; tests may link another definition)

// Blocks the program for nMilliseconds, or less when a stop is requested.
void SleepMilliseconds(int nMilliseconds);

// ---- stop.cpp: Ctrl-C, termination and hang-up end a run at the next message, with its record

// Ignores SIGPIPE and lets SIGINT, SIGTERM and SIGHUP request a stop (a second request ends the
// program at once).
void InstallStopHandlers();
// Lets SIGINT, SIGTERM and SIGHUP end the program at once, as they would, but after the line that
// ends a recording: for a program that only reads, which has no record of its own to finish.
void InstallEndHandlers();
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
// Returns the field that follows the status of a message whose answer length matters:
// ";responselen=" + ToHex(nResponseLen), the length the library stored back.
std::string ResponseLenAnnotation(int nResponseLen);
// Returns a number in uppercase hexadecimal without leading zeros, as a script writes it.
std::string KxbUpperHex(int nValue);
// Returns the low byte of a number as two uppercase hexadecimal digits.
std::string KxbTwoDigits(int nValue);
// Returns bytes as a byte list: two uppercase hexadecimal digits each, single blanks between them.
std::string KxbByteListText(const std::vector<unsigned char>& pBytes);

#endif
