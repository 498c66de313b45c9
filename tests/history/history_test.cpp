// The record on both engines: every case runs against a fresh SQLite file and a fresh database on
// the suite's own PostgreSQL server.
#include "history.h"
#include "pg_server.h"
#include "record_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string TempDir() {
    std::string sPattern = (std::filesystem::temp_directory_path() / "kavel-history-XXXXXX").string();
    std::vector<char> arPattern(sPattern.begin(), sPattern.end());
    arPattern.push_back('\0');
    return mkdtemp(arPattern.data()) != nullptr ? std::string(arPattern.data()) : std::string();
}

HistoryRun SampleRun(const std::string& sRunId, const std::string& sStation = "station-1") {
    return TestRun(sRunId, sStation, "2026-12-08T09:15:00.125Z");
}

HistoryKeyboard Keyboard(int nKeyboard, int nOutcome, const std::string& sFailedAt = "") {
    HistoryKeyboard keyboard;
    keyboard.nKeyboard = nKeyboard;
    keyboard.sStarted = "2026-12-08T09:15:" + std::to_string(10 + nKeyboard % 50) + ".000Z";
    keyboard.sEnded = "2026-12-08T09:16:" + std::to_string(10 + nKeyboard % 50) + ".999Z";
    keyboard.nOutcome = nOutcome;
    keyboard.sFailedAt = sFailedAt;
    keyboard.arUnit = {{"controller", 0x21, "1.2.3.0", 0}};
    return keyboard;
}

// One keyboard written, verified and reset; one whose write failed; one that did not suit.
std::vector<HistoryKeyboard> ThreeKeyboards() {
    HistoryKeyboard written = Keyboard(0, 0);
    written.sVerify = "match";
    written.nVerifiedBytes = 13;
    written.sImageSha256 = Sha256Hex("image", 5);
    written.bReset = written.bResetStatus = true;
    written.arUnit.push_back({"0", 0x42, "2.1.0.0", 3});
    written.arUnit.push_back({"12", 0x43, "2.1.0.1", 0});
    HistoryKeyboard failed = Keyboard(1, 166, "/srv/line/setup.kxb:14:5");
    failed.arUnit.push_back({"0", 0x42, "2.1.0.0", 3});
    HistoryKeyboard unsuitable = Keyboard(2, 165, "/srv/line/setup.kxb:3:3");
    unsuitable.arUnit.push_back({"2", 0x50, "9.0.0.0", 1});
    return {written, failed, unsuitable};
}

// Every field on one line, so that a difference shows where it is.
std::string Text(const HistoryRun& r) {
    return r.sRunId + "|" + r.sStation + "|" + r.sProgram + "|" + r.sLibrary + "|" + r.sArguments + "|" +
           r.sScriptPath + "|" + r.sScriptSha256 + "|" + r.sCheckOutcome + "|" + r.sStarted + "|" + r.sBatch +
           "|" + r.sSession;
}

std::string Text(const HistoryKeyboard& k) {
    std::string sText =
        std::to_string(k.nKeyboard) + "|" + k.sStarted + "|" + k.sEnded + "|" + std::to_string(k.nOutcome) +
        "|" + k.sFailedAt + "|" + k.sVerify + "|" + std::to_string(k.nVerifiedBytes) + "|" + k.sImageSha256 +
        "|" + std::to_string(k.bReset) + "|" + (k.bResetStatus ? std::to_string(k.nResetStatus) : "none");
    for (const HistoryUnit& u : k.arUnit) {
        sText += "|" + u.sUnit + "," + std::to_string(u.nTypeId) + "," + u.sVersion + "," +
                 std::to_string(u.nSubId);
    }
    return sText;
}

// Writes a run, its keyboards and (bEnd) its end as kavelwrite would; returns HISTORY_OK or the
// first failure, with *sError.
int WriteRun(const std::string& sTarget, const HistoryRun& run, const std::vector<HistoryKeyboard>& keyboards,
             bool bEnd, std::string* sError) {
    History history;
    int nStatus = HistoryOpen(sTarget, HISTORY_WRITE, &history, sError);
    if (nStatus == HISTORY_OK) nStatus = HistoryRunBegin(history.get(), run, sError);
    for (size_t i = 0; nStatus == HISTORY_OK && i < keyboards.size(); i++) {
        nStatus = HistoryAddKeyboard(history.get(), run.sRunId, keyboards[i], sError);
    }
    if (nStatus == HISTORY_OK && bEnd) {
        nStatus = HistoryRunEnd(history.get(), run.sRunId, "2026-12-08T09:20:00.500Z", 165, 0, sError);
    }
    return nStatus;
}

class HistoryEngines : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        sDir = TempDir();
        ASSERT_FALSE(sDir.empty());
        sTarget = NewRecordTarget(GetParam(), sDir, &server, &sDatabase);
    }

    void TearDown() override { std::filesystem::remove_all(sDir); }

    // Runs sql on the target outside the library, as an administrator would.
    void RawSql(const std::string& sSql) {
        std::string sOutput;
        if (GetParam() == SERVER_ENGINE) {
            ASSERT_TRUE(PgServerSql(*server, sDatabase, sSql, &sOutput)) << sOutput;
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(sTarget.c_str(), &db), SQLITE_OK);
        int rc = sqlite3_exec(db, sSql.c_str(), nullptr, nullptr, nullptr);
        sOutput = sqlite3_errmsg(db);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << sOutput;
    }

    void Write(const HistoryRun& run, const std::vector<HistoryKeyboard>& keyboards, bool bEnd) {
        std::string sError;
        ASSERT_EQ(WriteRun(sTarget, run, keyboards, bEnd, &sError), HISTORY_OK) << sError;
    }

    std::vector<HistoryRunRead> Runs(const HistoryFilter& filter = HistoryFilter()) {
        return ReadRecordRuns(sTarget, filter);
    }
    std::vector<HistoryKeyboardRead> Keyboards(const HistoryFilter& filter = HistoryFilter()) {
        return ReadRecordKeyboards(sTarget, filter);
    }

    std::string sDir;
    std::string sTarget;
    PgServer* server = nullptr;
    std::string sDatabase;
};

TEST_P(HistoryEngines, RunOfThreeKeyboardsReadsBackExactly) {
    HistoryRun run = SampleRun(HistoryNewRunId());
    std::vector<HistoryKeyboard> keyboards = ThreeKeyboards();
    Write(run, keyboards, true);
    std::vector<HistoryRunRead> runs = Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(Text(runs[0].run), Text(run));
    EXPECT_TRUE(runs[0].bEnded);
    EXPECT_EQ(runs[0].sEnded + " " + std::to_string(runs[0].nExitStatus) + " " + runs[0].sEndedBy,
              "2026-12-08T09:20:00.500Z 165 exit");
    EXPECT_EQ(runs[0].lKeyboards, 3);
    EXPECT_EQ(runs[0].lFailed, 2);
    std::vector<HistoryKeyboardRead> read = Keyboards();
    ASSERT_EQ(read.size(), 3u);
    for (size_t i = 0; i < read.size(); i++) {
        EXPECT_EQ(Text(read[i].run), Text(run));
        EXPECT_EQ(Text(read[i].keyboard), Text(keyboards[2 - i])) << "newest first";
    }
    History history;
    std::string sError;
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_OK) << sError;
    std::vector<HistorySummaryRead> summary;
    ASSERT_EQ(HistoryReadSummary(history.get(), HistoryFilter(), &summary, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].sScriptSha256 + " " + summary[0].sScriptPath + " " + summary[0].sDay,
              run.sScriptSha256 + " /srv/line/setup.kxb 2026-12-08");
    EXPECT_EQ(std::vector<long>({summary[0].lAttempts, summary[0].lWritten, summary[0].lFailed}),
              std::vector<long>({3, 1, 2}));
    EXPECT_EQ(summary[0].arByOutcome, (std::vector<std::pair<int, long>>{{165, 1}, {166, 1}}));
}

TEST_P(HistoryEngines, NewerLayoutIsRefusedByItsNumber) {
    // A run whose script could not be read has no hash, and is recorded all the same.
    HistoryRun unread = SampleRun("run-1");
    unread.sScriptSha256.clear();
    Write(unread, {}, false);
    RawSql("INSERT INTO record_layout (layout, created) VALUES (2, '2027-01-01T00:00:00.000Z')");
    for (unsigned nMode : {HISTORY_READ, HISTORY_WRITE}) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_ERROR_NEWER);
        EXPECT_FALSE(history);
        EXPECT_EQ(sError.rfind(HistoryTargetText(sTarget) + ": ", 0), 0u) << sError;
        EXPECT_NE(sError.find("layout 2"), std::string::npos) << sError;
    }
}

TEST_P(HistoryEngines, TablesOfTheRecordsNamesWithoutItsLayoutAreRefused) {
    RawSql("CREATE TABLE keyboards (serial TEXT)");
    for (unsigned nMode : {HISTORY_READ, HISTORY_WRITE, HISTORY_CREATE}) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_ERROR_NOT_RECORD) << sError;
        EXPECT_NE(sError.find("keyboards"), std::string::npos) << sError;
    }
}

TEST_P(HistoryEngines, ReaderCreatesNothing) {
    History history;
    std::string sError;
    if (GetParam() == FILE_ENGINE) {
        EXPECT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_ERROR_OPEN);
        EXPECT_FALSE(std::filesystem::exists(sTarget));
        std::ofstream(sTarget).close();
    }
    EXPECT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_ERROR_NO_RECORD) << sError;
    // The writer that comes next finds no table and makes them.
    Write(SampleRun("run-1"), {}, false);
    EXPECT_EQ(Runs().size(), 1u);
}

TEST_P(HistoryEngines, QuotesAndSemicolonsAreStoredAsTheyAre) {
    HistoryRun run = SampleRun("run-'quoted'", "hall 2; 'east'");
    run.sScriptPath = "/srv/it's \"here\"; DROP TABLE runs; --/setup.kxb";
    run.sArguments = "kavelwrite '/srv/it'\\''s \"here\"; DROP TABLE runs; --/setup.kxb'";
    run.sCheckOutcome = "PARSE_ERROR: Data: 'x'; --";
    HistoryKeyboard keyboard = Keyboard(0, 166, run.sScriptPath + ":3:7");
    Write(run, {keyboard}, false);
    HistoryFilter filter;
    filter.sStation = run.sStation;
    std::vector<HistoryKeyboardRead> read = Keyboards(filter);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(Text(read[0].run), Text(run));
    EXPECT_EQ(Text(read[0].keyboard), Text(keyboard));
}

TEST_P(HistoryEngines, MalformedValuesAndUnknownRunsWriteNothing) {
    HistoryRun late = SampleRun("run-1");
    late.sStarted = "2026-12-08 09:15:00";
    HistoryKeyboard twice = Keyboard(4, 0);
    twice.arUnit.push_back(twice.arUnit[0]);
    HistoryKeyboard verify = Keyboard(5, 0);
    verify.sVerify = "ok";
    HistoryKeyboard local = Keyboard(6, 0);
    local.sStarted = "2026-12-08 09:15:10";
    const struct {
        std::string sRunId;
        HistoryRun run;
        HistoryKeyboard keyboard;
        int nStatus;
    } arCase[] = {
        {"run-1", late, Keyboard(0, 0), HISTORY_ERROR_VALUE},
        {"run-1", SampleRun("run-1"), twice, HISTORY_ERROR_VALUE},
        {"run-1", SampleRun("run-1"), verify, HISTORY_ERROR_VALUE},
        {"run-1", SampleRun("run-1"), local, HISTORY_ERROR_VALUE},
        // A keyboard of a run that was never begun is refused by the tables themselves, whole.
        {"no-such-run", SampleRun("run-1"), Keyboard(0, 0), HISTORY_ERROR_WRITE},
    };
    for (const auto& test : arCase) {
        History history;
        std::string sError;
        ASSERT_EQ(HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError), HISTORY_OK) << sError;
        int nStatus = HistoryRunBegin(history.get(), test.run, &sError);
        if (nStatus == HISTORY_OK)
            nStatus = HistoryAddKeyboard(history.get(), test.sRunId, test.keyboard, &sError);
        EXPECT_EQ(nStatus, test.nStatus) << sError;
        EXPECT_NE(sError.find(test.sRunId), std::string::npos) << sError;
        RawSql("DELETE FROM runs");
    }
    EXPECT_TRUE(Keyboards().empty());
}

// Eight programs start at once on a target without tables; every row of every one is there.
TEST_P(HistoryEngines, EightProcessesCreatingAndWritingAtOnceLoseNoRow) {
    const int PROCESSES = 8;
    std::vector<HistoryKeyboard> keyboards;
    for (int k = 0; k < 25; k++) keyboards.push_back(Keyboard(k, k % 3 == 0 ? 166 : 0));
    int arGo[2];
    ASSERT_EQ(pipe(arGo), 0);
    std::vector<pid_t> arPid;
    for (int p = 0; p < PROCESSES; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Every child waits until all are forked, so that they open the target together.
            close(arGo[1]);
            char c;
            if (read(arGo[0], &c, 1) != 0) _exit(3);
            std::string sError;
            int nStatus = WriteRun(sTarget, SampleRun("run-" + std::to_string(p)), keyboards, true, &sError);
            if (nStatus != HISTORY_OK) fprintf(stderr, "process %d: %s\n", p, sError.c_str());
            _exit(nStatus == HISTORY_OK ? 0 : 1);
        }
        arPid.push_back(pid);
    }
    close(arGo[0]);
    close(arGo[1]);
    for (pid_t pid : arPid) {
        int nStatus = 0;
        ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0)
            << "a writer failed (see its line above)";
    }
    std::vector<HistoryRunRead> runs = Runs();
    ASSERT_EQ(runs.size(), static_cast<size_t>(PROCESSES));
    for (const HistoryRunRead& run : runs) {
        EXPECT_TRUE(run.bEnded) << run.run.sRunId;
        EXPECT_EQ(run.lKeyboards, 25) << run.run.sRunId;
    }
    std::vector<HistoryKeyboardRead> read = Keyboards();
    EXPECT_EQ(read.size(), static_cast<size_t>(PROCESSES * 25));
    for (const HistoryKeyboardRead& keyboard : read) EXPECT_EQ(keyboard.keyboard.arUnit.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Record, HistoryEngines, ::testing::Values(FILE_ENGINE, SERVER_ENGINE), EngineName);

// What SQLite alone can meet: a file that is not a database, one copied back in another journal
// mode, a disk that is full.
class HistoryFile : public ::testing::Test {
protected:
    void SetUp() override { sTarget = (sDir = TempDir()) + "/record.db"; }
    void TearDown() override { std::filesystem::remove_all(sDir); }

    // The journal mode after sql.
    std::string JournalMode(const char* txtSql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(sTarget.c_str(), &db), SQLITE_OK);
        std::string sMode;
        auto keep = [](void* pMode, int, char** arValue, char**) {
            *static_cast<std::string*>(pMode) = arValue[0] != nullptr ? arValue[0] : "";
            return 0;
        };
        sqlite3_exec(db, txtSql, keep, &sMode, nullptr);
        sqlite3_close(db);
        return sMode;
    }

    std::string sDir;
    std::string sTarget;
};

TEST_F(HistoryFile, TextFileIsRefusedAsNotADatabaseAndLeftAsItWas) {
    const std::string sText = "<Kxb>this is a script, not a record</Kxb>\n";
    std::ofstream(sTarget) << sText;
    for (unsigned nMode : {HISTORY_READ, HISTORY_WRITE}) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_ERROR_NOT_RECORD);
        EXPECT_EQ(sError, sTarget + ": file is not a database");
    }
    std::ifstream in(sTarget);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), sText);
}

// A record copied back from an archive may come in another journal mode; its writers need the
// write-ahead log to work beside each other and beside readers.
TEST_F(HistoryFile, WriterPutsARecordBackIntoWriteAheadLogging) {
    std::string sError;
    ASSERT_EQ(WriteRun(sTarget, SampleRun("run-1"), {}, false, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(JournalMode("PRAGMA journal_mode = DELETE"), "delete");
    ASSERT_EQ(WriteRun(sTarget, SampleRun("run-2"), {}, false, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(JournalMode("PRAGMA journal_mode"), "wal");
}

// A file that cannot grow: the keyboard's rows fail whole and the message names the keyboard.
TEST_F(HistoryFile, FullDiskFailsTheKeyboardWholeAndNamesIt) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        History history;
        std::string sError;
        if (HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError) != HISTORY_OK ||
            HistoryRunBegin(history.get(), SampleRun("run-full"), &sError) != HISTORY_OK) {
            _exit(10);
        }
        signal(SIGXFSZ, SIG_IGN);
        struct stat info = {};
        stat((sTarget + "-wal").c_str(), &info);
        struct rlimit limit = {static_cast<rlim_t>(info.st_size) + 1024,
                               static_cast<rlim_t>(info.st_size) + 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        int nStatus = HistoryAddKeyboard(history.get(), "run-full",
                                         Keyboard(7, 166, std::string(200000, 'x')), &sError);
        fprintf(stderr, "%s\n", sError.c_str());
        _exit(nStatus == HISTORY_ERROR_WRITE &&
                      sError.find("keyboard 7 of run run-full not recorded") != std::string::npos
                  ? 0
                  : 11);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    History history;
    std::string sError;
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_OK) << sError;
    std::vector<HistoryKeyboardRead> read;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    EXPECT_TRUE(read.empty());
}

// A line's roles: a station may INSERT (and read the layout), a reader may SELECT.
TEST(HistoryServer, StationWithInsertAloneWritesAndReaderWithSelectAloneReads) {
    std::string sError;
    PgServer* server = SharedPgServer(&sError);
    ASSERT_NE(server, nullptr) << sError;
    std::string sDatabase = PgServerNewDatabase(server, &sError);
    ASSERT_FALSE(sDatabase.empty()) << sError;
    std::string sOutput;
    ASSERT_TRUE(
        PgServerSql(*server, sDatabase, "CREATE ROLE station LOGIN; CREATE ROLE reader LOGIN", &sOutput))
        << sOutput;
    std::string sStation = PgServerUri(*server, sDatabase, "station");
    HistoryRun run = SampleRun(HistoryNewRunId());
    // Before the administrator makes the tables, a station cannot.
    EXPECT_EQ(WriteRun(sStation, run, {}, false, &sError), HISTORY_ERROR_CREATE);
    EXPECT_NE(sError.find("cannot create the record's tables"), std::string::npos) << sError;
    History history;
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase), HISTORY_CREATE, &history, &sError), HISTORY_OK)
        << sError;
    ASSERT_TRUE(PgServerSql(*server, sDatabase,
                            "GRANT INSERT ON runs, run_ends, keyboards, units TO station;"
                            " GRANT SELECT ON record_layout TO station;"
                            " GRANT SELECT ON record_layout, runs, run_ends, keyboards, units TO reader",
                            &sOutput))
        << sOutput;
    ASSERT_EQ(WriteRun(sStation, run, ThreeKeyboards(), true, &sError), HISTORY_OK) << sError;
    // What it wrote, it cannot read back.
    ASSERT_EQ(HistoryOpen(sStation, HISTORY_READ, &history, &sError), HISTORY_OK) << sError;
    std::vector<HistoryKeyboardRead> read;
    EXPECT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_ERROR_READ);
    EXPECT_NE(sError.find("permission denied"), std::string::npos) << sError;
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase, "reader"), HISTORY_READ, &history, &sError),
              HISTORY_OK)
        << sError;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(Text(read[2].keyboard), Text(ThreeKeyboards()[0]));
    // A reader's session refuses writes even where its role could make them.
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase), HISTORY_READ, &history, &sError), HISTORY_OK)
        << sError;
    EXPECT_EQ(HistoryRunBegin(history.get(), SampleRun("run-2"), &sError), HISTORY_ERROR_WRITE);
    EXPECT_NE(sError.find("read-only"), std::string::npos) << sError;
}

TEST(HistoryServer, PasswordIsNeverInMessagesOrStoredArguments) {
    std::string sError;
    PgServer* server = SharedPgServer(&sError);
    ASSERT_NE(server, nullptr) << sError;
    const std::string sPassword = "Pa55-word;x";
    // A database that does not exist: libpq says so, and the message names the target.
    History history;
    EXPECT_EQ(HistoryOpen(PgServerUri(*server, "no_such_database", PG_SUPERUSER, sPassword), HISTORY_WRITE,
                          &history, &sError),
              HISTORY_ERROR_OPEN);
    EXPECT_NE(sError.find("no_such_database"), std::string::npos) << sError;
    EXPECT_EQ(sError.find(sPassword), std::string::npos) << sError;
    std::string sDatabase = PgServerNewDatabase(server, &sError);
    ASSERT_FALSE(sDatabase.empty()) << sError;
    std::string sTarget = PgServerUri(*server, sDatabase, PG_SUPERUSER, sPassword);
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(HistoryStoreText(history.get()).find(sPassword), std::string::npos);
    HistoryRun run = SampleRun("run-1");
    run.sArguments = HistoryRedactArguments({"kavelwrite", "--history=" + sTarget, "setup.kxb"});
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    std::string sOutput;
    ASSERT_TRUE(PgServerSql(*server, sDatabase, "SELECT arguments FROM runs", &sOutput)) << sOutput;
    EXPECT_EQ(sOutput.find(sPassword), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find(sDatabase), std::string::npos) << sOutput;
    // A message that quotes what was sent shows no password either.
    run.sRunId = sPassword;
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_ERROR_WRITE);
    EXPECT_EQ(sError.find(sPassword), std::string::npos) << sError;
}

} // namespace
