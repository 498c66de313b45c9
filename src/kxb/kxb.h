// kxb, the companion of kavelwrite: what is attached (probe), what is wrong in a script and where
// (check), and what a log file says (log). Each verb takes its own arguments, argv[0] being the
// verb's name, and returns the program's exit status.
#ifndef KAVELWRITE_KXB_H
#define KAVELWRITE_KXB_H

#include <nlohmann/json_fwd.hpp>
#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Exit status of a command line that kxb does not understand.
const int KXB_USAGE_ERROR = 2;

// ---- check.cpp
extern const char* const txtUsageCheck;
// Checks every named script without a keyboard; returns 0, 160, 168 or 169.
int KxbCheck(int argc, char* argv[]);

// A place in a script: line and column from 1 (0: the file as a whole); the column counts bytes.
struct KxbPosition {
    int nLine = 0;
    int nColumn = 0;
};

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

// ---- position.cpp

// Returns where offset nOffset of the parsed text lies: bytes are the file's (or its beginning), in
// the encoding the parser found; the parser read them as UTF-8, so columns count UTF-8 bytes.
KxbPosition KxbPositionAt(std::string_view bytes, pugi::xml_encoding encoding, ptrdiff_t nOffset);
// Returns the position of every offset (-1 gives line 0) as KxbPositionAt, in one pass over bytes.
std::vector<KxbPosition> KxbPositionsAt(std::string_view bytes, pugi::xml_encoding encoding,
                                        const std::vector<ptrdiff_t>& offsets);
// Returns how many bytes of a file in that encoding are enough to reach offset nOffset of its
// parsed text.
size_t KxbBytesToReach(pugi::xml_encoding encoding, ptrdiff_t nOffset);

// ---- probe.cpp
extern const char* const txtUsageProbe;
// Identifies the attached keyboards with identification reads only; returns 0, 161 .. 164.
int KxbProbe(int argc, char* argv[]);

// ---- log.cpp
extern const char* const txtUsageLog;
// Summarises an annotated log file run by run; returns 0, 168 or 169.
int KxbLog(int argc, char* argv[]);
// Returns what a log document records, run by run, as the JSON document that --json prints;
// filename names the log (its stamp is the last run's). The document is left as it was.
nlohmann::ordered_json KxbLogReport(pugi::xml_document& doc, const std::string& filename,
                                    pugi::xml_encoding encoding);

// ---- verbs.cpp

// Names in a script that kxb looks for itself: the Device element and the attribute Id.
extern const char* const txtKxbDevice;
extern const char* const txtKxbId;

// Reads the options of a verb that names files (--json into *bJson, --help); returns -1 to go on
// with the files from optind, otherwise the verb's exit status (0 after --help, 2 for a wrong
// option, 168 when no txtWhat is named).
int KxbFileOptions(int argc, char* argv[], const char* txtUsage, const char* txtWhat, bool* bJson);
// Prints a JSON report to standard output.
void KxbPrintJson(const nlohmann::ordered_json& report);

// ---- usage.cpp
// Prints the usage of the whole program (txtUsage null) or of one verb to standard error and
// returns KXB_USAGE_ERROR.
int KxbUsageError(const char* txtUsage);
// Prints the usage of the whole program (txtUsage null) or of one verb to standard output and
// returns 0.
int KxbUsage(const char* txtUsage);

#endif
