// kavelwrite's own code: its command line, the device loop that writes every attached keyboard, and
// the program's entry.
#ifndef KAVELWRITE_KAVELWRITE_H
#define KAVELWRITE_KAVELWRITE_H

#include "device.h"
#include "readback.h"

#include <pugixml.hpp>

#include <string>
#include <vector>

class KavelHidDevice;

// ---- args.cpp

// What the command line asks for.
struct RunArguments {
    bool bWriteLogfile = false;
    bool bOverlapResets = false;
    bool bVerify = false;
    bool bRecord = false;    // --record was given
    std::string sRecordFile; // the file it names; empty when none follows it
    bool bHistory = false;   // --history was given
    std::string sHistory;    // the target it names; empty when none follows it
    bool bEvents = false;    // --events was given
    std::string sEventsFile; // the file it names; empty when none follows it
    bool bLoop = false;
    int nBatches = 0; // --batches: the station ends after this many; 0 for no end
    bool bHelp = false;
    bool bVersion = false;
    std::string sUnknownOption; // the first argument that looks like an option and is none
    std::string sBadArgument;   // the first option whose value or company is wrong
    std::string filename;       // the script: the first argument that is no option
    std::vector<std::string> arArguments; // every argument after the program's name
};

// The usage line, which names every option.
extern const char* const txtUsageLine;
// Reads the command line: the options anywhere (an option's value is the next argument, whatever it
// holds, or follows an equals sign), the first other argument as the script; a further argument is
// ignored, one beginning with "--" that is no option is kept as sUnknownOption.
RunArguments ReadArguments(int argc, char* argv[]);
// Prints the usage line.
void PrintUsage();
// Prints the usage line and what every option does.
void PrintHelp();

// ---- keyboard.cpp

// How kavelwrite writes each keyboard: whether it pauses for the reset wait (without, the wait's
// steps are counted at once), whether it reads back before the reset, the script and its encoding,
// where what the read-back says is placed, the batch it belongs to, and whether a failed keyboard's
// report names the place where it failed (for the record and the event stream).
struct KeyboardRun {
    bool bWaitReset = true;
    bool bVerify = false;
    std::string filename;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    int nBatch = 1;
    bool bFailedAt = false;
};

// What became of one keyboard: what its result event and its record hold.
struct KeyboardReport {
    int nKeyboard = 0;
    std::string sStarted; // UTC
    std::string sEnded;
    int nOutcome = 0;       // 0, 162 .. 167, or 128 + the signal whose stop ended its pass
    std::string sOutcome;   // its line, without the blank that begins it: "Done."
    int nLibraryStatus = 0; // of the Open or EnumerateModules that failed
    std::string sFailedAt;  // "FILE:LINE:COLUMN" of the node that failed, where one did
    std::string sVerify;    // with --verify: match, differ or unreadable
    int nVerifiedBytes = 0;
    std::vector<KxbHeldRun> arHeld; // what the read-back found
    bool bReset = false;
    int nResetStatus = 0; // the reset message's status, which is not judged
    std::vector<UnitIdentity> arUnit;
};

// Opens, identifies and writes keyboard i (a null device counts as one that does not open);
// prints its block and returns its outcome as an exit code, 0 only when the keyboard was reset.
// A non-null report receives what became of it.
int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run = KeyboardRun(),
                  KeyboardReport* report = nullptr);

// ---- events.cpp: the event stream of --events, one JSON object per line, flushed as it happens

// Keyboards counted over a batch or a station.
struct BatchTally {
    int nKeyboards = 0;
    int nWritten = 0;
};

// Opens the event stream, appending to path; a regular file that holds anything but events is
// refused. Returns 0, or an errno with *sReason saying why.
int EventsOpen(const std::string& path, std::string* sReason);
// Closes the event stream, after the end event of a run that ended with nStatus (by the signal
// nSignal, 0 for none) where the run wrote none; returns 0, or the errno of the first event that
// could not be written.
int EventsClose(int nStatus, int nSignal);
// The text of an event stream that cannot be made or written: "Events file error: PATH: REASON".
std::string EventsErrorText(const std::string& path, const std::string& sReason);
std::string EventsErrorText(const std::string& path, int nError);
// The events; each does nothing without an open stream.
void EventStart(const std::string& sProgram, const std::string& sLibrary, const std::string& sScript,
                const std::string& sScriptSha256, const std::string& sCheck);
void EventWaiting();
void EventUnplug();
void EventBatch(int nBatch, int nKeyboards);
// The keyboard's units, once identification has read them (none where it read nothing); the
// progress told after it is this keyboard's.
void EventKeyboard(int nBatch, int nKeyboard, const std::vector<UnitIdentity>& arUnit);
void EventResult(int nBatch, const KeyboardReport& report);
void EventBatchEnd(int nBatch, const BatchTally& tally);
// nSignal: the signal that ended the run, 0 for an ordinary end.
void EventEnd(int nStatus, int nBatches, const BatchTally& tally, int nSignal);

// ---- record.cpp: the production record of --history (or KAVELWRITE_HISTORY)

// What every run of one kavelwrite process records alike.
struct RunRecordFields {
    std::string sProgram;      // "kavelwrite 0.0.4"
    std::string sLibrary;      // the library's version
    std::string sArguments;    // the command line, without a password
    std::string sScriptPath;   // as named
    std::string sScriptSha256; // of the script file's bytes
};

// Returns the record the run is asked to keep: --history's target, or KAVELWRITE_HISTORY; "" for none.
std::string HistoryTarget(const RunArguments& args);
// Opens the record at target, creating it and its tables where it may; returns 0, or
// ERR_ERROR_HISTORY after the ERROR: line that names the target and the reason.
int RecordOpen(const std::string& sTarget);
// True when the run keeps a record.
bool RecordOn();
// Begins a run's row: its check pass's outcome, its batch of a station (0 outside one) and the
// station's session. Returns 0, or ERR_ERROR_HISTORY after the ERROR: line.
int RecordRunBegin(const RunRecordFields& fields, const std::string& sCheckOutcome, int nBatch,
                   const std::string& sSession);
// Keeps a finished keyboard's rows before the next one is opened; returns 0, or ERR_ERROR_HISTORY after
// the ERROR: line that names the keyboard whose rows are missing.
int RecordKeyboard(const KeyboardReport& report);
// Ends the run's row with its exit status and the signal that ended it (0: none); says so when it
// cannot.
void RecordRunEnd(int nStatus, int nSignal);

// ---- run.cpp

// A keyboard that failed: its index and its outcome.
struct KeyboardFailure {
    int nKeyboard;
    int nStatus;
};
// Returns "; failed: deviceI (S), deviceJ (S)" for the keyboards that failed, "" for none.
std::string FailedList(const std::vector<KeyboardFailure>& arFailed);
// Prints the line of a requested stop; returns true when a stop was requested.
bool ReportStop();
// Returns the exit status of a run: after a stop request, that of a program the signal ended.
int RunStatus(int result);
// Looks for keyboards with one enumerator and writes each (a batch), the checked script's write
// pass taking nTotal steps; waits for the last reset before it lets the keyboards go. Returns the
// outcome of the last keyboard that failed, 0 when none failed, or ERR_ERROR_NO_DEVICE; *tally
// counts the keyboards and *arFailed lists those that failed.
int WriteBatch(pugi::xml_node root, const std::string& stampTime, int nTotal, const RunArguments& args,
               KeyboardRun run, BatchTally* tally, std::vector<KeyboardFailure>* arFailed);
// Saves the log file of a run stamped stampTime, whose name ReserveLogFile took when bReserved; says
// so when it cannot be saved.
void SaveLogFile(const pugi::xml_document& doc, const std::string& filename, const std::string& stampTime,
                 bool bReserved);
// Loads and checks the script, writes it into every attached keyboard (or, with --loop, runs the
// station) and saves the log file; returns the exit status. nRecordError is what starting the
// recording of --record gave; sLibrary the library's version.
int WriteScriptFile(const RunArguments& args, int nRecordError, const std::string& sLibrary);

// ---- station.cpp

// Runs the station on a checked script (doc, its write pass taking nTotal steps): waits for
// keyboards, writes each batch as a run of its own, waits for the bus to empty, until a stop or
// args.nBatches batches; prints each batch's line and the station's. Returns 0 when every keyboard
// was written, else the outcome of the last one that failed; 128 + the signal of a stop during a
// batch.
// Each batch is a run of the record, with its number and the station's session.
int RunStation(const RunArguments& args, const pugi::xml_document& doc, int nTotal, KeyboardRun run,
               const RunRecordFields& fields);

// ---- kavelwrite.cpp

// Returns the program and its version: "kavelwrite 0.0.4".
std::string ProgramVersion();
// Runs the whole program; returns the exit status.
int kxbMain(int argc, char* argv[]);

#endif
