// Measures the production record on a SQLite file and on a PostgreSQL server of its own (durable:
// fsync on, on its local socket) and prints one table:
//
//   1. what one keyboard's rows cost the program that writes them (HistoryAddKeyboard: one
//      transaction with the keyboard and its three units), per keyboard;
//   2. eight programs writing one record at once: keyboards per second, and none lost;
//   3. kxb history --summary over a record of N keyboards (default 1 000 000), and --since the last
//      24 hours of it, as the user runs them: the built kxb as a child process.
//
// The record of N keyboards is made anew on every run: its tables by the library, its rows in bulk
// as another tool would load them (one transaction of prepared inserts into SQLite, COPY into
// PostgreSQL), with random run ids as the program makes them.
//
//   bench_history [--keyboards N] [--runs N] [--writes N]
#include "bench_support.h"
#include "history.h"
#include "pg_server.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const KXB = BENCH_KXB;
const char* const DATA_DIR = BENCH_DATA_DIR;

const double TARGET_KEYBOARD_MS = 2.0;
const double TARGET_SUMMARY_MS = 1000.0;
const double TARGET_SINCE_MS = 100.0;
const int WRITERS = 8;
const int KEYBOARDS_PER_RUN = 8;
const int SCRIPTS = 17;
// The record's first run; runs follow every RUN_SECONDS (600 keyboards a day on three stations).
const time_t FIRST_RUN = 1640995200; // 2022-01-01T00:00:00Z
const time_t RUN_SECONDS = 1152;

struct Options {
    long lKeyboards = 1000000;
    int nRuns = 5;
    int nWrites = 2000;
};

double Percentile(std::vector<double> values, double dShare) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = static_cast<size_t>(std::ceil(dShare * static_cast<double>(values.size()))) - 1;
    return values[std::min(n, values.size() - 1)];
}

std::string Fixed(double d, int nDecimals) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(nDecimals);
    out << d;
    return out.str();
}

std::string TimeText(time_t t, int nMilliseconds = 0) {
    struct tm moment = {};
    gmtime_r(&t, &moment);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", moment.tm_year + 1900,
                  moment.tm_mon + 1, moment.tm_mday, moment.tm_hour, moment.tm_min, moment.tm_sec,
                  nMilliseconds);
    return buffer;
}

[[noreturn]] void Die(const std::string& sWhat) {
    std::cerr << "bench_history: " << sWhat << std::endl;
    std::exit(1);
}

HistoryKeyboard SampleKeyboard(int nKeyboard, int nOutcome) {
    HistoryKeyboard keyboard;
    keyboard.nKeyboard = nKeyboard;
    keyboard.sStarted = HistoryUtcNow();
    keyboard.sEnded = keyboard.sStarted;
    keyboard.nOutcome = nOutcome;
    keyboard.sVerify = nOutcome == 0 ? "match" : "";
    keyboard.nVerifiedBytes = nOutcome == 0 ? 13 : 0;
    keyboard.sImageSha256 = nOutcome == 0 ? Sha256Hex("image", 5) : "";
    keyboard.sFailedAt = nOutcome == 0 ? "" : "/srv/line/setup.kxb:14:5";
    keyboard.bReset = nOutcome == 0;
    keyboard.bResetStatus = nOutcome == 0;
    for (const char* txtUnit : {"controller", "0", "1"}) {
        HistoryUnit unit;
        unit.sUnit = txtUnit;
        unit.nTypeId = 0x42;
        unit.sVersion = "2.1.0.0";
        keyboard.arUnit.push_back(unit);
    }
    return keyboard;
}

HistoryRun SampleRun(const std::string& sStation) {
    HistoryRun run;
    run.sRunId = HistoryNewRunId();
    run.sStation = sStation;
    run.sProgram = "kavelwrite 0.0.4";
    run.sLibrary = "libkavelhidapi 1.4.2";
    run.sArguments = "kavelwrite --verify /srv/line/setup.kxb";
    run.sScriptPath = "/srv/line/setup.kxb";
    run.sScriptSha256 = Sha256Hex("setup", 5);
    run.sCheckOutcome = "pass";
    run.sStarted = HistoryUtcNow();
    return run;
}

History OpenOrDie(const std::string& sTarget, unsigned nMode) {
    History history;
    std::string sError;
    if (HistoryOpen(sTarget, nMode, &history, &sError) != HISTORY_OK) Die(sError);
    return history;
}

double SelfCpuMs() {
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 + usage.ru_stime.tv_sec * 1000.0 +
           usage.ru_stime.tv_usec / 1000.0;
}

// Figure 1: the milliseconds of each keyboard's transaction, one program alone; *dCpuMs receives the
// program's own CPU time per keyboard.
std::vector<double> KeyboardCosts(const std::string& sTarget, int nKeyboards, double* dCpuMs) {
    History history = OpenOrDie(sTarget, HISTORY_WRITE);
    std::string sError;
    HistoryRun run = SampleRun("station-1");
    if (HistoryRunBegin(history.get(), run, &sError) != HISTORY_OK) Die(sError);
    std::vector<double> arMs;
    double dCpuStart = SelfCpuMs();
    for (int k = 0; k < nKeyboards; k++) {
        HistoryKeyboard keyboard = SampleKeyboard(k, k % 33 == 0 ? 166 : 0);
        double dStart = NowMs();
        if (HistoryAddKeyboard(history.get(), run.sRunId, keyboard, &sError) != HISTORY_OK) Die(sError);
        arMs.push_back(NowMs() - dStart);
    }
    *dCpuMs = (SelfCpuMs() - dCpuStart) / nKeyboards;
    if (HistoryRunEnd(history.get(), run.sRunId, HistoryUtcNow(), 0, 0, &sError) != HISTORY_OK) Die(sError);
    return arMs;
}

// Figure 2: eight programs open a target without tables at once and write nEach keyboards each;
// returns the wall milliseconds from their start to the last one's end, and *nLost the keyboards
// that the record does not hold afterwards.
double ConcurrentWriters(const std::string& sTarget, int nEach, long* lLost) {
    int arGo[2];
    if (pipe(arGo) != 0) Die("pipe");
    std::vector<pid_t> arPid;
    for (int p = 0; p < WRITERS; p++) {
        pid_t pid = fork();
        if (pid < 0) Die("fork");
        if (pid == 0) {
            close(arGo[1]);
            char c;
            if (read(arGo[0], &c, 1) != 0) _exit(3);
            History history;
            std::string sError;
            int nStatus = HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError);
            HistoryRun run = SampleRun("station-" + std::to_string(p));
            if (nStatus == HISTORY_OK) nStatus = HistoryRunBegin(history.get(), run, &sError);
            for (int k = 0; nStatus == HISTORY_OK && k < nEach; k++) {
                nStatus = HistoryAddKeyboard(history.get(), run.sRunId, SampleKeyboard(k, 0), &sError);
            }
            if (nStatus == HISTORY_OK)
                nStatus = HistoryRunEnd(history.get(), run.sRunId, HistoryUtcNow(), 0, 0, &sError);
            if (nStatus != HISTORY_OK) std::fprintf(stderr, "writer %d: %s\n", p, sError.c_str());
            _exit(nStatus == HISTORY_OK ? 0 : 1);
        }
        arPid.push_back(pid);
    }
    close(arGo[0]);
    double dStart = NowMs();
    close(arGo[1]);
    int nFailed = 0;
    for (pid_t pid : arPid) {
        int nStatus = 0;
        waitpid(pid, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) nFailed++;
    }
    double dMs = NowMs() - dStart;
    if (nFailed > 0) Die(std::to_string(nFailed) + " writers failed on " + HistoryTargetText(sTarget));
    History history = OpenOrDie(sTarget, HISTORY_READ);
    std::vector<HistoryRunRead> runs;
    std::string sError;
    if (HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError) != HISTORY_OK) Die(sError);
    long lHeld = 0;
    for (const HistoryRunRead& run : runs) lHeld += run.bEnded ? run.lKeyboards : 0;
    *lLost = static_cast<long>(WRITERS) * nEach - lHeld;
    return dMs;
}

// The rows of the big record, made one run at a time; sink receives each table's rows as text
// fields, an empty optional field as null.
struct BulkRow {
    const char* txtTable;
    std::vector<std::string> arField;
    std::vector<bool> arNull;
};

template <typename Sink> time_t MakeRows(long lKeyboards, Sink sink) {
    unsigned long lRandom = 12345;
    auto next = [&lRandom]() {
        lRandom = lRandom * 6364136223846793005UL + 1442695040888963407UL;
        return static_cast<unsigned>(lRandom >> 33);
    };
    const int arFailure[] = {162, 163, 164, 165, 165, 166, 166, 166, 167};
    long lRuns = (lKeyboards + KEYBOARDS_PER_RUN - 1) / KEYBOARDS_PER_RUN;
    time_t tLast = FIRST_RUN;
    for (long r = 0; r < lRuns; r++) {
        int nScript = static_cast<int>(r * SCRIPTS / lRuns);
        std::string sPath = "/srv/line/setup-v" + std::to_string(nScript) + ".kxb";
        std::string sSha = Sha256Hex(sPath.data(), sPath.size());
        std::string sImage = Sha256Hex(sSha.data(), sSha.size());
        // A random-looking version 4 UUID, the same whenever the rows are made again.
        std::string sRunId;
        for (int i = 0; i < 4; i++) {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "%08x", next() ^ (next() << 16));
            sRunId += buffer;
        }
        sRunId = sRunId.substr(0, 8) + "-" + sRunId.substr(8, 4) + "-4" + sRunId.substr(13, 3) + "-a" +
                 sRunId.substr(17, 3) + "-" + sRunId.substr(20, 12);
        time_t tRun = FIRST_RUN + static_cast<time_t>(r) * RUN_SECONDS;
        sink(BulkRow{"runs",
                     {sRunId, "station-" + std::to_string(r % 3 + 1), "kavelwrite 0.0.4",
                      "libkavelhidapi 1.4.2", "kavelwrite --verify " + sPath, sPath, sSha, "pass",
                      TimeText(tRun), "", ""},
                     {}});
        int nExit = 0;
        long lCount = std::min<long>(KEYBOARDS_PER_RUN, lKeyboards - r * KEYBOARDS_PER_RUN);
        for (int k = 0; k < lCount; k++) {
            int nOutcome = next() % 100 < 97 ? 0 : arFailure[next() % 9];
            if (nOutcome != 0) nExit = nOutcome;
            time_t tKeyboard = tRun + 10 + 20 * k;
            tLast = tKeyboard;
            bool bWritten = nOutcome == 0;
            sink(BulkRow{"keyboards",
                         {sRunId, std::to_string(k), TimeText(tKeyboard, 125), TimeText(tKeyboard + 15, 250),
                          std::to_string(nOutcome), bWritten ? "" : sPath + ":14:5", bWritten ? "match" : "",
                          bWritten ? "13" : "0", bWritten ? sImage : "", bWritten ? "1" : "0", "0"},
                         {false, false, false, false, false, false, false, false, false, false, !bWritten}});
            sink(BulkRow{"units", {sRunId, std::to_string(k), "controller", "33", "1.2.3.0", "0"}, {}});
            sink(BulkRow{"units", {sRunId, std::to_string(k), "0", "66", "2.1.0.0", "3"}, {}});
        }
        sink(BulkRow{"run_ends", {sRunId, TimeText(tRun + 200), std::to_string(nExit), "exit"}, {}});
    }
    return tLast;
}

// The milliseconds that this disk takes to make a small write durable (write, fdatasync), the floor
// under any commit that must survive a power cut.
std::vector<double> SyncCosts(int nTimes) {
    std::string sPath = std::string(DATA_DIR) + "/sync.probe";
    int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) Die("cannot write " + sPath);
    std::vector<char> arPage(4096, 'k');
    std::vector<double> arMs;
    for (int i = 0; i < nTimes; i++) {
        double dStart = NowMs();
        if (pwrite(fd, arPage.data(), arPage.size(), 0) != static_cast<ssize_t>(arPage.size()) ||
            fdatasync(fd) != 0) {
            Die("cannot sync " + sPath);
        }
        arMs.push_back(NowMs() - dStart);
    }
    close(fd);
    std::filesystem::remove(sPath);
    return arMs;
}

struct StatementCloser {
    void operator()(sqlite3_stmt* p) const { sqlite3_finalize(p); }
};

time_t FillFile(const std::string& sPath, long lKeyboards) {
    OpenOrDie(sPath, HISTORY_CREATE);
    sqlite3* pDb = nullptr;
    if (sqlite3_open(sPath.c_str(), &pDb) != SQLITE_OK) Die("cannot open " + sPath);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(pDb, sqlite3_close);
    sqlite3_exec(pDb, "BEGIN", nullptr, nullptr, nullptr);
    std::vector<std::pair<std::string, std::unique_ptr<sqlite3_stmt, StatementCloser>>> statements;
    auto statementOf = [&](const char* txtTable, size_t nFields) -> sqlite3_stmt* {
        for (auto& entry : statements) {
            if (entry.first == txtTable) return entry.second.get();
        }
        std::string sSql = std::string("INSERT INTO ") + txtTable + " VALUES (";
        for (size_t i = 0; i < nFields; i++) sSql += (i > 0 ? ", ?" : "?");
        sqlite3_stmt* p = nullptr;
        if (sqlite3_prepare_v2(pDb, (sSql + ")").c_str(), -1, &p, nullptr) != SQLITE_OK)
            Die(sqlite3_errmsg(pDb));
        statements.emplace_back(txtTable, std::unique_ptr<sqlite3_stmt, StatementCloser>(p));
        return p;
    };
    time_t tLast = MakeRows(lKeyboards, [&](const BulkRow& row) {
        sqlite3_stmt* p = statementOf(row.txtTable, row.arField.size());
        for (size_t i = 0; i < row.arField.size(); i++) {
            // The columns' affinity stores a number's text as the program's integers are stored.
            if (i < row.arNull.size() && row.arNull[i]) {
                sqlite3_bind_null(p, static_cast<int>(i + 1));
            } else {
                sqlite3_bind_text(p, static_cast<int>(i + 1), row.arField[i].c_str(), -1, SQLITE_TRANSIENT);
            }
        }
        if (sqlite3_step(p) != SQLITE_DONE) Die(sqlite3_errmsg(pDb));
        sqlite3_reset(p);
    });
    if (sqlite3_exec(pDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) Die(sqlite3_errmsg(pDb));
    return tLast;
}

time_t FillServer(const std::string& sUri, long lKeyboards) {
    OpenOrDie(sUri, HISTORY_CREATE);
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(sUri.c_str()), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) Die(PQerrorMessage(conn.get()));
    // COPY takes one table at a time: the rows are made once per table.
    time_t tLast = 0;
    for (const char* txtTable : {"runs", "keyboards", "units", "run_ends"}) {
        PGresult* result = PQexec(conn.get(), (std::string("COPY ") + txtTable + " FROM STDIN").c_str());
        if (PQresultStatus(result) != PGRES_COPY_IN) Die(PQerrorMessage(conn.get()));
        PQclear(result);
        std::string sBuffer;
        tLast = MakeRows(lKeyboards, [&](const BulkRow& row) {
            if (std::strcmp(row.txtTable, txtTable) != 0) return;
            for (size_t i = 0; i < row.arField.size(); i++) {
                if (i > 0) sBuffer += '\t';
                sBuffer += i < row.arNull.size() && row.arNull[i] ? "\\N" : row.arField[i];
            }
            sBuffer += '\n';
            if (sBuffer.size() > (1 << 20)) {
                if (PQputCopyData(conn.get(), sBuffer.data(), static_cast<int>(sBuffer.size())) != 1) {
                    Die(PQerrorMessage(conn.get()));
                }
                sBuffer.clear();
            }
        });
        if (!sBuffer.empty() &&
            PQputCopyData(conn.get(), sBuffer.data(), static_cast<int>(sBuffer.size())) != 1) {
            Die(PQerrorMessage(conn.get()));
        }
        if (PQputCopyEnd(conn.get(), nullptr) != 1) Die(PQerrorMessage(conn.get()));
        result = PQgetResult(conn.get());
        if (PQresultStatus(result) != PGRES_COMMAND_OK) Die(PQerrorMessage(conn.get()));
        PQclear(result);
        while ((result = PQgetResult(conn.get())) != nullptr) PQclear(result);
    }
    // A server's autovacuum gathers the planner's statistics soon after a load; here at once.
    PQclear(PQexec(conn.get(), "VACUUM ANALYZE"));
    return tLast;
}

struct ChildTime {
    double dWallMs = 0;
    double dCpuMs = 0;
    int nStatus = 0;
    std::string sOutput;
};

// Runs kxb with args, its output to a file; returns wall and CPU time.
ChildTime RunKxb(const std::vector<std::string>& arArgs, bool bKeepOutput) {
    std::string sOut = std::string(DATA_DIR) + "/kxb.out";
    std::vector<std::string> arAll = {KXB};
    arAll.insert(arAll.end(), arArgs.begin(), arArgs.end());
    std::vector<char*> arArgv;
    for (std::string& s : arAll) arArgv.push_back(s.data());
    arArgv.push_back(nullptr);
    double dStart = NowMs();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(bKeepOutput ? sOut.c_str() : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        execv(KXB, arArgv.data());
        _exit(127);
    }
    int nStatus = 0;
    struct rusage usage = {};
    wait4(pid, &nStatus, 0, &usage);
    ChildTime time;
    time.dWallMs = NowMs() - dStart;
    time.dCpuMs = usage.ru_utime.tv_sec * 1000.0 + usage.ru_utime.tv_usec / 1000.0 +
                  usage.ru_stime.tv_sec * 1000.0 + usage.ru_stime.tv_usec / 1000.0;
    time.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
    if (bKeepOutput) {
        std::ifstream in(sOut);
        std::ostringstream text;
        text << in.rdbuf();
        time.sOutput = text.str();
    }
    return time;
}

// Median wall and CPU time of nRuns runs of kxb with args, after one run that warms the caches.
std::pair<double, double> MedianKxb(const std::vector<std::string>& arArgs, int nRuns) {
    RunKxb(arArgs, false);
    std::vector<double> arWall, arCpu;
    for (int i = 0; i < nRuns; i++) {
        ChildTime time = RunKxb(arArgs, false);
        if (time.nStatus != 0) Die("kxb history failed with " + std::to_string(time.nStatus));
        arWall.push_back(time.dWallMs);
        arCpu.push_back(time.dCpuMs);
    }
    return {Median(arWall), Median(arCpu)};
}

// The attempts that kxb history --summary --csv counts over the whole record.
long SummaryAttempts(const std::string& sTarget) {
    ChildTime time = RunKxb({"history", "--summary", "--csv", sTarget}, true);
    long lAttempts = 0;
    std::istringstream in(time.sOutput);
    std::string sLine;
    std::getline(in, sLine);
    while (std::getline(in, sLine)) {
        // day,script,script_sha256,attempts,...: the script names here hold no comma.
        std::vector<std::string> arField;
        std::stringstream fields(sLine);
        std::string sField;
        while (std::getline(fields, sField, ',')) arField.push_back(sField);
        if (arField.size() > 3) lAttempts += std::atol(arField[3].c_str());
    }
    return lAttempts;
}

struct Row {
    std::string sFigure, sEngine, sValue, sTarget, sResult;
};

std::string Verdict(double dValue, double dTarget) {
    return dValue <= dTarget ? "met" : "missed";
}

} // namespace

int main(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string sOption = argv[i];
        if (sOption == "--keyboards") {
            options.lKeyboards = std::atol(argv[i + 1]);
        } else if (sOption == "--runs") {
            options.nRuns = std::atoi(argv[i + 1]);
        } else if (sOption == "--writes") {
            options.nWrites = std::atoi(argv[i + 1]);
        } else {
            Die("usage: bench_history [--keyboards N] [--runs N] [--writes N]");
        }
    }
    std::filesystem::create_directories(DATA_DIR);
    PgServer server;
    std::string sError;
    if (!PgServerStart(&server, true, &sError)) Die(sError);
    std::vector<Row> rows;
    auto serverTarget = [&](const std::string& sUse) {
        std::string sDatabase = PgServerNewDatabase(&server, &sError);
        if (sDatabase.empty()) Die(sError + " (" + sUse + ")");
        return PgServerUri(server, sDatabase);
    };
    auto fileTarget = [](const std::string& sName) {
        std::string sPath = std::string(DATA_DIR) + "/" + sName;
        for (const char* txtEnd : {"", "-wal", "-shm"}) std::filesystem::remove(sPath + txtEnd);
        return sPath;
    };

    std::vector<double> arSync = SyncCosts(200);
    rows.push_back({"For reference: one 4 KiB write and fdatasync in the same folder, median", "disk",
                    Fixed(Median(arSync), 3) + " ms (p99 " + Fixed(Percentile(arSync, 0.99), 3) + " ms)", "",
                    ""});
    for (bool bServer : {false, true}) {
        const char* txtEngine = bServer ? "PostgreSQL" : "SQLite";
        std::cerr << "keyboard cost on " << txtEngine << "..." << std::endl;
        double dCpuMs = 0;
        std::vector<double> arMs =
            KeyboardCosts(bServer ? serverTarget("cost") : fileTarget("cost.db"), options.nWrites, &dCpuMs);
        double dMedian = Median(arMs);
        rows.push_back({"Record's cost per keyboard (1 row + 3 units, one transaction), median", txtEngine,
                        Fixed(dMedian, 3) + " ms (p99 " + Fixed(Percentile(arMs, 0.99), 3) + " ms), " +
                            Fixed(dCpuMs, 3) + " ms CPU of the writer",
                        bServer ? "" : "< 2 ms", bServer ? "" : Verdict(dMedian, TARGET_KEYBOARD_MS)});
    }
    for (bool bServer : {false, true}) {
        const char* txtEngine = bServer ? "PostgreSQL" : "SQLite";
        std::cerr << WRITERS << " writers on " << txtEngine << "..." << std::endl;
        int nEach = options.nWrites / WRITERS;
        long lLost = 0;
        double dMs =
            ConcurrentWriters(bServer ? serverTarget("writers") : fileTarget("writers.db"), nEach, &lLost);
        rows.push_back({std::to_string(WRITERS) + " programs writing one new record at once", txtEngine,
                        Fixed(WRITERS * nEach * 1000.0 / dMs, 0) + " keyboards/s (" +
                            std::to_string(WRITERS * nEach) + " in " + Fixed(dMs, 0) + " ms), " +
                            std::to_string(lLost) + " lost",
                        "none lost", lLost == 0 ? "met" : "missed"});
    }
    for (bool bServer : {false, true}) {
        const char* txtEngine = bServer ? "PostgreSQL" : "SQLite";
        std::cerr << "filling " << options.lKeyboards << " keyboards into " << txtEngine << "..."
                  << std::endl;
        std::string sTarget = bServer ? serverTarget("million") : fileTarget("million.db");
        double dStart = NowMs();
        time_t tLast =
            bServer ? FillServer(sTarget, options.lKeyboards) : FillFile(sTarget, options.lKeyboards);
        std::cerr << "  filled in " << Fixed((NowMs() - dStart) / 1000.0, 1) << " s" << std::endl;
        long lCounted = SummaryAttempts(sTarget);
        if (lCounted != options.lKeyboards) {
            Die("--summary counts " + std::to_string(lCounted) + " keyboards of " +
                std::to_string(options.lKeyboards));
        }
        std::string sKeyboards = std::to_string(options.lKeyboards) + " keyboards";
        std::pair<double, double> summary = MedianKxb({"history", "--summary", sTarget}, options.nRuns);
        rows.push_back({"kxb history --summary, " + sKeyboards + " (all counted)", txtEngine,
                        Fixed(summary.first, 0) + " ms wall, " + Fixed(summary.second, 0) + " ms CPU",
                        bServer ? "" : "< 1 s", bServer ? "" : Verdict(summary.first, TARGET_SUMMARY_MS)});
        std::string sSince = TimeText(tLast - 24 * 60 * 60).substr(0, 16);
        sSince[10] = ' ';
        ChildTime lines = RunKxb({"history", "--since", sSince, "--csv", sTarget}, true);
        long lLines = static_cast<long>(std::count(lines.sOutput.begin(), lines.sOutput.end(), '\n')) - 1;
        std::pair<double, double> since = MedianKxb({"history", "--since", sSince, sTarget}, options.nRuns);
        rows.push_back({"kxb history --since the last 24 hours, " + sKeyboards + " (" +
                            std::to_string(lLines) + " listed)",
                        txtEngine, Fixed(since.first, 0) + " ms wall, " + Fixed(since.second, 0) + " ms CPU",
                        bServer ? "" : "< 100 ms", bServer ? "" : Verdict(since.first, TARGET_SINCE_MS)});
    }
    PgServerStop(&server);

    std::ostringstream table;
    std::ifstream loadavg("/proc/loadavg");
    std::string sLoad;
    std::getline(loadavg, sLoad);
    table << "Load average at the end: " << sLoad << "\n\n";
    table << "| Figure | Engine | Value | Target | Result |\n| --- | --- | --- | --- | --- |\n";
    for (const Row& row : rows) {
        table << "| " << row.sFigure << " | " << row.sEngine << " | " << row.sValue << " | " << row.sTarget
              << " | " << row.sResult << " |\n";
    }
    std::cout << table.str();
    std::ofstream(std::string(DATA_DIR) + "/history-results.md") << table.str();
    return 0;
}
