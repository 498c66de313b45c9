// kavelwrite --history on a SQLite file and on the suite's PostgreSQL server: the rows that a run
// leaves say what its console and its log file say, a killed run keeps every finished keyboard, a
// server that goes away stops the run before the next keyboard, and a record that cannot be kept
// stops the run before any keyboard, without ever showing a password.
#include "history.h"
#include "pg_server.h"
#include "record_support.h"
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

// The Device element on line 2 asks for a controller of type 11; the Data child stands on line 4.
std::string Script() {
    std::string sDevice = AnyDeviceElement();
    sDevice.replace(sDevice.find("Id=\"xx\""), 7, "Id=\"11\"");
    return "<XML_BIN_FILE>\n" + sDevice + "\n<BinMemory><DST>2</DST><CMD>17</CMD>\n" +
           "<Data Address=\"1000\">11 22</Data></BinMemory>\n</XML_BIN_FILE>\n";
}
const std::string SCRIPT = Script();

// Written; its memory write fails; another controller type, not suitable.
const char* const THREE_KEYBOARDS = R"(<KavelSimulation>
<Keyboard><Controller><Version>11 01 02 03</Version></Controller></Keyboard>
<Keyboard><Controller><Version>11 01 02 03</Version></Controller><Inject Cmd="17" Status="5"/></Keyboard>
<Keyboard><Controller><Version>12 01 02 03</Version></Controller></Keyboard>
</KavelSimulation>)";

class RecordedRun : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        sDir = MakeTempDir();
        WriteFile(sDir + "/s.kxb", SCRIPT);
        sTarget = NewRecordTarget(GetParam(), sDir, &server, &sDatabase);
        ASSERT_FALSE(sTarget.empty());
    }
    void TearDown() override { RemoveTree(sDir); }

    RunOutcome Run(std::vector<std::string> arArgs, const std::string& sKeyboards) {
        WriteFile(sDir + "/k.xml", sKeyboards);
        return RunKavelwrite(arArgs, Env(), sDir);
    }
    std::map<std::string, std::string> Env() {
        return {{"KAVELHID_SIMULATION", sDir + "/k.xml"},
                {"KAVELHID_TRACE", sDir + "/trace"},
                {"KAVELWRITE_HISTORY", ""},
                {"KAVELWRITE_STATION", "bench-7"}};
    }
    // Oldest first, as they were written.
    std::vector<HistoryKeyboardRead> Keyboards() {
        std::vector<HistoryKeyboardRead> keyboards = ReadRecordKeyboards(sTarget);
        std::reverse(keyboards.begin(), keyboards.end());
        return keyboards;
    }
    std::string sDir;
    std::string sTarget;
    PgServer* server = nullptr;
    std::string sDatabase;
};

TEST_P(RecordedRun, RowsSayWhatTheConsoleAndTheLogFileSay) {
    RunOutcome run = Run({"s.kxb", "--verify", "--logfile", "--history", sTarget}, THREE_KEYBOARDS);
    ASSERT_EQ(run.exitStatus, 165) << run.out;
    std::vector<HistoryKeyboardRead> keyboards = Keyboards();
    ASSERT_EQ(keyboards.size(), 3u);
    const HistoryRun& row = keyboards[0].run;
    EXPECT_EQ(row.sStation, "bench-7");
    EXPECT_EQ(row.sProgram, "kavelwrite 0.0.4");
    EXPECT_EQ(row.sLibrary, "1.0.0");
    EXPECT_EQ(row.sScriptPath, sDir + "/s.kxb");
    std::string sHash;
    ASSERT_TRUE(Sha256FileHex(sDir + "/s.kxb", &sHash));
    EXPECT_EQ(row.sScriptSha256, sHash);
    EXPECT_EQ(row.sCheckOutcome, "pass");
    EXPECT_EQ(row.sBatch, "");

    // What each keyboard's block ends with, and where the log file annotates its failure.
    std::vector<std::string> logs = FindLogFiles(sDir, "s.kxb");
    ASSERT_EQ(logs.size(), 1u);
    std::string log = ReadFile(sDir + "/" + logs[0]);
    EXPECT_NE(log.find("_device1=\"ERROR=5\""), std::string::npos) << log;
    const struct {
        int nOutcome;
        const char* txtConsole;
        const char* txtFailedAt;
        const char* txtVerify;
        bool bReset;
    } expected[] = {
        {0, "device0:\n", "", "match", true},
        {166, "device1:\n", "s.kxb:4:2", "", false},
        {165, "device2:\n", "s.kxb:2:2", "", false},
    };
    for (size_t i = 0; i < keyboards.size(); i++) {
        SCOPED_TRACE(i);
        const HistoryKeyboard& keyboard = keyboards[i].keyboard;
        EXPECT_EQ(keyboards[i].run.sRunId, row.sRunId);
        EXPECT_EQ(keyboard.nKeyboard, static_cast<int>(i));
        EXPECT_EQ(keyboard.nOutcome, expected[i].nOutcome);
        EXPECT_NE(run.out.find(expected[i].txtConsole), std::string::npos);
        EXPECT_EQ(keyboard.sFailedAt, expected[i].txtFailedAt);
        EXPECT_EQ(keyboard.sVerify, expected[i].txtVerify);
        EXPECT_EQ(keyboard.bReset, expected[i].bReset);
        ASSERT_FALSE(keyboard.arUnit.empty());
        EXPECT_EQ(keyboard.arUnit[0].sUnit, "controller");
        EXPECT_EQ(keyboard.arUnit[0].nTypeId, i < 2 ? 0x11 : 0x12);
        EXPECT_EQ(keyboard.arUnit[0].sVersion, "1.2.3.0");
    }
    EXPECT_EQ(keyboards[0].keyboard.nVerifiedBytes, 2);
    EXPECT_EQ(keyboards[0].keyboard.sImageSha256.size(), 64u);
    std::vector<HistoryRunRead> runs = ReadRecordRuns(sTarget);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].bEnded);
    EXPECT_EQ(runs[0].nExitStatus, 165);
    EXPECT_EQ(runs[0].sEndedBy, "exit");
}

TEST_P(RecordedRun, AKilledRunKeepsItsFinishedKeyboardsAndHasNoEnd) {
    WriteFile(sDir + "/k.xml", TWO_KEYBOARDS);
    RunOutcome killed = RunPiped(KAVELWRITE_BIN, {"s.kxb", "--history", sTarget}, Env(), sDir,
                                 [](const std::string& out, pid_t pid) {
                                     if (out.find("device1:") != std::string::npos) kill(pid, SIGKILL);
                                     return true;
                                 });
    ASSERT_EQ(killed.signal, SIGKILL);
    std::vector<HistoryKeyboardRead> keyboards = Keyboards();
    ASSERT_EQ(keyboards.size(), 1u);
    EXPECT_EQ(keyboards[0].keyboard.nOutcome, 0);
    std::vector<HistoryRunRead> runs = ReadRecordRuns(sTarget);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_FALSE(runs[0].bEnded);
}

INSTANTIATE_TEST_SUITE_P(Record, RecordedRun, ::testing::Values(FILE_ENGINE, SERVER_ENGINE), EngineName);

// A server that goes away mid-run: the keyboard in hand is finished, its missing rows are named, and
// no further keyboard is opened.
class ServerRun : public RecordedRun {};

TEST_P(ServerRun, ARowThatCannotBeWrittenEndsTheRunBeforeTheNextKeyboard) {
    WriteFile(sDir + "/k.xml",
              std::string("<KavelSimulation>") + "<Keyboard><Controller><Version>11 01 02 03</Version>" +
                  "</Controller></Keyboard>" + "<Keyboard><Controller><Version>11 01 02 03</Version>" +
                  "</Controller></Keyboard><Keyboard><Controller><Version>11 01 02 03</Version>" +
                  "</Controller></Keyboard></KavelSimulation>");
    bool bCut = false;
    RunOutcome run = RunPiped(KAVELWRITE_BIN, {"s.kxb", "--history", sTarget}, Env(), sDir,
                              [&](const std::string& out, pid_t) {
                                  if (!bCut && out.find("device1:") != std::string::npos) {
                                      bCut = true;
                                      std::string sOutput;
                                      PgServerSql(*server, "postgres",
                                                  "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                                  "WHERE datname = '" +
                                                      sDatabase + "'",
                                                  &sOutput);
                                  }
                                  return true;
                              });
    EXPECT_EQ(run.exitStatus, 171);
    EXPECT_NE(run.out.find("device1:\n Writing progress"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" Done.\nERROR: History error: the row of device1 is missing: "),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("device2:"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(Record, ServerRun, ::testing::Values(SERVER_ENGINE), EngineName);

// A record that cannot be kept ends the run with 171 before any keyboard, and a password in a URI
// is shown nowhere.
TEST(RecordTargets, ThatCannotBeKeptEndTheRunBeforeAnyKeyboard) {
    std::string sDir = MakeTempDir();
    std::string sError;
    PgServer* server = SharedPgServer(&sError);
    ASSERT_NE(server, nullptr) << sError;
    WriteFile(sDir + "/s.kxb", SCRIPT);
    WriteFile(sDir + "/k.xml", TWO_KEYBOARDS);
    WriteFile(sDir + "/notes.txt", "not a database\n");
    const std::string sRefused = PgServerUri(*server, "no_such_database", "nobody_here", "sekrit");
    const struct {
        std::vector<std::string> arArgs;
        const char* txtSaid;
    } cases[] = {
        {{"s.kxb", "--history", "notes.txt"}, "ERROR: History error: notes.txt"},
        {{"s.kxb", "--history", "s.kxb"}, "ERROR: History error: s.kxb: it is the script"},
        {{"s.kxb", "--history"}, "ERROR: History target parameter missing"},
        {{"s.kxb", "--history", sRefused}, "ERROR: History error: postgresql://"},
        {{"--history=" + sRefused, "s.kxb", "--record", "rec"}, "ERROR: History error: postgresql://"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arArgs[1]);
        RunOutcome run = RunKavelwrite(c.arArgs,
                                       {{"KAVELHID_SIMULATION", sDir + "/k.xml"},
                                        {"KAVELHID_TRACE", sDir + "/trace"},
                                        {"KAVELWRITE_HISTORY", ""}},
                                       sDir);
        EXPECT_EQ(run.exitStatus, 171);
        EXPECT_NE(run.out.find(c.txtSaid), std::string::npos) << run.out;
        EXPECT_EQ(ReadFile(sDir + "/trace"), "") << "a keyboard was looked for";
        EXPECT_EQ(run.out.find("sekrit") + run.err.find("sekrit"), 2 * std::string::npos)
            << run.out << run.err;
    }
    EXPECT_EQ(ReadFile(sDir + "/s.kxb"), SCRIPT);
    EXPECT_EQ(ReadFile(sDir + "/rec").find("sekrit"), std::string::npos);
    RemoveTree(sDir);
}

} // namespace
