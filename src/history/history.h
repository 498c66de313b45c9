// The production record: one row per run, per run's end, per keyboard and per unit of a keyboard,
// kept in a SQLite file on one station or in a PostgreSQL database for a line, with the same tables
// and columns in both. Writing only ever inserts, so a role that may INSERT (and read the layout
// table) can keep it; reading only ever selects. Every value is bound, never spliced into SQL.
#ifndef KAVELWRITE_HISTORY_H
#define KAVELWRITE_HISTORY_H

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The layout of the tables that this library writes; a record that holds a newer one is refused.
const int HISTORY_LAYOUT = 1;

// What the functions below return.
const int HISTORY_OK = 0;
const int HISTORY_ERROR_OPEN = 1;       // the file cannot be opened or the server not reached
const int HISTORY_ERROR_NOT_RECORD = 2; // not a database, or tables of the record's names without its layout
const int HISTORY_ERROR_NO_RECORD = 3;  // opened for reading, it holds no record tables
const int HISTORY_ERROR_NEWER = 4;      // it holds a layout newer than HISTORY_LAYOUT
const int HISTORY_ERROR_CREATE = 5;     // the tables are missing and could not be created
const int HISTORY_ERROR_VALUE = 6;      // a value the tables do not take; nothing was written
const int HISTORY_ERROR_WRITE = 7;      // a row could not be written; nothing of that call was kept
const int HISTORY_ERROR_READ = 8;       // a query failed

// The exit status of a program whose record cannot be kept or read.
const int HISTORY_EXIT_STATUS = 171;

// How HistoryOpen opens a target.
const unsigned HISTORY_READ = 1;   // read only: a SQLite file opened read-only, SELECT alone on a server
const unsigned HISTORY_WRITE = 2;  // insert rows; creates the file and the tables where missing and allowed
const unsigned HISTORY_CREATE = 4; // create the file and the tables where missing, and nothing else

// An open record: a SQLite file or a connection to a PostgreSQL database.
struct HistoryStore;
struct HistoryCloser {
    void operator()(HistoryStore* store) const;
};
using History = std::unique_ptr<HistoryStore, HistoryCloser>;

// One run of kavelwrite. Times are UTC as "2026-12-09T12:34:56.789Z" (HistoryUtcNow).
struct HistoryRun {
    std::string sRunId;        // unique across stations (HistoryNewRunId)
    std::string sStation;      // KAVELWRITE_STATION, or the host name (HistoryDefaultStation)
    std::string sProgram;      // "kavelwrite 0.0.4"
    std::string sLibrary;      // the keyboard library's version
    std::string sArguments;    // the command line, without a password (HistoryRedactArguments)
    std::string sScriptPath;   // absolute
    std::string sScriptSha256; // of the script file's bytes, 64 lower-case hex digits
    std::string sCheckOutcome; // "pass", or the check pass's annotation
    std::string sStarted;
    std::string sBatch;   // empty outside a station's batch
    std::string sSession; // empty outside a station's session
};

// One unit of a keyboard as it was identified.
struct HistoryUnit {
    std::string sUnit; // "controller", or the module's slot ("0" .. "15")
    int nTypeId = 0;
    std::string sVersion; // as the Device element writes it, "1.2.3.0"
    int nSubId = 0;
};

// One keyboard's attempt.
struct HistoryKeyboard {
    int nKeyboard = 0; // its index in the run
    std::string sStarted;
    std::string sEnded;
    int nOutcome = 0;         // the keyboard's own status: 0, 162 .. 167, or 128 + a signal
    std::string sFailedAt;    // FILE:LINE:COLUMN of what failed; empty when nothing did
    std::string sVerify;      // "match", "differ", "unreadable", or empty without a read-back
    int nVerifiedBytes = 0;   // bytes read back and compared
    std::string sImageSha256; // of the bytes read back; empty without a read-back
    bool bReset = false;      // the reset message was sent
    bool bResetStatus = false;
    int nResetStatus = 0; // the reset message's status, where bResetStatus
    std::vector<HistoryUnit> arUnit;
};

// A run as read back, with its end where it has one and how many keyboards it recorded.
struct HistoryRunRead {
    HistoryRun run;
    bool bEnded = false;
    std::string sEnded;
    int nExitStatus = 0;
    std::string sEndedBy; // "exit", or the number of the signal that ended it
    long lKeyboards = 0;
    long lFailed = 0; // keyboards whose outcome is not 0
};

// A keyboard as read back, with its run.
struct HistoryKeyboardRead {
    HistoryRun run;
    HistoryKeyboard keyboard;
};

// What to read; empty fields select everything.
struct HistoryFilter {
    std::string sSince; // started at or after this time (HistoryParseTime)
    std::string sUntil; // started before this time
    std::string sStation;
    std::string sScript;  // a script's SHA-256 or its first 8 or more hex digits
    bool bFailed = false; // keyboards whose outcome is not 0; runs without an end or not ending with 0
    long lLimit = -1;     // at most this many rows; -1: all
};

// Per script and day: how many keyboards were tried and how they ended.
struct HistorySummaryRead {
    std::string sScriptSha256;
    std::string sScriptPath; // the greatest path under which that script ran that day
    std::string sDay;        // "2026-12-09", UTC
    long lAttempts = 0;
    long lWritten = 0; // outcome 0
    long lFailed = 0;
    std::vector<std::pair<int, long>> arByOutcome; // every outcome but 0 and its count, by outcome
};

// ---- history.cpp: the tables

// Opens target (a file for SQLite, a "postgresql://" or "postgres://" URI for a server) as nMode
// says into *history; returns HISTORY_OK, or a failure with *sError naming the target (without its
// password) and the reason.
int HistoryOpen(const std::string& sTarget, unsigned nMode, History* history, std::string* sError);
// Inserts a run's row; returns HISTORY_OK, HISTORY_ERROR_VALUE or HISTORY_ERROR_WRITE with *sError.
int HistoryRunBegin(HistoryStore* store, const HistoryRun& run, std::string* sError);
// Inserts a keyboard's row and its units' in one transaction; returns HISTORY_OK, or
// HISTORY_ERROR_VALUE or HISTORY_ERROR_WRITE with *sError naming the keyboard (then none is kept).
int HistoryAddKeyboard(HistoryStore* store, const std::string& sRunId, const HistoryKeyboard& keyboard,
                       std::string* sError);
// Inserts a run's end: its exit status, and nSignal when a signal ended it (0: it exited); returns
// HISTORY_OK, HISTORY_ERROR_VALUE or HISTORY_ERROR_WRITE with *sError.
int HistoryRunEnd(HistoryStore* store, const std::string& sRunId, const std::string& sEnded, int nExitStatus,
                  int nSignal, std::string* sError);
// Reads the runs that filter selects (by their start), newest first; returns HISTORY_OK or
// HISTORY_ERROR_READ with *sError.
int HistoryReadRuns(HistoryStore* store, const HistoryFilter& filter, std::vector<HistoryRunRead>* runs,
                    std::string* sError);
// Reads the keyboards that filter selects with their runs and units, newest first; returns
// HISTORY_OK or HISTORY_ERROR_READ with *sError.
int HistoryReadKeyboards(HistoryStore* store, const HistoryFilter& filter,
                         std::vector<HistoryKeyboardRead>* keyboards, std::string* sError);
// Reads per script and day how the keyboards that filter selects ended, newest day first; returns
// HISTORY_OK or HISTORY_ERROR_READ with *sError.
int HistoryReadSummary(HistoryStore* store, const HistoryFilter& filter,
                       std::vector<HistorySummaryRead>* summary, std::string* sError);
// Returns the target as HistoryOpen names it in messages.
const std::string& HistoryStoreText(const HistoryStore* store);

// ---- text.cpp: values for the tables

// Returns whether target names a PostgreSQL server rather than a SQLite file.
bool HistoryIsServer(const std::string& sTarget);
// Returns target as it may be printed: a file as it is, a server URI as
// "postgresql://HOST:PORT/DATABASE" (and its service), never with a password.
std::string HistoryTargetText(const std::string& sTarget);
// Returns an argument as it may be printed or stored: a server URI in it as HistoryTargetText
// shows it.
std::string HistoryRedactArgument(const std::string& sArgument);
// Returns a command line as the runs table stores it: the arguments separated by blanks, quoted for
// a shell where needed, every server URI in them as HistoryTargetText shows it.
std::string HistoryRedactArguments(const std::vector<std::string>& arArguments);
// Returns a new run id: a random UUID (version 4) in lower-case hex.
std::string HistoryNewRunId();
// Returns KAVELWRITE_STATION where it is set and not empty, otherwise the host name.
std::string HistoryDefaultStation();
// Returns the time now, UTC, as "2026-12-09T12:34:56.789Z".
std::string HistoryUtcNow();
// Returns whether sTime is a time as the tables hold them: "YYYY-MM-DDTHH:MM:SS.mmmZ", a real date.
bool HistoryIsTime(const std::string& sTime);
// Reads a date ("2026-12-09") or a date and time ("2026-12-09 12:34", "2026-12-09T12:34:56.789Z"),
// UTC, into *sTime as the tables hold times; a date alone means its first moment, or with bEndOfDay
// the first moment of the next day. Returns false for anything else.
bool HistoryParseTime(const std::string& sText, bool bEndOfDay, std::string* sTime);
// Returns the SHA-256 of n bytes at p as 64 lower-case hex digits.
std::string Sha256Hex(const void* p, size_t n);
// Hashes a file's bytes into *sHex; returns false (and leaves *sHex) when it cannot be read.
bool Sha256FileHex(const std::string& sPath, std::string* sHex);

#endif
