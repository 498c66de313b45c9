// kxb, the companion of kavelwrite: what is attached (probe), what is wrong in a script and where
// (check), what a log file says (log), whether a keyboard holds a script (verify), what a script
// would overwrite (backup), the grammar of scripts for editors (schema) and what the production
// record holds (history). Each verb takes its own arguments, argv[0] being the verb's name, and
// returns the program's exit status.
#ifndef KAVELWRITE_KXB_H
#define KAVELWRITE_KXB_H

#include "driver.h"
#include "hidlink.h"
#include "recording.h"
#include "readback.h"
#include "walk.h"

#include <nlohmann/json_fwd.hpp>
#include <pugixml.hpp>

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Exit status of a command line that kxb does not understand.
const int KXB_USAGE_ERROR = 2;

// ---- check.cpp
extern const char* const txtUsageCheck;
// Checks every named script without a keyboard; returns 0, 160, 168 or 169.
int KxbCheck(int argc, char* argv[]);

// ---- findings.cpp: what is said of a script, where it stands, and how it is written

// One thing said about a script: a fault (kavelwrite's check fails there), a warning, or why the
// file does not load (no element then).
struct KxbFinding {
    bool bWarning = false;
    ptrdiff_t nOffset = -1;  // where in the text the parser read; -1: the file as a whole
    KxbPosition position;    // nOffset as line and column, once placed
    std::string sElement;    // the node named; empty for a file that does not load
    std::string sField;      // the field at fault; empty for none
    bool bValue = false;     // sValue holds the field's text
    std::string sValue;      // the field's text as the script holds it
    std::string sAnnotation; // what kavelwrite's check pass annotates for it; empty for nothing
    std::string sMessage;    // what is wrong, or what the field accepts
};

// Loads a script as kavelwrite does; returns LOAD_OK, or what kept it from loading with *failure
// saying why (placed in the file). *encoding receives the encoding the parser found.
int KxbLoadFile(pugi::xml_document& doc, const std::string& filename, KxbFinding* failure,
                pugi::xml_encoding* encoding);
// Places every finding's offset in the file as line and column; returns 0, or 1 when the file
// could not be read again (positions stay 0).
int KxbPlaceFindings(const std::string& filename, pugi::xml_encoding encoding,
                     std::vector<KxbFinding>& findings);
// The same for findings kept elsewhere, in one reading of the file.
int KxbPlaceFindings(const std::string& filename, pugi::xml_encoding encoding,
                     const std::vector<KxbFinding*>& findings);
// Returns a finding as one line: "FILE:LINE:COLUMN: error: ELEMENT: FIELD: 'VALUE' MESSAGE".
std::string KxbFindingLine(const std::string& filename, const KxbFinding& finding);
// Returns a finding as a JSON object: line, column, element, field, value, annotation, severity,
// message.
nlohmann::ordered_json KxbFindingJson(const KxbFinding& finding);

// ---- checkrules.cpp

// Judges a loaded script (root: the document's first child) with the check pass's own rules, every
// unit of the Device element and every child of the root on its own. Appends the faults in the
// order kavelwrite's check pass meets them, then the warnings; *steps and *writes receive the step
// total of a write pass and the number of writer elements. Returns 0 without fault, otherwise 160.
// The document is left as it was.
int KxbCheckDocument(pugi::xml_node root, std::vector<KxbFinding>& findings, int* steps, int* writes);
// Returns the fault that the annotation "PARSE_ERROR:" + sField on node stands for.
KxbFinding KxbAnnotatedFinding(pugi::xml_node node, const std::string& sField);

// ---- probe.cpp
extern const char* const txtUsageProbe;
// Identifies the attached keyboards with identification reads only; returns 0, 161 .. 164.
int KxbProbe(int argc, char* argv[]);

// What the reads obtained from one unit; the values stay 0 where nothing was read.
struct ProbeUnit {
    int nResult = 0;                 // 0, or the code a run annotates: the controller's status, 1 .. 3
    bool bVersionRead = false;       // the controller's version was stored before its read failed
    int idConfig = 0;                // the type id configured for a module's slot
    int id = 0, idSub = 0, id66 = 0; // the type id and the two kinds of sub-id
    int verMajor = 0, verMinor = 0, verBuild = 0, verType = 0;
};

// One keyboard as far as it could be read.
struct ProbeKeyboard {
    int nStatus = 0;        // 0 read; 162, 163 or 164 as kavelwrite would end on it
    int nLibraryStatus = 0; // the status of Open (162) or EnumerateModules (163)
    ProbeUnit controller;
    std::array<int, MODULE_MAX> arIdConfig{};
    std::array<ProbeUnit, MODULE_MAX> arModule; // read where the configuration is not 0
};

// Reads the identity of an opened keyboard: the controller, then every configured slot (all 16,
// also after one that failed); keyboard->nStatus becomes 164 when a read failed.
void KxbReadIdentity(KavelHidDevice* device, ProbeKeyboard* keyboard);
// Appends to parent a Device element that exactly the keyboards read without failure suit: per
// unit one candidate per distinct identity; returns it.
pugi::xml_node KxbAppendDeviceElement(pugi::xml_node parent, const std::vector<ProbeKeyboard>& keyboards);

// ---- twin.cpp: a simulation file of keyboards as far as what was read from them shows them

// A message that the twin takes over: an Inject of its status at its bus address, for every such
// message or (bNumbered) for only the one numbered lSkip + 1 among the messages of that type to that
// address, then with the answer pAnswer where bAnswer.
struct TwinInject {
    int nCmd = 0;
    int nDst = 0;
    int nStatus = 0;
    bool bNumbered = false;
    long lSkip = 0;
    bool bAnswer = false;
    std::vector<unsigned char> pAnswer;
};

// A controller or a module: its answers to the identification reads, by the element that holds
// each (Version, Config, SubId, Eeprom), in the order they are written.
struct TwinUnit {
    std::vector<std::pair<const char*, std::vector<unsigned char>>> arAnswers;
};

// Bytes of a unit's memory before the run, from an address on.
struct TwinMemory {
    int nUnit = 0; // the bus address
    int nAddress = 0;
    std::vector<unsigned char> pBytes;
};

// The answer of a unit to a message of a type that no identification read has.
struct TwinAnswer {
    int nUnit = 0; // the bus address
    int nCmd = 0;  // the message type
    std::vector<unsigned char> pBytes;
};

// One keyboard of the twin.
struct TwinKeyboard {
    bool bOpen = false; // the twin's Open fails with nOpen
    int nOpen = 0;
    bool bEnumerateModules = false; // its module enumeration fails with nEnumerateModules
    int nEnumerateModules = 0;
    bool bController = true; // a Controller element is written
    TwinUnit controller;
    std::map<int, TwinUnit> modules; // by slot
    std::vector<TwinMemory> arMemory;
    std::vector<TwinAnswer> arAnswers;
    std::vector<TwinInject> arInjects;
};

// The twin of what one run found.
struct Twin {
    std::string sComment; // the comment at the top: what the twin is made from
    bool bLibraryVersion = false;
    int arLibraryVersion[3] = {0, 0, 0};
    int nCount = 0;           // written when negative or other than the keyboards' number
    bool bCountShown = false; // a Count element is written whatever nCount is
    std::vector<TwinKeyboard> keyboards;
};

// Adds to *keyboard what kxb probe read from a keyboard: its failed opening or module enumeration,
// or every identification answer (a failed one as an Inject).
void KxbAddIdentityTwin(const ProbeKeyboard& probed, TwinKeyboard* keyboard);
// Prints the twin as a simulation file; a library version with a negative part is left out and
// said so on standard error, as kxb txtVerb.
void KxbPrintTwin(const Twin& twin, const char* txtVerb);
// Makes the twin of the keyboards that a recording shows, with an Inject for each message whose
// outcome the virtual keyboard's model does not give otherwise; returns 0, or ERR_ERROR_LOAD_FILE
// after saying on standard error why the model does not take the twin.
int KxbRecordingTwin(const std::vector<RecordedCall>& calls, Twin* twin);

extern const char* const txtUsageTwin;
// Prints the twin of the keyboards that a recording shows; returns 0, 168, 169 or 2.
int KxbTwin(int argc, char* argv[]);

// ---- log.cpp
extern const char* const txtUsageLog;
// Summarises an annotated log file run by run; returns 0, 168 or 169.
int KxbLog(int argc, char* argv[]);
// Returns what a log document records, run by run, as the JSON document that --json prints;
// filename names the log (its stamp is the last run's). The document is left as it was.
nlohmann::ordered_json KxbLogReport(pugi::xml_document& doc, const std::string& filename,
                                    pugi::xml_encoding encoding);

// Opens keyboard i and reads it back as KxbReadBackWithoutWriting does (a null device counts as one
// that does not open); returns 0 or 162 .. 167 as readback->nStatus.
int KxbOpenAndReadBack(pugi::xml_node root, KavelHidDevice* device, int i, bool bSendPointerCommands,
                       KeyboardReadBack* readback);

// ---- heldwalk.cpp

// Reads an opened keyboard back against a checked script: identifies it as a write pass does, has
// every writer element say where its blocks go (annotating under sAnnotation, never sending a
// write, a command or a reset; pointer commands only with bSendPointerCommands), reads what the
// keyboard holds there and judges every block. Returns 0, 164, 165 or 167.
int KxbReadBackWithoutWriting(pugi::xml_node root, KavelHidDevice* device, const std::string& sAnnotation,
                              bool bSendPointerCommands, KeyboardReadBack* readback);

// ---- verify.cpp
extern const char* const txtUsageVerify;
// Says block by block whether every attached keyboard holds what a script leaves in its memory,
// with reads only; returns 0, 160 .. 165, 167, 168, 169 or 2.
int KxbVerify(int argc, char* argv[]);

// ---- backup.cpp
extern const char* const txtUsageBackup;
// Prints a script that writes back what one keyboard holds under every byte a script writes;
// returns 0, 1 (the backup could not be saved), 160 .. 165, 167, 168, 169 or 2.
int KxbBackup(int argc, char* argv[]);

// ---- schema.cpp
extern const char* const txtUsageSchema;
// Where the package installs the schema.
extern const char* const txtKxbSchemaPath;
// Returns the XML Schema of kxb scripts and log files, made from the element table.
std::string KxbSchemaText();
// Returns the schema installed under the prefix that this kxb runs from, or txtKxbSchemaPath.
std::string KxbSchemaLocation();
// Returns the value of an <?xml-model?> instruction that names the schema at sLocation.
std::string KxbSchemaModel(const std::string& sLocation);
// Prints the schema; returns 0, or 2 for a wrong option or an argument.
int KxbSchema(int argc, char* argv[]);

// ---- history.cpp
extern const char* const txtUsageHistory;
// Prints what kavelwrite's production record holds (keyboards, runs, or per script and day), reading
// only, or with --create makes its tables; returns 0, 171 when the record cannot be read or made,
// or 2.
int KxbHistory(int argc, char* argv[]);

// ---- verbs.cpp

// Names in a script that kxb looks for itself: the Device element and the attribute Id.
extern const char* const txtKxbDevice;
extern const char* const txtKxbId;

// Reads the options of a verb that names files (--json into *bJson, none when bJson is null,
// --help); returns -1 to go on with the files from optind, otherwise the verb's exit status (0 after
// --help, 2 for a wrong option, 168 when no txtWhat is named).
int KxbFileOptions(int argc, char* argv[], const char* txtUsage, const char* txtWhat, bool* bJson);
// Prints a JSON report to standard output.
void KxbPrintJson(const nlohmann::ordered_json& report);

// Starts recording every call into the library into path (nothing for an empty path), with the
// verb's arguments in the header; returns 0, or ERR_ERROR_RECORD_FILE after saying on standard
// error why the file cannot be made.
int KxbStartRecording(int argc, char* argv[], const std::string& path);
// Says on standard error that --record names no file; returns ERR_ERROR_RECORD_FILE.
int KxbRecordFileMissing(char* argv[]);
// Says on standard error what is wrong with the option getopt_long just refused (with opterr 0):
// returns ERR_ERROR_RECORD_FILE for --record without its file, otherwise 2 after the usage.
int KxbOptionError(char* argv[], const char* txtUsage);
// Returns kavelwrite's words, from the blank that begins them, for a keyboard that ended with
// nStatus: 162 or 163 with the library's status nLibraryStatus, 165, or else 164.
std::string KxbKeyboardFailure(int nStatus, int nLibraryStatus);

// Opens a keyboard and lets the library enumerate its modules (a null device counts as one that
// does not open); returns 0, 162 or 163 with the library's status in *nLibraryStatus.
int KxbOpenKeyboard(KavelHidDevice* device, int* nLibraryStatus);

// The options of kxb's verbs that go beyond --help.
struct KxbReadOptions {
    bool bJson = false;
    bool bSendPointerCommands = false;
    int nKeyboard = -1; // --keyboard; -1 when not given
    std::string sOutput;
    std::string sRecord; // --record: where every call into the library is recorded
    std::string sScript; // the script named
};
// Reads the options of kxb verify or (bBackup) kxb backup, then loads the one script named and
// checks it as kavelwrite does, naming every fault on standard error; returns -1 to go on, or the
// verb's exit status: 0 after --help, 2 for a wrong option or a second script, 168 when no script
// is named, 169 when it does not load, 160 when it fails the check.
int KxbReadBackScript(int argc, char* argv[], const char* txtUsage, bool bBackup, KxbReadOptions* options,
                      pugi::xml_document& doc, pugi::xml_encoding* encoding);

// ---- usage.cpp
// Prints the usage of the whole program (txtUsage null) or of one verb to standard error and
// returns KXB_USAGE_ERROR.
int KxbUsageError(const char* txtUsage);
// Prints the usage of the whole program (txtUsage null) or of one verb to standard output and
// returns 0.
int KxbUsage(const char* txtUsage);

#endif
