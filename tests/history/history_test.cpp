// The record on both engines: every case runs against a fresh SQLite file and a fresh database on
// the suite's own PostgreSQL server.
#include "history.h"
#include "pg_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum Engine { FILE_ENGINE, SERVER_ENGINE };

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == FILE_ENGINE ? "SQLite" : "PostgreSQL";
}

std::string TempDir() {
    std::string sPattern = (std::filesystem::temp_directory_path() / "kavel-history-XXXXXX").string();
    std::vector<char> arPattern(sPattern.begin(), sPattern.end());
    arPattern.push_back('\0');
    return mkdtemp(arPattern.data()) != nullptr ? std::string(arPattern.data()) : std::string();
}

HistoryRun SampleRun(const std::string& sRunId, const std::string& sStation) {
    HistoryRun run;
    run.sRunId = sRunId;
    run.sStation = sStation;
    run.sProgram = "kavelwrite 0.0.4";
    run.sLibrary = "libkavelhidapi 1.4.2";
    run.sArguments = "kavelwrite --verify setup.kxb";
    run.sScriptPath = "/srv/line/setup.kxb";
    run.sScriptSha256 = Sha256Hex("setup", 5);
    run.sCheckOutcome = "pass";
    run.sStarted = "2026-12-08T09:15:00.125Z";
    return run;
}

HistoryUnit Unit(const std::string& sUnit, int nTypeId, const std::string& sVersion, int nSubId) {
    HistoryUnit unit;
    unit.sUnit = sUnit;
    unit.nTypeId = nTypeId;
    unit.sVersion = sVersion;
    unit.nSubId = nSubId;
    return unit;
}

HistoryKeyboard Keyboard(int nKeyboard, int nOutcome, const std::string& sStarted) {
    HistoryKeyboard keyboard;
    keyboard.nKeyboard = nKeyboard;
    keyboard.sStarted = sStarted;
    keyboard.sEnded = sStarted.substr(0, 18) + "9.999Z";
    keyboard.nOutcome = nOutcome;
    keyboard.arUnit = {Unit("controller", 0x21, "1.2.3.0", 0)};
    return keyboard;
}

// The three keyboards of a run: one written, verified and reset; one whose write failed; one that
// did not suit the script.
std::vector<HistoryKeyboard> ThreeKeyboards() {
    HistoryKeyboard written = Keyboard(0, 0, "2026-12-08T09:15:01.000Z");
    written.sVerify = "match";
    written.nVerifiedBytes = 13;
    written.sImageSha256 = Sha256Hex("image", 5);
    written.bReset = true;
    written.bResetStatus = true;
    written.nResetStatus = 0;
    written.arUnit.push_back(Unit("0", 0x42, "2.1.0.0", 3));
    written.arUnit.push_back(Unit("12", 0x43, "2.1.0.1", 0));
    HistoryKeyboard failed = Keyboard(1, 166, "2026-12-08T09:15:11.000Z");
    failed.sFailedAt = "/srv/line/setup.kxb:14:5";
    failed.arUnit.push_back(Unit("0", 0x42, "2.1.0.0", 3));
    HistoryKeyboard unsuitable = Keyboard(2, 165, "2026-12-08T09:15:21.000Z");
    unsuitable.sFailedAt = "/srv/line/setup.kxb:3:3";
    unsuitable.arUnit.push_back(Unit("2", 0x50, "9.0.0.0", 1));
    return {written, failed, unsuitable};
}

void ExpectSameRun(const HistoryRun& expected, const HistoryRun& read) {
    EXPECT_EQ(expected.sRunId, read.sRunId);
    EXPECT_EQ(expected.sStation, read.sStation);
    EXPECT_EQ(expected.sProgram, read.sProgram);
    EXPECT_EQ(expected.sLibrary, read.sLibrary);
    EXPECT_EQ(expected.sArguments, read.sArguments);
    EXPECT_EQ(expected.sScriptPath, read.sScriptPath);
    EXPECT_EQ(expected.sScriptSha256, read.sScriptSha256);
    EXPECT_EQ(expected.sCheckOutcome, read.sCheckOutcome);
    EXPECT_EQ(expected.sStarted, read.sStarted);
    EXPECT_EQ(expected.sBatch, read.sBatch);
    EXPECT_EQ(expected.sSession, read.sSession);
}

void ExpectSameKeyboard(const HistoryKeyboard& expected, const HistoryKeyboard& read) {
    EXPECT_EQ(expected.nKeyboard, read.nKeyboard);
    EXPECT_EQ(expected.sStarted, read.sStarted);
    EXPECT_EQ(expected.sEnded, read.sEnded);
    EXPECT_EQ(expected.nOutcome, read.nOutcome);
    EXPECT_EQ(expected.sFailedAt, read.sFailedAt);
    EXPECT_EQ(expected.sVerify, read.sVerify);
    EXPECT_EQ(expected.nVerifiedBytes, read.nVerifiedBytes);
    EXPECT_EQ(expected.sImageSha256, read.sImageSha256);
    EXPECT_EQ(expected.bReset, read.bReset);
    EXPECT_EQ(expected.bResetStatus, read.bResetStatus);
    if (expected.bResetStatus) {
        EXPECT_EQ(expected.nResetStatus, read.nResetStatus);
    }
    ASSERT_EQ(expected.arUnit.size(), read.arUnit.size()) << "keyboard " << expected.nKeyboard;
    for (size_t i = 0; i < expected.arUnit.size(); i++) {
        EXPECT_EQ(expected.arUnit[i].sUnit, read.arUnit[i].sUnit);
        EXPECT_EQ(expected.arUnit[i].nTypeId, read.arUnit[i].nTypeId);
        EXPECT_EQ(expected.arUnit[i].sVersion, read.arUnit[i].sVersion);
        EXPECT_EQ(expected.arUnit[i].nSubId, read.arUnit[i].nSubId);
    }
}

class HistoryEngines : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        sDir = TempDir();
        ASSERT_FALSE(sDir.empty());
        if (GetParam() == FILE_ENGINE) {
            sTarget = sDir + "/record.db";
            return;
        }
        std::string sError;
        server = SharedPgServer(&sError);
        ASSERT_NE(server, nullptr) << sError;
        sDatabase = PgServerNewDatabase(server, &sError);
        ASSERT_FALSE(sDatabase.empty()) << sError;
        sTarget = PgServerUri(*server, sDatabase);
    }

    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(sDir, ignored);
    }

    // Runs sql on the target outside the library, as an administrator would.
    void RawSql(const std::string& sSql) {
        if (GetParam() == SERVER_ENGINE) {
            std::string sOutput;
            ASSERT_TRUE(PgServerSql(*server, sDatabase, sSql, &sOutput)) << sOutput;
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(sTarget.c_str(), &db), SQLITE_OK);
        char* txtError = nullptr;
        int rc = sqlite3_exec(db, sSql.c_str(), nullptr, nullptr, &txtError);
        std::string sError = txtError != nullptr ? txtError : "";
        sqlite3_free(txtError);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK) << sError;
    }

    History Open(unsigned nMode) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_OK) << sError;
        return history;
    }

    std::string sDir;
    std::string sTarget;
    PgServer* server = nullptr;
    std::string sDatabase;
};

TEST_P(HistoryEngines, RunOfThreeKeyboardsReadsBackExactly) {
    HistoryRun run = SampleRun(HistoryNewRunId(), "station-1");
    std::vector<HistoryKeyboard> keyboards = ThreeKeyboards();
    {
        History history = Open(HISTORY_WRITE);
        ASSERT_TRUE(history);
        std::string sError;
        ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
        for (const HistoryKeyboard& keyboard : keyboards) {
            ASSERT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, keyboard, &sError), HISTORY_OK) << sError;
        }
        ASSERT_EQ(HistoryRunEnd(history.get(), run.sRunId, "2026-12-08T09:15:30.500Z", 165, 0, &sError),
                  HISTORY_OK)
            << sError;
    }
    History history = Open(HISTORY_READ);
    ASSERT_TRUE(history);
    std::string sError;
    std::vector<HistoryRunRead> runs;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 1u);
    ExpectSameRun(run, runs[0].run);
    EXPECT_TRUE(runs[0].bEnded);
    EXPECT_EQ(runs[0].sEnded, "2026-12-08T09:15:30.500Z");
    EXPECT_EQ(runs[0].nExitStatus, 165);
    EXPECT_EQ(runs[0].sEndedBy, "exit");
    EXPECT_EQ(runs[0].lKeyboards, 3);
    EXPECT_EQ(runs[0].lFailed, 2);

    std::vector<HistoryKeyboardRead> read;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(read.size(), 3u);
    // Newest first.
    for (size_t i = 0; i < read.size(); i++) {
        ExpectSameRun(run, read[i].run);
        ExpectSameKeyboard(keyboards[keyboards.size() - 1 - i], read[i].keyboard);
    }

    std::vector<HistorySummaryRead> summary;
    ASSERT_EQ(HistoryReadSummary(history.get(), HistoryFilter(), &summary, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].sScriptSha256, run.sScriptSha256);
    EXPECT_EQ(summary[0].sScriptPath, run.sScriptPath);
    EXPECT_EQ(summary[0].sDay, "2026-12-08");
    EXPECT_EQ(summary[0].lAttempts, 3);
    EXPECT_EQ(summary[0].lWritten, 1);
    EXPECT_EQ(summary[0].lFailed, 2);
    std::vector<std::pair<int, long>> arExpected = {{165, 1}, {166, 1}};
    EXPECT_EQ(summary[0].arByOutcome, arExpected);
}

TEST_P(HistoryEngines, RunWithoutEndKeepsItsKeyboardsAndReadsAsUnended) {
    HistoryRun ended = SampleRun("run-ended", "station-1");
    HistoryRun cut = SampleRun("run-cut", "station-1");
    cut.sStarted = "2026-12-08T10:00:00.000Z";
    {
        History history = Open(HISTORY_WRITE);
        ASSERT_TRUE(history);
        std::string sError;
        ASSERT_EQ(HistoryRunBegin(history.get(), ended, &sError), HISTORY_OK) << sError;
        ASSERT_EQ(HistoryRunEnd(history.get(), ended.sRunId, "2026-12-08T09:20:00.000Z", 0, 0, &sError),
                  HISTORY_OK);
        ASSERT_EQ(HistoryRunBegin(history.get(), cut, &sError), HISTORY_OK) << sError;
        ASSERT_EQ(HistoryAddKeyboard(history.get(), cut.sRunId, Keyboard(0, 0, "2026-12-08T10:00:01.000Z"),
                                     &sError),
                  HISTORY_OK)
            << sError;
    }
    History history = Open(HISTORY_READ);
    ASSERT_TRUE(history);
    std::string sError;
    std::vector<HistoryRunRead> runs;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].run.sRunId, "run-cut");
    EXPECT_FALSE(runs[0].bEnded);
    EXPECT_EQ(runs[0].lKeyboards, 1);
    EXPECT_TRUE(runs[1].bEnded);
    // A run without an end is one that failed.
    HistoryFilter failed;
    failed.bFailed = true;
    ASSERT_EQ(HistoryReadRuns(history.get(), failed, &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].run.sRunId, "run-cut");
}

TEST_P(HistoryEngines, NewerLayoutIsRefusedByItsNumber) {
    ASSERT_TRUE(Open(HISTORY_CREATE));
    RawSql("INSERT INTO record_layout (layout, created) VALUES (2, '2027-01-01T00:00:00.000Z')");
    for (unsigned nMode : {HISTORY_READ, HISTORY_WRITE}) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_ERROR_NEWER);
        EXPECT_FALSE(history);
        EXPECT_NE(sError.find("layout 2"), std::string::npos) << sError;
        EXPECT_EQ(sError.rfind(HistoryTargetText(sTarget) + ": ", 0), 0u) << sError;
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
    if (GetParam() == FILE_ENGINE) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_ERROR_OPEN);
        EXPECT_NE(sError.find(sTarget), std::string::npos) << sError;
        EXPECT_FALSE(std::filesystem::exists(sTarget));
        std::ofstream(sTarget).close();
    }
    History history;
    std::string sError;
    EXPECT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_ERROR_NO_RECORD) << sError;
    // The writer that comes next finds no table and makes them.
    ASSERT_TRUE(Open(HISTORY_WRITE));
    EXPECT_TRUE(Open(HISTORY_READ));
}

TEST_P(HistoryEngines, QuotesAndSemicolonsAreStoredAsTheyAre) {
    HistoryRun run = SampleRun("run-'quoted'", "hall 2; 'east'");
    run.sScriptPath = "/srv/it's \"here\"; DROP TABLE runs; --/setup.kxb";
    run.sArguments = "kavelwrite '/srv/it'\\''s \"here\"; DROP TABLE runs; --/setup.kxb'";
    run.sCheckOutcome = "PARSE_ERROR: Data: 'x'; --";
    HistoryKeyboard keyboard = Keyboard(0, 166, "2026-12-08T09:15:01.000Z");
    keyboard.sFailedAt = run.sScriptPath + ":3:7";
    {
        History history = Open(HISTORY_WRITE);
        ASSERT_TRUE(history);
        std::string sError;
        ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
        ASSERT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, keyboard, &sError), HISTORY_OK) << sError;
    }
    History history = Open(HISTORY_READ);
    ASSERT_TRUE(history);
    HistoryFilter filter;
    filter.sStation = run.sStation;
    std::vector<HistoryKeyboardRead> read;
    std::string sError;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), filter, &read, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(read.size(), 1u);
    ExpectSameRun(run, read[0].run);
    ExpectSameKeyboard(keyboard, read[0].keyboard);
}

TEST_P(HistoryEngines, MalformedValuesAreRefusedBeforeAnyRow) {
    History history = Open(HISTORY_WRITE);
    ASSERT_TRUE(history);
    std::string sError;
    HistoryRun run = SampleRun("run-1", "station-1");
    run.sStarted = "2026-12-08 09:15:00";
    EXPECT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_ERROR_VALUE);
    run = SampleRun("run-1", "station-1");
    run.sScriptSha256 = "ABCDEF";
    EXPECT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_ERROR_VALUE);
    run = SampleRun("run-1", "station-1");
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    HistoryKeyboard twice = Keyboard(4, 0, "2026-12-08T09:15:01.000Z");
    twice.arUnit.push_back(twice.arUnit[0]);
    EXPECT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, twice, &sError), HISTORY_ERROR_VALUE);
    EXPECT_NE(sError.find("keyboard 4"), std::string::npos) << sError;
    HistoryKeyboard verify = Keyboard(5, 0, "2026-12-08T09:15:01.000Z");
    verify.sVerify = "ok";
    EXPECT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, verify, &sError), HISTORY_ERROR_VALUE);
    // A keyboard of a run that was never begun is refused by the tables themselves, whole.
    EXPECT_EQ(
        HistoryAddKeyboard(history.get(), "no-such-run", Keyboard(0, 0, "2026-12-08T09:15:01.000Z"), &sError),
        HISTORY_ERROR_WRITE);
    EXPECT_NE(sError.find("keyboard 0 of run no-such-run"), std::string::npos) << sError;
    std::vector<HistoryKeyboardRead> read;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    EXPECT_TRUE(read.empty());
}

// Eight programs start at once on a target without tables; every row of every one is there.
TEST_P(HistoryEngines, EightProcessesCreatingAndWritingAtOnceLoseNoRow) {
    const int PROCESSES = 8;
    const int KEYBOARDS = 25;
    int arGo[2];
    ASSERT_EQ(pipe(arGo), 0);
    std::vector<pid_t> arPid;
    for (int p = 0; p < PROCESSES; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(arGo[1]);
            char c;
            // Every child waits until all are forked, so that they open the target together.
            if (read(arGo[0], &c, 1) != 0) _exit(3);
            History history;
            std::string sError;
            int nStatus = HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError);
            HistoryRun run = SampleRun("run-" + std::to_string(p), "station-" + std::to_string(p));
            if (nStatus == HISTORY_OK) nStatus = HistoryRunBegin(history.get(), run, &sError);
            for (int k = 0; nStatus == HISTORY_OK && k < KEYBOARDS; k++) {
                nStatus = HistoryAddKeyboard(history.get(), run.sRunId,
                                             Keyboard(k, k % 3 == 0 ? 166 : 0, HistoryUtcNow()), &sError);
            }
            if (nStatus == HISTORY_OK)
                nStatus = HistoryRunEnd(history.get(), run.sRunId, HistoryUtcNow(), 0, 0, &sError);
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
    History history = Open(HISTORY_READ);
    ASSERT_TRUE(history);
    std::vector<HistoryRunRead> runs;
    std::string sError;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), static_cast<size_t>(PROCESSES));
    std::set<std::string> ids;
    for (const HistoryRunRead& run : runs) {
        ids.insert(run.run.sRunId);
        EXPECT_TRUE(run.bEnded) << run.run.sRunId;
        EXPECT_EQ(run.lKeyboards, KEYBOARDS) << run.run.sRunId;
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(PROCESSES));
    std::vector<HistoryKeyboardRead> keyboards;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &keyboards, &sError), HISTORY_OK)
        << sError;
    EXPECT_EQ(keyboards.size(), static_cast<size_t>(PROCESSES * KEYBOARDS));
    for (const HistoryKeyboardRead& keyboard : keyboards) EXPECT_EQ(keyboard.keyboard.arUnit.size(), 1u);
}

// A run killed outright leaves every keyboard it finished, and a run without an end.
TEST_P(HistoryEngines, KilledRunLeavesEveryFinishedKeyboard) {
    int arDone[2];
    ASSERT_EQ(pipe(arDone), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(arDone[0]);
        History history;
        std::string sError;
        HistoryRun run = SampleRun("run-killed", "station-1");
        if (HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError) != HISTORY_OK ||
            HistoryRunBegin(history.get(), run, &sError) != HISTORY_OK) {
            _exit(1);
        }
        for (int k = 0; k < 3; k++) {
            if (HistoryAddKeyboard(history.get(), run.sRunId, Keyboard(k, 0, HistoryUtcNow()), &sError) !=
                HISTORY_OK) {
                _exit(1);
            }
        }
        // Says that three are done, then waits to be killed.
        if (write(arDone[1], "3", 1) != 1) _exit(1);
        pause();
        _exit(2);
    }
    close(arDone[1]);
    char c = 0;
    ASSERT_EQ(read(arDone[0], &c, 1), 1);
    close(arDone[0]);
    kill(pid, SIGKILL);
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(nStatus));
    History history = Open(HISTORY_READ);
    ASSERT_TRUE(history);
    std::vector<HistoryRunRead> runs;
    std::string sError;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].bEnded);
    EXPECT_EQ(runs[0].lKeyboards, 3);
}

INSTANTIATE_TEST_SUITE_P(Record, HistoryEngines, ::testing::Values(FILE_ENGINE, SERVER_ENGINE), EngineName);

TEST(HistoryFile, TextFileIsRefusedAsNotADatabase) {
    std::string sDir = TempDir();
    std::string sTarget = sDir + "/notes.db";
    std::ofstream(sTarget) << "<Kxb>this is a script, not a record</Kxb>\n";
    for (unsigned nMode : {HISTORY_READ, HISTORY_WRITE}) {
        History history;
        std::string sError;
        EXPECT_EQ(HistoryOpen(sTarget, nMode, &history, &sError), HISTORY_ERROR_NOT_RECORD);
        EXPECT_NE(sError.find("not a database"), std::string::npos) << sError;
        EXPECT_EQ(sError.rfind(sTarget + ": ", 0), 0u) << sError;
    }
    std::ifstream in(sTarget);
    std::string sLine;
    std::getline(in, sLine);
    EXPECT_EQ(sLine, "<Kxb>this is a script, not a record</Kxb>");
    std::filesystem::remove_all(sDir);
}

// A record copied back from an archive may come in another journal mode; its writers need the
// write-ahead log to work beside each other and beside readers.
TEST(HistoryFile, WriterPutsARecordBackIntoWriteAheadLogging) {
    std::string sDir = TempDir();
    std::string sTarget = sDir + "/record.db";
    History history;
    std::string sError;
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_CREATE, &history, &sError), HISTORY_OK) << sError;
    history.reset();
    auto journalMode = [&](const char* txtSql) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(sTarget.c_str(), &db), SQLITE_OK);
        std::string sMode;
        sqlite3_exec(
            db, txtSql,
            [](void* pMode, int, char** arValue, char**) {
                *static_cast<std::string*>(pMode) = arValue[0] != nullptr ? arValue[0] : "";
                return 0;
            },
            &sMode, nullptr);
        sqlite3_close(db);
        return sMode;
    };
    ASSERT_EQ(journalMode("PRAGMA journal_mode = DELETE"), "delete");
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(journalMode("PRAGMA journal_mode"), "wal");
    history.reset();
    std::filesystem::remove_all(sDir);
}

// A file that cannot grow: the keyboard's rows fail whole and the message names the keyboard.
TEST(HistoryFile, FullDiskFailsTheKeyboardWholeAndNamesIt) {
    std::string sDir = TempDir();
    std::string sTarget = sDir + "/record.db";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        History history;
        std::string sError;
        HistoryRun run = SampleRun("run-full", "station-1");
        if (HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError) != HISTORY_OK ||
            HistoryRunBegin(history.get(), run, &sError) != HISTORY_OK) {
            _exit(10);
        }
        signal(SIGXFSZ, SIG_IGN);
        struct stat info = {};
        stat((sTarget + "-wal").c_str(), &info);
        struct rlimit limit = {static_cast<rlim_t>(info.st_size) + 1024,
                               static_cast<rlim_t>(info.st_size) + 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        HistoryKeyboard keyboard = Keyboard(7, 166, HistoryUtcNow());
        keyboard.sFailedAt = std::string(200000, 'x');
        int nStatus = HistoryAddKeyboard(history.get(), run.sRunId, keyboard, &sError);
        bool bNamed = sError.find("keyboard 7 of run run-full not recorded") != std::string::npos;
        fprintf(stderr, "%s\n", sError.c_str());
        _exit(nStatus == HISTORY_ERROR_WRITE && bNamed ? 0 : 11);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    History history;
    std::string sError;
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_READ, &history, &sError), HISTORY_OK) << sError;
    std::vector<HistoryKeyboardRead> read;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    EXPECT_TRUE(read.empty());
    std::filesystem::remove_all(sDir);
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
    // Before the administrator makes the tables, a station cannot.
    History history;
    EXPECT_EQ(HistoryOpen(PgServerUri(*server, sDatabase, "station"), HISTORY_WRITE, &history, &sError),
              HISTORY_ERROR_CREATE);
    EXPECT_NE(sError.find("cannot create"), std::string::npos) << sError;
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase), HISTORY_CREATE, &history, &sError), HISTORY_OK)
        << sError;
    history.reset();
    ASSERT_TRUE(PgServerSql(*server, sDatabase,
                            "GRANT INSERT ON runs, run_ends, keyboards, units TO station;"
                            " GRANT SELECT ON record_layout TO station;"
                            " GRANT SELECT ON record_layout, runs, run_ends, keyboards, units TO reader",
                            &sOutput))
        << sOutput;
    HistoryRun run = SampleRun(HistoryNewRunId(), "station-1");
    std::vector<HistoryKeyboard> keyboards = ThreeKeyboards();
    {
        ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase, "station"), HISTORY_WRITE, &history, &sError),
                  HISTORY_OK)
            << sError;
        ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
        for (const HistoryKeyboard& keyboard : keyboards) {
            ASSERT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, keyboard, &sError), HISTORY_OK) << sError;
        }
        ASSERT_EQ(HistoryRunEnd(history.get(), run.sRunId, HistoryUtcNow(), 130, 2, &sError), HISTORY_OK)
            << sError;
        // What it wrote, it cannot read back.
        std::vector<HistoryRunRead> runs;
        EXPECT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_ERROR_READ);
        EXPECT_NE(sError.find("permission denied"), std::string::npos) << sError;
    }
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase, "reader"), HISTORY_READ, &history, &sError),
              HISTORY_OK)
        << sError;
    std::vector<HistoryRunRead> runs;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].sEndedBy, "2");
    std::vector<HistoryKeyboardRead> read;
    ASSERT_EQ(HistoryReadKeyboards(history.get(), HistoryFilter(), &read, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(read.size(), 3u);
    ExpectSameKeyboard(keyboards[0], read[2].keyboard);
    // A reader's session refuses writes even where its role could make them.
    ASSERT_EQ(HistoryOpen(PgServerUri(*server, sDatabase), HISTORY_READ, &history, &sError), HISTORY_OK)
        << sError;
    EXPECT_EQ(HistoryRunBegin(history.get(), SampleRun("run-2", "station-1"), &sError), HISTORY_ERROR_WRITE);
    EXPECT_NE(sError.find("read-only"), std::string::npos) << sError;
}

TEST(HistoryServer, PasswordIsNeverInMessagesOrStoredArguments) {
    std::string sError;
    PgServer* server = SharedPgServer(&sError);
    ASSERT_NE(server, nullptr) << sError;
    const std::string sPassword = "Pa55-word;x";
    // A database that does not exist: libpq says so, and the message names the target.
    std::string sMissing = PgServerUri(*server, "no_such_database", PG_SUPERUSER, sPassword);
    History history;
    EXPECT_EQ(HistoryOpen(sMissing, HISTORY_WRITE, &history, &sError), HISTORY_ERROR_OPEN);
    EXPECT_NE(sError.find("no_such_database"), std::string::npos) << sError;
    EXPECT_EQ(sError.find(sPassword), std::string::npos) << sError;
    std::string sDatabase = PgServerNewDatabase(server, &sError);
    ASSERT_FALSE(sDatabase.empty()) << sError;
    std::string sTarget = PgServerUri(*server, sDatabase, PG_SUPERUSER, sPassword);
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(HistoryStoreText(history.get()).find(sPassword), std::string::npos);
    HistoryRun run = SampleRun("run-1", "station-1");
    run.sArguments = HistoryRedactArguments({"kavelwrite", "--history=" + sTarget, "setup.kxb"});
    EXPECT_EQ(run.sArguments.find(sPassword), std::string::npos) << run.sArguments;
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    std::string sOutput;
    ASSERT_TRUE(PgServerSql(*server, sDatabase, "SELECT arguments FROM runs", &sOutput)) << sOutput;
    EXPECT_EQ(sOutput.find(sPassword), std::string::npos) << sOutput;
    EXPECT_NE(sOutput.find(sDatabase), std::string::npos) << sOutput;
    // A message of the server that quotes what was sent shows no password either.
    run.sRunId = sPassword;
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    EXPECT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_ERROR_WRITE);
    EXPECT_EQ(sError.find(sPassword), std::string::npos) << sError;
}

// The server goes away between two keyboards: the second fails whole and is named; the first stays.
TEST(HistoryServer, ServerGoneFailsTheKeyboardAndNamesIt) {
    PgServer server;
    std::string sError;
    ASSERT_TRUE(PgServerStart(&server, false, &sError)) << sError;
    std::string sDatabase = PgServerNewDatabase(&server, &sError);
    ASSERT_FALSE(sDatabase.empty()) << sError;
    History history;
    ASSERT_EQ(HistoryOpen(PgServerUri(server, sDatabase), HISTORY_WRITE, &history, &sError), HISTORY_OK)
        << sError;
    HistoryRun run = SampleRun("run-1", "station-1");
    ASSERT_EQ(HistoryRunBegin(history.get(), run, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, Keyboard(0, 0, HistoryUtcNow()), &sError),
              HISTORY_OK);
    std::string sDir = server.sDir;
    kill(server.pid, SIGQUIT);
    int nStatus = 0;
    waitpid(server.pid, &nStatus, 0);
    server.pid = 0;
    EXPECT_EQ(HistoryAddKeyboard(history.get(), run.sRunId, Keyboard(1, 0, HistoryUtcNow()), &sError),
              HISTORY_ERROR_WRITE);
    EXPECT_NE(sError.find("keyboard 1 of run run-1 not recorded"), std::string::npos) << sError;
    EXPECT_EQ(sError.rfind("postgresql://", 0), 0u) << sError;
    PgServerStop(&server);
}

} // namespace
