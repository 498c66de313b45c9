// The recording format: one line per call into the keyboard library and what came back (the
// trace's lines), the Answer lines that only a recording has, and its comment lines (the header,
// the program, how the run ended). One reader and one writer, shared by the program's recorder and
// kxb twin and by the virtual keyboard's trace and replay, so that what one side writes the other
// reads the same way. Depends on the C++ standard library alone.
#ifndef KAVELWRITE_RECORDING_H
#define KAVELWRITE_RECORDING_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The kinds of call line.
const int CALL_LIBRARY_VERSION = 0;
const int CALL_ENUMERATE = 1;
const int CALL_OPEN = 2;
const int CALL_ENUMERATE_MODULES = 3;
const int CALL_SEND_COMMAND = 4;
const int CALL_CLOSE = 5;
const int CALL_RELEASE = 6;

// The first line of a recording of this format; a plain trace has no header.
const char* const txtRecordingHeader = "# kavelhid recording 1";
// The start of the line that names the program that made the recording.
const char* const txtRecordingProgram = "# program: ";
// The start of the line that a signal handler writes when a signal ends the run at once.
const char* const txtRecordingSignalEnd = "# ended by signal ";
// The most keyboards that one station holds; a recording that counts more is refused.
const int RECORDING_KEYBOARDS_MAX = 4096;
// The most bytes of a line that a message quotes.
const std::size_t RECORDING_QUOTE_MAX = 200;

// One call as a recording holds it, with what the Answer line before it said.
struct RecordedCall {
    int nKind = CALL_RELEASE;
    std::size_t nLine = 0;       // its line in the file, from 1
    std::size_t nTextBegin = 0;  // where the line stands in the text,
    std::size_t nTextLength = 0; // without its line end and trailing blanks
    long long lTime = 0;
    int nKeyboard = 0;
    int nStatus = 0;
    int nCount = 0;                 // Enumerate
    int arVersion[3] = {0, 0, 0};   // LibraryVersion
    unsigned char cmd = 0, dst = 0; // SendCommand
    std::vector<unsigned char> pData;
    bool bAnswerAsked = false;
    std::vector<unsigned char> pAnswer; // the bytes delivered
    bool bCapacity = false;             // the capacity offered is known (a trace does not say)
    int nCapacity = 0;
    bool bReported = false; // the library stored back another length than the bytes delivered
    int nReported = 0;
};

// A recording, or a plain trace, as read.
struct Recording {
    std::string sText;
    std::vector<RecordedCall> calls;
    bool bHeader = false; // it begins with the header; a plain trace begins with a call line
    bool bExtended =
        false;            // it has a line that only a recording has (LibraryVersion, Answer, Close, Release)
    std::string sProgram; // what the program line says: name, version and (kxb) verb
    bool bEnded = false;  // its last comment after the last call says how the run ended
    bool bCut = false;    // its last line has no line feed: the run stopped while writing it
    std::size_t nLastWholeLine = 0; // the number of the last line that ends with its line feed
};

// ---- recording.cpp: the reader

// Reads sText into *recording: a header and comments where they may stand, each Answer line
// folded into its call; CR line ends, a UTF-8 byte-order mark, blanks at line ends and blank lines
// at the end are read as if absent; a last line without its line feed is not read. Returns 0, or
// the number of the line at fault with *sError saying "line N: " and what was expected there.
int RecordingRead(std::string sText, Recording* recording, std::string* sError);
// Reads the file at path as RecordingRead does; returns 0, or -1 with *sError saying why the file
// cannot be read (a folder, an empty file) or which line is wrong.
int RecordingLoadFile(const std::string& path, Recording* recording, std::string* sError);
// Returns the call's line as it stands in the recording, without its line end.
std::string_view RecordingLine(const Recording& recording, const RecordedCall& call);
// Returns what a reader must say of a recording that does not end as a whole run's does (its last
// line cut off, or no line saying how its run ended), naming its last whole line; "" otherwise.
std::string RecordingIncompleteText(const Recording& recording);
// Returns the program's name and, for kxb, its verb, as the program line names them ("" for none).
std::string RecordingProgramName(const Recording& recording);
// Returns text in double quotes, control characters as \xNN, cut after nMax bytes with "...".
std::string RecordingQuote(std::string_view text, std::size_t nMax);
// Returns the answer bytes delivered for a capacity offered and a length the library stored back.
int RecordingDelivered(int nCapacity, int nReported);

// ---- recording_write.cpp: the writer; each appends one whole line, line feed included

// Appends the header, the program line, the arguments line and the start time line.
void RecordingAppendHeader(std::string* sOut, const std::string& sProgram, const std::string& sArguments,
                           const std::string& sStarted);
// Appends the line that says how the run ended: its exit status and the stop signal (0 for none).
void RecordingAppendEnd(std::string* sOut, int nExitStatus, int nStopSignal);
// Appends "T LibraryVersion a.b.c -> S".
void RecordingAppendLibraryVersion(std::string* sOut, long long lTime, const int arVersion[3], int nStatus);
// Appends "T Enumerate count=N".
void RecordingAppendEnumerate(std::string* sOut, long long lTime, int nCount);
// Appends "T kbI Open -> S", "T kbI EnumerateModules -> S" or "T kbI Close -> S" by nKind.
void RecordingAppendKeyboardCall(std::string* sOut, int nKind, long long lTime, int nKeyboard, int nStatus);
// Appends "T kbI Answer capacity=C", with " reported=R" when the length stored back is not what
// was delivered.
void RecordingAppendAnswer(std::string* sOut, long long lTime, int nKeyboard, int nCapacity, int nReported);
// Appends "T kbI SendCommand cmd=CC dst=DD data=[...] -> S", with " answer=[...]" when asked.
void RecordingAppendSendCommand(std::string* sOut, long long lTime, int nKeyboard, unsigned char cmd,
                                unsigned char dst, const unsigned char* pData, std::size_t nData, int nStatus,
                                bool bAnswerAsked, const unsigned char* pAnswer, std::size_t nAnswer);
// Appends "T Release".
void RecordingAppendRelease(std::string* sOut, long long lTime);
// Appends the call line of any call, as the functions above write it (no Answer line).
void RecordingAppendCall(std::string* sOut, const RecordedCall& call);

#endif
