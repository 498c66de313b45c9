// The record's tables in a SQLite file or a PostgreSQL database: opening (and creating them where
// they are missing, once even when many programs start at once), inserting one run, one keyboard
// with its units in one transaction, one run's end, and reading them back. The same statements
// serve both engines, with $1, $2 ... for values; only how a time is typed and shown differs.
#include "history.h"

#include "pq.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>
#include <sys/stat.h>
#include <thread>

namespace {

// How long a SQLite writer waits for another one before its statement fails.
const int BUSY_TIMEOUT_MS = 15000;
// How long a connection to a server may take where the URI and PGCONNECT_TIMEOUT say nothing.
const char* const txtCONNECT_TIMEOUT = "10";
// The advisory lock that creators of the tables on one server take in turn ("kavelrec").
const char* const txtCREATE_LOCK = "7737568454227420003";
// A SHA-256 as the tables hold it, and the least of it that selects a script.
const size_t SHA256_DIGITS = 64;
const size_t SCRIPT_PREFIX_MIN = 8;

const char* const txtLAYOUT_TABLE = "record_layout";
const char* const txtTABLE_NAMES = "('record_layout', 'runs', 'run_ends', 'keyboards', 'units')";

// The tables, the same in both engines but for the type of a time, written @TIME@.
const char* const txtCREATE_TABLES[] = {
    "CREATE TABLE IF NOT EXISTS record_layout (\n"
    "  layout INTEGER PRIMARY KEY,\n"
    "  created @TIME@ NOT NULL)",
    "CREATE TABLE IF NOT EXISTS runs (\n"
    "  run_id TEXT PRIMARY KEY,\n"
    "  station TEXT NOT NULL,\n"
    "  program TEXT NOT NULL,\n"
    "  library TEXT NOT NULL,\n"
    "  arguments TEXT NOT NULL,\n"
    "  script_path TEXT NOT NULL,\n"
    "  script_sha256 TEXT NOT NULL,\n"
    "  check_outcome TEXT NOT NULL,\n"
    "  started @TIME@ NOT NULL,\n"
    "  batch TEXT NOT NULL DEFAULT '',\n"
    "  session TEXT NOT NULL DEFAULT '')",
    "CREATE TABLE IF NOT EXISTS run_ends (\n"
    "  run_id TEXT PRIMARY KEY REFERENCES runs (run_id),\n"
    "  ended @TIME@ NOT NULL,\n"
    "  exit_status INTEGER NOT NULL,\n"
    "  ended_by TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS keyboards (\n"
    "  run_id TEXT NOT NULL REFERENCES runs (run_id),\n"
    "  keyboard INTEGER NOT NULL,\n"
    "  started @TIME@ NOT NULL,\n"
    "  ended @TIME@ NOT NULL,\n"
    "  outcome INTEGER NOT NULL,\n"
    "  failed_at TEXT NOT NULL,\n"
    "  verify TEXT NOT NULL,\n"
    "  verified_bytes INTEGER NOT NULL,\n"
    "  image_sha256 TEXT NOT NULL,\n"
    "  reset INTEGER NOT NULL,\n"
    "  reset_status INTEGER,\n"
    "  PRIMARY KEY (run_id, keyboard))",
    "CREATE TABLE IF NOT EXISTS units (\n"
    "  run_id TEXT NOT NULL,\n"
    "  keyboard INTEGER NOT NULL,\n"
    "  unit TEXT NOT NULL,\n"
    "  type_id INTEGER NOT NULL,\n"
    "  version TEXT NOT NULL,\n"
    "  sub_id INTEGER NOT NULL,\n"
    "  PRIMARY KEY (run_id, keyboard, unit),\n"
    "  FOREIGN KEY (run_id, keyboard) REFERENCES keyboards (run_id, keyboard))",
    "CREATE INDEX IF NOT EXISTS runs_started ON runs (started)",
    "CREATE INDEX IF NOT EXISTS keyboards_started ON keyboards (started)",
};
// SQLite counts keyboards per run, day and outcome without sorting them or reading their rows when
// an index holds all that in run order.
const char* const txtCREATE_FILE_INDEX = "CREATE INDEX IF NOT EXISTS keyboards_run_day ON keyboards"
                                         " (run_id, substr(started, 1, 10), outcome, started)";

const char* const txtINSERT_RUN =
    "INSERT INTO runs (run_id, station, program, library, arguments, script_path, script_sha256, "
    "check_outcome,"
    " started, batch, session) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)";
const char* const txtINSERT_KEYBOARD =
    "INSERT INTO keyboards (run_id, keyboard, started, ended, outcome, failed_at, verify, verified_bytes,"
    " image_sha256, reset, reset_status) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)";
const char* const txtINSERT_UNIT =
    "INSERT INTO units (run_id, keyboard, unit, type_id, version, sub_id) VALUES ($1, $2, $3, $4, $5, $6)";
const char* const txtINSERT_RUN_END =
    "INSERT INTO run_ends (run_id, ended, exit_status, ended_by) VALUES ($1, $2, $3, $4)";
const char* const txtSELECT_UNITS =
    "SELECT keyboard, unit, type_id, version, sub_id FROM units WHERE run_id = $1"
    " ORDER BY keyboard, CASE WHEN unit = 'controller' THEN 0 ELSE 1 END,"
    " length(unit), unit";

const char* const txtVERIFY_WORDS[] = {"", "match", "differ", "unreadable"};

// A value bound to a statement's $N.
struct SqlValue {
    bool bNull = false;
    bool bInteger = false;
    long long lInteger = 0;
    std::string sText;
};

SqlValue Text(const std::string& sText) {
    SqlValue value;
    value.sText = sText;
    return value;
}

SqlValue Integer(long long lInteger) {
    SqlValue value;
    value.bInteger = true;
    value.lInteger = lInteger;
    return value;
}

SqlValue NullValue() {
    SqlValue value;
    value.bNull = true;
    return value;
}

// One column of a row read, as text.
struct SqlCell {
    bool bNull = false;
    std::string sText;
};
using SqlRow = std::vector<SqlCell>;

// Why a statement failed: the engine's message, and SQLite's code.
struct SqlError {
    std::string sReason;
    int nCode = 0;
};

struct FileCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
struct ServerCloser {
    void operator()(PGconn* conn) const { Pq().finish(conn); }
};
struct ResultCloser {
    void operator()(PGresult* result) const { Pq().clear(result); }
};
struct ConninfoCloser {
    void operator()(PQconninfoOption* options) const { Pq().conninfoFree(options); }
};

} // namespace

struct HistoryStore {
    bool bServer = false;
    std::string sText;     // the target as messages name it
    std::string sPassword; // taken out of every message, wherever a library might have put it
    std::unique_ptr<sqlite3, FileCloser> db;
    std::unique_ptr<PGconn, ServerCloser> conn;
};

void HistoryCloser::operator()(HistoryStore* store) const {
    std::default_delete<HistoryStore>()(store);
}

namespace {

// A library's message on one line, without the password.
std::string Clean(const HistoryStore* store, const std::string& sMessage) {
    std::string sLine;
    for (char c : sMessage) {
        bool bBlank = c == '\n' || c == '\t' || c == '\r' || c == ' ';
        if (bBlank) {
            if (!sLine.empty() && sLine.back() != ' ') sLine += ' ';
        } else {
            sLine += c;
        }
    }
    while (!sLine.empty() && sLine.back() == ' ') sLine.pop_back();
    if (!store->sPassword.empty()) {
        for (size_t n = sLine.find(store->sPassword); n != std::string::npos;
             n = sLine.find(store->sPassword, n + 3)) {
            sLine.replace(n, store->sPassword.size(), "***");
        }
    }
    return sLine;
}

// Receives each row that a statement returns.
using RowReader = std::function<void(const SqlRow& row)>;

bool ExecuteFile(HistoryStore* store, const std::string& sSql, const std::vector<SqlValue>& arValues,
                 const RowReader& onRow, SqlError* error) {
    sqlite3* db = store->db.get();
    sqlite3_stmt* pStatement = nullptr;
    int rc = sqlite3_prepare_v2(db, sSql.c_str(), -1, &pStatement, nullptr);
    std::unique_ptr<sqlite3_stmt, StatementCloser> statement(pStatement);
    for (size_t i = 0; rc == SQLITE_OK && i < arValues.size(); i++) {
        int nIndex = sqlite3_bind_parameter_index(pStatement, ("$" + std::to_string(i + 1)).c_str());
        if (nIndex == 0) continue;
        const SqlValue& value = arValues[i];
        if (value.bNull) {
            rc = sqlite3_bind_null(pStatement, nIndex);
        } else if (value.bInteger) {
            rc = sqlite3_bind_int64(pStatement, nIndex, value.lInteger);
        } else {
            rc = sqlite3_bind_text64(pStatement, nIndex, value.sText.data(), value.sText.size(),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
        }
    }
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(pStatement);
        if (rc != SQLITE_ROW || !onRow) continue;
        int nColumns = sqlite3_column_count(pStatement);
        SqlRow row(static_cast<size_t>(nColumns));
        for (int c = 0; c < nColumns; c++) {
            if (sqlite3_column_type(pStatement, c) == SQLITE_NULL) {
                row[static_cast<size_t>(c)].bNull = true;
                continue;
            }
            const unsigned char* pText = sqlite3_column_text(pStatement, c);
            int nBytes = sqlite3_column_bytes(pStatement, c);
            if (pText != nullptr && nBytes > 0) {
                row[static_cast<size_t>(c)].sText.assign(reinterpret_cast<const char*>(pText),
                                                         static_cast<size_t>(nBytes));
            }
        }
        onRow(row);
    }
    if (rc == SQLITE_DONE) return true;
    error->nCode = rc & 0xff;
    error->sReason = Clean(store, sqlite3_errmsg(db));
    return false;
}

bool ExecuteServer(HistoryStore* store, const std::string& sSql, const std::vector<SqlValue>& arValues,
                   const RowReader& onRow, SqlError* error) {
    PGconn* conn = store->conn.get();
    std::vector<std::string> arText(arValues.size());
    std::vector<const char*> arPointer(arValues.size(), nullptr);
    for (size_t i = 0; i < arValues.size(); i++) {
        if (arValues[i].bNull) continue;
        arText[i] = arValues[i].bInteger ? std::to_string(arValues[i].lInteger) : arValues[i].sText;
        arPointer[i] = arText[i].c_str();
    }
    std::unique_ptr<PGresult, ResultCloser> result(Pq().execParams(conn, sSql.c_str(),
                                                                   static_cast<int>(arValues.size()), nullptr,
                                                                   arPointer.data(), nullptr, nullptr, 0));
    ExecStatusType status = result ? Pq().resultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char* txtPrimary =
            result ? Pq().resultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        error->sReason = Clean(store, txtPrimary != nullptr ? txtPrimary : Pq().errorMessage(conn));
        if (error->sReason.empty()) error->sReason = "the server gave no answer";
        return false;
    }
    if (!onRow) return true;
    int nRows = Pq().ntuples(result.get());
    int nColumns = Pq().nfields(result.get());
    for (int r = 0; r < nRows; r++) {
        SqlRow row(static_cast<size_t>(nColumns));
        for (int c = 0; c < nColumns; c++) {
            if (Pq().getisnull(result.get(), r, c)) {
                row[static_cast<size_t>(c)].bNull = true;
                continue;
            }
            int nLength = Pq().getlength(result.get(), r, c);
            if (nLength > 0) {
                row[static_cast<size_t>(c)].sText.assign(Pq().getvalue(result.get(), r, c),
                                                         static_cast<size_t>(nLength));
            }
        }
        onRow(row);
    }
    return true;
}

// Runs one statement with its values bound to $1, $2 ..., handing each row it returns to onRow
// (where it is set). Returns true, or false with *error.
bool ExecuteEach(HistoryStore* store, const std::string& sSql, const std::vector<SqlValue>& arValues,
                 const RowReader& onRow, SqlError* error) {
    if (store->bServer) return ExecuteServer(store, sSql, arValues, onRow, error);
    return ExecuteFile(store, sSql, arValues, onRow, error);
}

// Runs one statement as ExecuteEach does; appends the rows it returns to *rows where rows is not
// null.
bool Execute(HistoryStore* store, const std::string& sSql, const std::vector<SqlValue>& arValues,
             std::vector<SqlRow>* rows, SqlError* error) {
    RowReader onRow;
    if (rows != nullptr) onRow = [rows](const SqlRow& row) { rows->push_back(row); };
    return ExecuteEach(store, sSql, arValues, onRow, error);
}

// Runs statements without values; returns true, or false with *sReason.
bool ExecuteAll(HistoryStore* store, const std::vector<std::string>& arSql, std::string* sReason) {
    for (const std::string& sSql : arSql) {
        SqlError error;
        if (!Execute(store, sSql, {}, nullptr, &error)) {
            *sReason = error.sReason;
            return false;
        }
    }
    return true;
}

// A cell read as a number; what is not one reads as 0.
long long Number(const SqlCell& cell) {
    if (cell.bNull) return 0;
    return std::strtoll(cell.sText.c_str(), nullptr, 10);
}

// A time column as the tables show times.
std::string TimeOf(const HistoryStore* store, const std::string& sColumn) {
    if (!store->bServer) return sColumn;
    return "to_char(" + sColumn + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

// Begins a transaction that writes; a SQLite writer takes its lock at once, so it never finds the
// file changed under a read it made.
bool Begin(HistoryStore* store, std::string* sReason) {
    SqlError error;
    if (Execute(store, store->bServer ? "BEGIN" : "BEGIN IMMEDIATE", {}, nullptr, &error)) return true;
    *sReason = error.sReason;
    return false;
}

bool Commit(HistoryStore* store, std::string* sReason) {
    SqlError error;
    if (Execute(store, "COMMIT", {}, nullptr, &error)) return true;
    *sReason = error.sReason;
    SqlError ignored;
    Execute(store, "ROLLBACK", {}, nullptr, &ignored);
    return false;
}

void Rollback(HistoryStore* store) {
    SqlError ignored;
    Execute(store, "ROLLBACK", {}, nullptr, &ignored);
}

// What a target holds of the record.
struct Layout {
    bool bLayout = false;
    long long lLayout = 0;
    std::string sStray; // a table of the record's names found without the layout table
};

// Reads which of the record's tables the target holds and its layout; returns HISTORY_OK, or
// HISTORY_ERROR_NOT_RECORD (not a database, an empty layout table) or HISTORY_ERROR_READ.
int ReadLayout(HistoryStore* store, Layout* layout, std::string* sReason) {
    *layout = Layout();
    std::string sSql =
        store->bServer ? std::string("SELECT c.relname FROM pg_catalog.pg_class c WHERE c.relname IN ") +
                             txtTABLE_NAMES + " AND pg_catalog.pg_table_is_visible(c.oid) ORDER BY c.relname"
                       : std::string("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN ") +
                             txtTABLE_NAMES + " ORDER BY name";
    std::vector<SqlRow> rows;
    SqlError error;
    if (!Execute(store, sSql, {}, &rows, &error)) {
        *sReason = error.sReason;
        return !store->bServer && error.nCode == SQLITE_NOTADB ? HISTORY_ERROR_NOT_RECORD
                                                               : HISTORY_ERROR_READ;
    }
    for (const SqlRow& row : rows) {
        if (row.empty()) continue;
        if (row[0].sText == txtLAYOUT_TABLE) {
            layout->bLayout = true;
        } else if (layout->sStray.empty()) {
            layout->sStray = row[0].sText;
        }
    }
    if (!layout->bLayout) return HISTORY_OK;
    rows.clear();
    if (!Execute(store, "SELECT max(layout) FROM record_layout", {}, &rows, &error)) {
        *sReason = "cannot read its layout: " + error.sReason;
        return HISTORY_ERROR_READ;
    }
    if (rows.empty() || rows[0].empty() || rows[0][0].bNull) {
        *sReason = "its table record_layout names no layout";
        return HISTORY_ERROR_NOT_RECORD;
    }
    layout->lLayout = Number(rows[0][0]);
    return HISTORY_OK;
}

// Switches a SQLite file to write-ahead logging, which lets readers and writers of many programs
// work at once; returns HISTORY_OK or a failure with *sReason.
int UseWriteAheadLog(HistoryStore* store, std::string* sReason) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    for (;;) {
        std::vector<SqlRow> rows;
        SqlError error;
        if (Execute(store, "PRAGMA journal_mode = WAL", {}, &rows, &error)) {
            std::string sMode = rows.empty() || rows[0].empty() ? "" : rows[0][0].sText;
            if (sMode == "wal") return HISTORY_OK;
            *sReason = "cannot keep a write-ahead log beside it (journal mode '" + sMode + "')";
            return HISTORY_ERROR_OPEN;
        }
        // The switch needs the file to itself for a moment; another program may be reading it.
        if ((error.nCode == SQLITE_BUSY || error.nCode == SQLITE_LOCKED) &&
            std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        *sReason = error.sReason;
        return error.nCode == SQLITE_NOTADB ? HISTORY_ERROR_NOT_RECORD : HISTORY_ERROR_OPEN;
    }
}

// The reason a target's tables are not the record's.
std::string StrayReason(const Layout& layout) {
    return "it holds a table " + layout.sStray + " but no record_layout: not a kavelwrite record";
}

// Creates the tables where they are missing, in one transaction that creators take in turn;
// returns HISTORY_OK, or a failure with *sReason.
int CreateTables(HistoryStore* store, Layout* layout, std::string* sReason) {
    if (!Begin(store, sReason)) return HISTORY_ERROR_CREATE;
    SqlError error;
    if (store->bServer && !Execute(store, std::string("SELECT pg_advisory_xact_lock(") + txtCREATE_LOCK + ")",
                                   {}, nullptr, &error)) {
        *sReason = error.sReason;
        Rollback(store);
        return HISTORY_ERROR_CREATE;
    }
    // Another program may have created them while this one waited.
    int nStatus = ReadLayout(store, layout, sReason);
    if (nStatus == HISTORY_OK && !layout->bLayout && !layout->sStray.empty()) {
        *sReason = StrayReason(*layout);
        nStatus = HISTORY_ERROR_NOT_RECORD;
    }
    if (nStatus != HISTORY_OK || layout->bLayout) {
        Rollback(store);
        return nStatus;
    }
    std::vector<std::string> arSql;
    for (const char* txtSql : txtCREATE_TABLES) {
        std::string sSql = txtSql;
        for (size_t n = sSql.find("@TIME@"); n != std::string::npos; n = sSql.find("@TIME@")) {
            sSql.replace(n, 6, store->bServer ? "timestamptz" : "TEXT");
        }
        arSql.push_back(sSql);
    }
    if (!store->bServer) arSql.push_back(txtCREATE_FILE_INDEX);
    if (!ExecuteAll(store, arSql, sReason) ||
        !Execute(store, "INSERT INTO record_layout (layout, created) VALUES ($1, $2)",
                 {Integer(HISTORY_LAYOUT), Text(HistoryUtcNow())}, nullptr, &error)) {
        if (sReason->empty()) *sReason = error.sReason;
        Rollback(store);
        return HISTORY_ERROR_CREATE;
    }
    if (!Commit(store, sReason)) return HISTORY_ERROR_CREATE;
    layout->bLayout = true;
    layout->lLayout = HISTORY_LAYOUT;
    return HISTORY_OK;
}

int OpenFile(HistoryStore* store, const std::string& sPath, bool bRead, std::string* sReason) {
    struct stat info = {};
    if (bRead && stat(sPath.c_str(), &info) != 0) {
        *sReason = std::strerror(errno);
        return HISTORY_ERROR_OPEN;
    }
    sqlite3* db = nullptr;
    int nFlags = bRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    int rc = sqlite3_open_v2(sPath.c_str(), &db, nFlags, nullptr);
    store->db.reset(db);
    if (rc != SQLITE_OK) {
        *sReason = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        return HISTORY_ERROR_OPEN;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    if (bRead) return HISTORY_OK;
    // A unit row names its keyboard and a keyboard row its run; SQLite checks that only when asked.
    // Every commit reaches the disk before the next keyboard: a power cut loses no committed row.
    for (const char* txtSql : {"PRAGMA foreign_keys = ON", "PRAGMA synchronous = FULL"}) {
        SqlError error;
        if (!Execute(store, txtSql, {}, nullptr, &error)) {
            *sReason = error.sReason;
            return error.nCode == SQLITE_NOTADB ? HISTORY_ERROR_NOT_RECORD : HISTORY_ERROR_OPEN;
        }
    }
    return HISTORY_OK;
}

void IgnoreNotice(void*, const char*) {}

int OpenServer(HistoryStore* store, const std::string& sTarget, bool bRead, std::string* sReason) {
    const PqLibrary* pq = LoadPq(sReason);
    if (pq == nullptr) return HISTORY_ERROR_OPEN;
    char* txtError = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoCloser> options(pq->conninfoParse(sTarget.c_str(), &txtError));
    if (!options) {
        // libpq's message quotes the part it cannot read, which may be the password.
        if (txtError != nullptr) pq->freemem(txtError);
        *sReason = "libpq cannot read the URI";
        return HISTORY_ERROR_OPEN;
    }
    // A timeout of the URI, of a service or of PGCONNECT_TIMEOUT stands; only without one does a
    // server that does not answer get a limit of ours.
    const char* arTimeoutSources[] = {std::getenv("PGCONNECT_TIMEOUT"), std::getenv("PGSERVICE")};
    bool bTimeout =
        std::any_of(std::begin(arTimeoutSources), std::end(arTimeoutSources),
                    [](const char* txtValue) { return txtValue != nullptr && *txtValue != '\0'; });
    for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; option++) {
        if (option->val == nullptr) continue;
        if (std::strcmp(option->keyword, "password") == 0) store->sPassword = option->val;
        if (std::strcmp(option->keyword, "connect_timeout") == 0 ||
            std::strcmp(option->keyword, "service") == 0) {
            bTimeout = true;
        }
    }
    // The URI's own values win over these, as later values win in libpq; PGPASSFILE, PGSERVICE and
    // the other variables apply as libpq applies them.
    std::vector<const char*> arKeywords;
    std::vector<const char*> arValues;
    if (!bTimeout) {
        arKeywords.push_back("connect_timeout");
        arValues.push_back(txtCONNECT_TIMEOUT);
    }
    arKeywords.push_back("fallback_application_name");
    arValues.push_back("kavelwrite");
    arKeywords.push_back("dbname");
    arValues.push_back(sTarget.c_str());
    arKeywords.push_back(nullptr);
    arValues.push_back(nullptr);
    store->conn.reset(Pq().connectdbParams(arKeywords.data(), arValues.data(), 1));
    if (!store->conn) {
        *sReason = "out of memory";
        return HISTORY_ERROR_OPEN;
    }
    if (Pq().status(store->conn.get()) != CONNECTION_OK) {
        *sReason = Clean(store, Pq().errorMessage(store->conn.get()));
        return HISTORY_ERROR_OPEN;
    }
    // "relation already exists, skipping" and its like are not for the user's console.
    Pq().setNoticeProcessor(store->conn.get(), IgnoreNotice, nullptr);
    if (!bRead) return HISTORY_OK;
    // A reader proves that it reads only: the server refuses any write of this session.
    return ExecuteAll(store, {"SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"}, sReason)
               ? HISTORY_OK
               : HISTORY_ERROR_OPEN;
}

// A lost connection is made again once before a write; returns whether the server can be reached.
bool Reconnect(HistoryStore* store, std::string* sReason) {
    if (!store->bServer || Pq().status(store->conn.get()) == CONNECTION_OK) return true;
    Pq().reset(store->conn.get());
    if (Pq().status(store->conn.get()) == CONNECTION_OK) return true;
    *sReason = Clean(store, Pq().errorMessage(store->conn.get()));
    return false;
}

bool IsSha256(const std::string& sHex, bool bEmpty) {
    if (sHex.empty()) return bEmpty;
    return sHex.size() == SHA256_DIGITS && sHex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Says what failed, naming the target; returns nStatus.
int Fail(const HistoryStore* store, int nStatus, const std::string& sWhat, std::string* sError) {
    *sError = Clean(store, store->sText + ": " + sWhat);
    return nStatus;
}

int ValueError(const HistoryStore* store, const std::string& sWhat, std::string* sError) {
    return Fail(store, HISTORY_ERROR_VALUE, sWhat, sError);
}

// Checks what a keyboard's rows would hold; returns an empty text, or what is wrong.
std::string KeyboardFault(const HistoryKeyboard& keyboard) {
    if (!HistoryIsTime(keyboard.sStarted)) return "its start '" + keyboard.sStarted + "' is not a UTC time";
    if (!HistoryIsTime(keyboard.sEnded)) return "its end '" + keyboard.sEnded + "' is not a UTC time";
    if (std::find(std::begin(txtVERIFY_WORDS), std::end(txtVERIFY_WORDS), keyboard.sVerify) ==
        std::end(txtVERIFY_WORDS)) {
        return "its read-back '" + keyboard.sVerify + "' is none of match, differ, unreadable or empty";
    }
    if (!IsSha256(keyboard.sImageSha256, true)) return "its image hash is not a SHA-256 in lower-case hex";
    for (size_t i = 0; i < keyboard.arUnit.size(); i++) {
        if (keyboard.arUnit[i].sUnit.empty()) return "a unit has no name";
        for (size_t j = 0; j < i; j++) {
            if (keyboard.arUnit[j].sUnit == keyboard.arUnit[i].sUnit) {
                return "unit " + keyboard.arUnit[i].sUnit + " is named twice";
            }
        }
    }
    return "";
}

// Appends a condition to a WHERE clause.
void AddCondition(const std::string& sCondition, std::string* sWhere) {
    *sWhere += (sWhere->empty() ? " WHERE " : " AND ") + sCondition;
}

// Appends a condition whose one "?" becomes the next $N, bound to value.
void AddBound(const std::string& sCondition, const SqlValue& value, std::string* sWhere,
              std::vector<SqlValue>* arValues) {
    arValues->push_back(value);
    std::string sPlaced = sCondition;
    sPlaced.replace(sPlaced.find('?'), 1, "$" + std::to_string(arValues->size()));
    AddCondition(sPlaced, sWhere);
}

// Appends the filter's times as conditions on sColumn; returns an empty text, or what is wrong.
std::string AddTimeFilter(const HistoryFilter& filter, const std::string& sColumn, std::string* sWhere,
                          std::vector<SqlValue>* arValues) {
    for (const std::string* sTime : {&filter.sSince, &filter.sUntil}) {
        if (sTime->empty()) continue;
        if (!HistoryIsTime(*sTime)) return "'" + *sTime + "' is not a UTC time";
        AddBound(sColumn + (sTime == &filter.sSince ? " >= ?" : " < ?"), Text(*sTime), sWhere, arValues);
    }
    return "";
}

// Appends the filter's station and script as conditions on runs r; returns an empty text, or what
// is wrong.
std::string AddRunFilter(const HistoryFilter& filter, std::string* sWhere, std::vector<SqlValue>* arValues) {
    if (!filter.sStation.empty()) AddBound("r.station = ?", Text(filter.sStation), sWhere, arValues);
    if (filter.sScript.empty()) return "";
    std::string sScript = filter.sScript;
    std::transform(sScript.begin(), sScript.end(), sScript.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (sScript.size() < SCRIPT_PREFIX_MIN || sScript.size() > SHA256_DIGITS ||
        sScript.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return "'" + filter.sScript + "' is not a SHA-256 or its first 8 or more hex digits";
    }
    // Hex digits hold no wildcard of LIKE.
    AddBound("r.script_sha256 LIKE ?", Text(sScript + "%"), sWhere, arValues);
    return "";
}

std::string RunColumns(const HistoryStore* store) {
    return "r.run_id, r.station, r.program, r.library, r.arguments, r.script_path, r.script_sha256,"
           " r.check_outcome, " +
           TimeOf(store, "r.started") + ", r.batch, r.session";
}
const size_t RUN_COLUMNS = 11;

HistoryRun RunOf(const SqlRow& row) {
    HistoryRun run;
    std::string* arField[] = {&run.sRunId,     &run.sStation,    &run.sProgram,      &run.sLibrary,
                              &run.sArguments, &run.sScriptPath, &run.sScriptSha256, &run.sCheckOutcome,
                              &run.sStarted,   &run.sBatch,      &run.sSession};
    for (size_t i = 0; i < RUN_COLUMNS && i < row.size(); i++) *arField[i] = row[i].sText;
    return run;
}

int ReadError(const HistoryStore* store, const std::string& sReason, std::string* sError) {
    return Fail(store, HISTORY_ERROR_READ, sReason, sError);
}

// Appends the units of every keyboard of one run to keyboards[i] for the i in arIndex.
bool ReadUnits(HistoryStore* store, const std::string& sRunId, const std::vector<size_t>& arIndex,
               std::vector<HistoryKeyboardRead>* keyboards, SqlError* error) {
    std::vector<SqlRow> rows;
    if (!Execute(store, txtSELECT_UNITS, {Text(sRunId)}, &rows, error)) return false;
    for (const SqlRow& row : rows) {
        if (row.size() < 5) continue;
        int nKeyboard = static_cast<int>(Number(row[0]));
        for (size_t i : arIndex) {
            HistoryKeyboard& keyboard = (*keyboards)[i].keyboard;
            if (keyboard.nKeyboard != nKeyboard) continue;
            HistoryUnit unit;
            unit.sUnit = row[1].sText;
            unit.nTypeId = static_cast<int>(Number(row[2]));
            unit.sVersion = row[3].sText;
            unit.nSubId = static_cast<int>(Number(row[4]));
            keyboard.arUnit.push_back(unit);
        }
    }
    return true;
}

// What a summary holds per day and script hash: the greatest path and the keyboards per outcome.
struct SummaryLine {
    std::string sPath;
    std::map<int, long> counts;
};
using SummaryLines = std::map<std::pair<std::string, std::string>, SummaryLine>;

void AddToSummary(const std::string& sDay, const std::string& sSha256, const std::string& sPath,
                  long long lOutcome, long long lCount, SummaryLines* lines) {
    SummaryLine& line = (*lines)[std::make_pair(sDay, sSha256)];
    line.sPath = std::max(line.sPath, sPath);
    line.counts[static_cast<int>(lOutcome)] += static_cast<long>(lCount);
}

// Sums a SQLite file: the selected runs' scripts held here, the keyboards counted per run, day and
// outcome along the index that holds them in that order, and those counts summed here; a join in
// SQL would look up every run's row once per count.
bool SumFile(HistoryStore* store, const std::string& sRunWhere, const std::vector<SqlValue>& arRunValues,
             const std::string& sKeyboardWhere, const std::vector<SqlValue>& arKeyboardValues,
             SummaryLines* lines, SqlError* error) {
    std::map<std::pair<std::string, std::string>, size_t> scriptIndex;
    std::vector<std::pair<std::string, std::string>> arScript; // hash and path
    std::unordered_map<std::string, size_t> runScript;
    bool bOk = ExecuteEach(
        store, "SELECT r.run_id, r.script_sha256, r.script_path FROM runs r" + sRunWhere, arRunValues,
        [&](const SqlRow& row) {
            if (row.size() < 3) return;
            auto found = scriptIndex.emplace(std::make_pair(row[1].sText, row[2].sText), arScript.size());
            if (found.second) arScript.push_back(found.first->first);
            runScript[row[0].sText] = found.first->second;
        },
        error);
    const std::string sDay = "substr(k.started, 1, 10)";
    return bOk && ExecuteEach(
                      store,
                      "SELECT k.run_id, " + sDay + ", k.outcome, count(*) FROM keyboards k" + sKeyboardWhere +
                          " GROUP BY k.run_id, " + sDay + ", k.outcome",
                      arKeyboardValues,
                      [&](const SqlRow& row) {
                          if (row.size() < 4) return;
                          auto run = runScript.find(row[0].sText);
                          if (run == runScript.end()) return;
                          const auto& script = arScript[run->second];
                          AddToSummary(row[1].sText, script.first, script.second, Number(row[2]),
                                       Number(row[3]), lines);
                      },
                      error);
}

} // namespace

const std::string& HistoryStoreText(const HistoryStore* store) {
    return store->sText;
}

int HistoryOpen(const std::string& sTarget, unsigned nMode, History* history, std::string* sError) {
    history->reset();
    History store(std::make_unique<HistoryStore>().release());
    store->bServer = HistoryIsServer(sTarget);
    store->sText = HistoryTargetText(sTarget);
    bool bRead = (nMode & (HISTORY_WRITE | HISTORY_CREATE)) == 0;
    // SQLite takes an empty name for a database of its own that vanishes at the end.
    if (sTarget.empty()) {
        *sError = "no record named";
        return HISTORY_ERROR_OPEN;
    }
    std::string sReason;
    int nStatus = store->bServer ? OpenServer(store.get(), sTarget, bRead, &sReason)
                                 : OpenFile(store.get(), sTarget, bRead, &sReason);
    Layout layout;
    if (nStatus == HISTORY_OK) nStatus = ReadLayout(store.get(), &layout, &sReason);
    if (nStatus == HISTORY_OK && !layout.bLayout) {
        if (!layout.sStray.empty()) {
            sReason = StrayReason(layout);
            nStatus = HISTORY_ERROR_NOT_RECORD;
        } else if (bRead) {
            sReason = "it holds no kavelwrite record (no table record_layout)";
            nStatus = HISTORY_ERROR_NO_RECORD;
        } else {
            if (!store->bServer) nStatus = UseWriteAheadLog(store.get(), &sReason);
            if (nStatus == HISTORY_OK) nStatus = CreateTables(store.get(), &layout, &sReason);
            if (nStatus == HISTORY_ERROR_CREATE) sReason = "cannot create the record's tables: " + sReason;
        }
    }
    if (nStatus == HISTORY_OK && layout.lLayout > HISTORY_LAYOUT) {
        sReason = "it holds record layout " + std::to_string(layout.lLayout) + ", newer than layout " +
                  std::to_string(HISTORY_LAYOUT) + " that this program knows";
        nStatus = HISTORY_ERROR_NEWER;
    }
    if (nStatus == HISTORY_OK && !bRead && !store->bServer) nStatus = UseWriteAheadLog(store.get(), &sReason);
    if (nStatus != HISTORY_OK) return Fail(store.get(), nStatus, sReason, sError);
    *history = std::move(store);
    return HISTORY_OK;
}

int HistoryRunBegin(HistoryStore* store, const HistoryRun& run, std::string* sError) {
    if (run.sRunId.empty()) return ValueError(store, "a run needs an id", sError);
    if (!HistoryIsTime(run.sStarted)) {
        return ValueError(store, "run " + run.sRunId + ": its start '" + run.sStarted + "' is not a UTC time",
                          sError);
    }
    if (!IsSha256(run.sScriptSha256, true)) {
        return ValueError(store, "run " + run.sRunId + ": its script hash is not a SHA-256 in lower-case hex",
                          sError);
    }
    std::string sReason;
    SqlError error;
    if (!Reconnect(store, &sReason) ||
        !Execute(store, txtINSERT_RUN,
                 {Text(run.sRunId), Text(run.sStation), Text(run.sProgram), Text(run.sLibrary),
                  Text(run.sArguments), Text(run.sScriptPath), Text(run.sScriptSha256),
                  Text(run.sCheckOutcome), Text(run.sStarted), Text(run.sBatch), Text(run.sSession)},
                 nullptr, &error)) {
        return Fail(store, HISTORY_ERROR_WRITE,
                    "run " + run.sRunId + " not recorded: " + (sReason.empty() ? error.sReason : sReason),
                    sError);
    }
    return HISTORY_OK;
}

int HistoryAddKeyboard(HistoryStore* store, const std::string& sRunId, const HistoryKeyboard& keyboard,
                       std::string* sError) {
    std::string sKeyboard = "keyboard " + std::to_string(keyboard.nKeyboard) + " of run " + sRunId;
    std::string sFault = KeyboardFault(keyboard);
    if (!sFault.empty()) return ValueError(store, sKeyboard + ": " + sFault, sError);
    std::string sReason;
    bool bOk = Reconnect(store, &sReason) && Begin(store, &sReason);
    SqlError error;
    if (bOk) {
        bOk = Execute(store, txtINSERT_KEYBOARD,
                      {Text(sRunId), Integer(keyboard.nKeyboard), Text(keyboard.sStarted),
                       Text(keyboard.sEnded), Integer(keyboard.nOutcome), Text(keyboard.sFailedAt),
                       Text(keyboard.sVerify), Integer(keyboard.nVerifiedBytes), Text(keyboard.sImageSha256),
                       Integer(keyboard.bReset ? 1 : 0),
                       keyboard.bResetStatus ? Integer(keyboard.nResetStatus) : NullValue()},
                      nullptr, &error);
        for (size_t i = 0; bOk && i < keyboard.arUnit.size(); i++) {
            const HistoryUnit& unit = keyboard.arUnit[i];
            bOk = Execute(store, txtINSERT_UNIT,
                          {Text(sRunId), Integer(keyboard.nKeyboard), Text(unit.sUnit), Integer(unit.nTypeId),
                           Text(unit.sVersion), Integer(unit.nSubId)},
                          nullptr, &error);
        }
        if (!bOk) {
            sReason = error.sReason;
            Rollback(store);
        } else {
            bOk = Commit(store, &sReason);
        }
    }
    if (bOk) return HISTORY_OK;
    return Fail(store, HISTORY_ERROR_WRITE, sKeyboard + " not recorded: " + sReason, sError);
}

int HistoryRunEnd(HistoryStore* store, const std::string& sRunId, const std::string& sEnded, int nExitStatus,
                  int nSignal, std::string* sError) {
    if (!HistoryIsTime(sEnded)) {
        return ValueError(store, "run " + sRunId + ": its end '" + sEnded + "' is not a UTC time", sError);
    }
    std::string sReason;
    SqlError error;
    if (!Reconnect(store, &sReason) ||
        !Execute(store, txtINSERT_RUN_END,
                 {Text(sRunId), Text(sEnded), Integer(nExitStatus),
                  Text(nSignal != 0 ? std::to_string(nSignal) : std::string("exit"))},
                 nullptr, &error)) {
        return Fail(store, HISTORY_ERROR_WRITE,
                    "the end of run " + sRunId +
                        " not recorded: " + (sReason.empty() ? error.sReason : sReason),
                    sError);
    }
    return HISTORY_OK;
}

namespace {

// Reads the rows of "SELECT sColumns FROM sFrom" that filter selects, by when txtStarted began and
// with txtFailed where it asks for failures, in sOrder; returns HISTORY_OK, or a value or read error.
int ReadFiltered(HistoryStore* store, const HistoryFilter& filter, const char* txtStarted,
                 const char* txtFailed, const std::string& sColumns, const char* txtFrom,
                 const char* txtOrder, std::vector<SqlRow>* rows, std::string* sError) {
    std::string sWhere;
    std::vector<SqlValue> arValues;
    std::string sFault = AddTimeFilter(filter, txtStarted, &sWhere, &arValues);
    if (sFault.empty()) sFault = AddRunFilter(filter, &sWhere, &arValues);
    if (!sFault.empty()) return ValueError(store, sFault, sError);
    if (filter.bFailed) AddCondition(txtFailed, &sWhere);
    std::string sSql = "SELECT " + sColumns + " FROM " + txtFrom + sWhere + " ORDER BY " + txtOrder;
    if (filter.lLimit >= 0) {
        arValues.push_back(Integer(filter.lLimit));
        sSql += " LIMIT $" + std::to_string(arValues.size());
    }
    SqlError error;
    if (!Execute(store, sSql, arValues, rows, &error)) return ReadError(store, error.sReason, sError);
    return HISTORY_OK;
}

} // namespace

int HistoryReadRuns(HistoryStore* store, const HistoryFilter& filter, std::vector<HistoryRunRead>* runs,
                    std::string* sError) {
    runs->clear();
    std::vector<SqlRow> rows;
    int nStatus = ReadFiltered(
        store, filter, "r.started", "(e.run_id IS NULL OR e.exit_status <> 0)",
        RunColumns(store) + ", " + TimeOf(store, "e.ended") +
            ", e.exit_status, e.ended_by,"
            " (SELECT count(*) FROM keyboards k WHERE k.run_id = r.run_id),"
            " (SELECT count(*) FROM keyboards k WHERE k.run_id = r.run_id AND k.outcome <> 0)",
        "runs r LEFT JOIN run_ends e ON e.run_id = r.run_id", "r.started DESC, r.run_id DESC", &rows, sError);
    if (nStatus != HISTORY_OK) return nStatus;
    for (const SqlRow& row : rows) {
        if (row.size() < RUN_COLUMNS + 5) continue;
        HistoryRunRead read;
        read.run = RunOf(row);
        read.bEnded = !row[RUN_COLUMNS].bNull;
        read.sEnded = row[RUN_COLUMNS].sText;
        read.nExitStatus = static_cast<int>(Number(row[RUN_COLUMNS + 1]));
        read.sEndedBy = row[RUN_COLUMNS + 2].sText;
        read.lKeyboards = static_cast<long>(Number(row[RUN_COLUMNS + 3]));
        read.lFailed = static_cast<long>(Number(row[RUN_COLUMNS + 4]));
        runs->push_back(read);
    }
    return HISTORY_OK;
}

int HistoryReadKeyboards(HistoryStore* store, const HistoryFilter& filter,
                         std::vector<HistoryKeyboardRead>* keyboards, std::string* sError) {
    keyboards->clear();
    std::vector<SqlRow> rows;
    int nStatus = ReadFiltered(
        store, filter, "k.started", "k.outcome <> 0",
        RunColumns(store) + ", k.keyboard, " + TimeOf(store, "k.started") + ", " + TimeOf(store, "k.ended") +
            ", k.outcome, k.failed_at, k.verify, k.verified_bytes, k.image_sha256, k.reset,"
            " k.reset_status",
        "keyboards k JOIN runs r ON r.run_id = k.run_id", "k.started DESC, k.run_id DESC, k.keyboard DESC",
        &rows, sError);
    if (nStatus != HISTORY_OK) return nStatus;
    // The units are read run by run, for every keyboard of that run at once.
    std::map<std::string, std::vector<size_t>> byRun;
    for (const SqlRow& row : rows) {
        if (row.size() < RUN_COLUMNS + 10) continue;
        HistoryKeyboardRead read;
        read.run = RunOf(row);
        const SqlCell* cell = &row[RUN_COLUMNS];
        HistoryKeyboard& keyboard = read.keyboard;
        keyboard.nKeyboard = static_cast<int>(Number(cell[0]));
        keyboard.sStarted = cell[1].sText;
        keyboard.sEnded = cell[2].sText;
        keyboard.nOutcome = static_cast<int>(Number(cell[3]));
        keyboard.sFailedAt = cell[4].sText;
        keyboard.sVerify = cell[5].sText;
        keyboard.nVerifiedBytes = static_cast<int>(Number(cell[6]));
        keyboard.sImageSha256 = cell[7].sText;
        keyboard.bReset = Number(cell[8]) != 0;
        keyboard.bResetStatus = !cell[9].bNull;
        keyboard.nResetStatus = static_cast<int>(Number(cell[9]));
        byRun[read.run.sRunId].push_back(keyboards->size());
        keyboards->push_back(read);
    }
    for (const auto& run : byRun) {
        SqlError error;
        if (!ReadUnits(store, run.first, run.second, keyboards, &error)) {
            keyboards->clear();
            return ReadError(store, error.sReason, sError);
        }
    }
    return HISTORY_OK;
}

int HistoryReadSummary(HistoryStore* store, const HistoryFilter& filter,
                       std::vector<HistorySummaryRead>* summary, std::string* sError) {
    summary->clear();
    std::string sRunWhere;
    std::vector<SqlValue> arRunValues;
    std::string sFault = AddRunFilter(filter, &sRunWhere, &arRunValues);
    std::string sKeyboardWhere;
    std::vector<SqlValue> arKeyboardValues;
    if (sFault.empty()) sFault = AddTimeFilter(filter, "k.started", &sKeyboardWhere, &arKeyboardValues);
    if (!sFault.empty()) return ValueError(store, sFault, sError);
    if (filter.bFailed) AddCondition("k.outcome <> 0", &sKeyboardWhere);
    SummaryLines lines;
    SqlError error;
    bool bOk = false;
    if (store->bServer) {
        // The server joins and sums in one pass, by the day as a date: far cheaper than text.
        std::string sWhere;
        std::vector<SqlValue> arValues;
        AddTimeFilter(filter, "k.started", &sWhere, &arValues);
        AddRunFilter(filter, &sWhere, &arValues);
        if (filter.bFailed) AddCondition("k.outcome <> 0", &sWhere);
        const std::string sDay = "(k.started AT TIME ZONE 'UTC')::date";
        bOk = ExecuteEach(
            store,
            "SELECT r.script_sha256, max(r.script_path), to_char(" + sDay +
                ", 'YYYY-MM-DD'), k.outcome, count(*) FROM keyboards k JOIN runs r ON r.run_id = "
                "k.run_id" +
                sWhere + " GROUP BY r.script_sha256, " + sDay + ", k.outcome",
            arValues,
            [&](const SqlRow& row) {
                if (row.size() < 5) return;
                AddToSummary(row[2].sText, row[0].sText, row[1].sText, Number(row[3]), Number(row[4]),
                             &lines);
            },
            &error);
    } else {
        bOk = SumFile(store, sRunWhere, arRunValues, sKeyboardWhere, arKeyboardValues, &lines, &error);
    }
    if (!bOk) return ReadError(store, error.sReason, sError);
    for (const auto& entry : lines) {
        HistorySummaryRead read;
        read.sDay = entry.first.first;
        read.sScriptSha256 = entry.first.second;
        read.sScriptPath = entry.second.sPath;
        for (const auto& count : entry.second.counts) {
            read.lAttempts += count.second;
            if (count.first == 0) {
                read.lWritten += count.second;
            } else {
                read.lFailed += count.second;
                read.arByOutcome.emplace_back(count.first, count.second);
            }
        }
        summary->push_back(read);
    }
    // Newest day first; within a day by hash, as the lines were made.
    std::stable_sort(
        summary->begin(), summary->end(),
        [](const HistorySummaryRead& a, const HistorySummaryRead& b) { return a.sDay > b.sDay; });
    if (filter.lLimit >= 0 && summary->size() > static_cast<size_t>(filter.lLimit))
        summary->resize(static_cast<size_t>(filter.lLimit));
    return HISTORY_OK;
}
