// kxb history against a record of known runs, made through the record's own library, in a SQLite
// file and in a database of the suite's PostgreSQL server: what it lists, selects and sums up, as
// lines, JSON and CSV, and how it fails.
#include "history.h"
#include "pg_server.h"
#include "record_support.h"
#include "run_binary.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const char* const txtSCRIPT = "/srv/line/setup.kxb";
const char* const txtODD_SCRIPT = "/srv/line/odd, \"quoted\".kxb";

std::string OldHash() {
    return Sha256Hex("old script", 10);
}
std::string NewHash() {
    return Sha256Hex("new script", 10);
}

std::string UpperCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

HistoryKeyboard Keyboard(int nKeyboard, const std::string& sStarted, int nOutcome,
                         const std::string& sFailedAt = "") {
    HistoryKeyboard keyboard;
    keyboard.nKeyboard = nKeyboard;
    keyboard.sStarted = keyboard.sEnded = sStarted;
    keyboard.nOutcome = nOutcome;
    keyboard.sFailedAt = sFailedAt;
    keyboard.arUnit = {{"controller", 0x21, "1.2.3.0", 0}, {"3", 0x42, "2.1.0.0", 2}};
    return keyboard;
}

// Four runs: A wrote the old script on station-1 (one written, a write error, one not suitable);
// B wrote the new one on station-2; C failed the check; D was killed during its keyboard.
void WriteKnownRecord(const std::string& sTarget) {
    History history;
    std::string sError;
    ASSERT_EQ(HistoryOpen(sTarget, HISTORY_WRITE, &history, &sError), HISTORY_OK) << sError;
    HistoryStore* store = history.get();
    HistoryRun check =
        TestRun("C", "station-2", "2026-12-08T23:59:59.000Z", txtODD_SCRIPT, Sha256Hex("odd", 3));
    check.sCheckOutcome = "PARSE_ERROR: Data";
    HistoryKeyboard verified = Keyboard(0, "2026-12-08T09:00:05.000Z", 0);
    verified.sVerify = "match";
    const int arStatus[] = {
        HistoryRunBegin(store, TestRun("A", "station-1", "2026-12-07T08:00:00.000Z", txtSCRIPT, OldHash()),
                        &sError),
        HistoryAddKeyboard(store, "A", Keyboard(0, "2026-12-07T08:00:05.000Z", 0), &sError),
        HistoryAddKeyboard(store, "A", Keyboard(1, "2026-12-07T08:00:15.000Z", 166, "setup.kxb:14:5"),
                           &sError),
        HistoryAddKeyboard(store, "A", Keyboard(2, "2026-12-07T08:00:25.000Z", 165, "setup.kxb:3:3"),
                           &sError),
        HistoryRunEnd(store, "A", "2026-12-07T08:00:30.000Z", 166, 0, &sError),
        HistoryRunBegin(store, TestRun("B", "station-2", "2026-12-08T09:00:00.000Z", txtSCRIPT, NewHash()),
                        &sError),
        HistoryAddKeyboard(store, "B", verified, &sError),
        HistoryAddKeyboard(store, "B", Keyboard(1, "2026-12-08T09:00:15.000Z", 0), &sError),
        HistoryRunEnd(store, "B", "2026-12-08T09:00:20.000Z", 0, 0, &sError),
        HistoryRunBegin(store, check, &sError),
        HistoryRunEnd(store, "C", "2026-12-09T00:00:00.000Z", 160, 0, &sError),
        HistoryRunBegin(store, TestRun("D", "station-1", "2026-12-09T07:00:00.000Z", txtSCRIPT, NewHash()),
                        &sError),
        HistoryAddKeyboard(store, "D", Keyboard(0, "2026-12-09T07:00:01.000Z", 130), &sError),
    };
    for (int nStatus : arStatus) ASSERT_EQ(nStatus, HISTORY_OK) << sError;
}

// The records of CSV text: fields split at commas outside quotes, doubled quotes undone, records
// ended by CR LF.
std::vector<std::vector<std::string>> ParseCsv(const std::string& sText) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string sField;
    bool bQuoted = false;
    for (size_t i = 0; i < sText.size(); i++) {
        char c = sText[i];
        if (bQuoted) {
            if (c == '"' && i + 1 < sText.size() && sText[i + 1] == '"') {
                sField += '"';
                i++;
            } else if (c == '"') {
                bQuoted = false;
            } else {
                sField += c;
            }
        } else if (c == '"') {
            bQuoted = true;
        } else if (c == ',') {
            row.push_back(sField);
            sField.clear();
        } else if (c == '\r' && i + 1 < sText.size() && sText[i + 1] == '\n') {
            row.push_back(sField);
            rows.push_back(row);
            row.clear();
            sField.clear();
            i++;
        } else {
            sField += c;
        }
    }
    EXPECT_TRUE(sField.empty() && row.empty()) << "CSV does not end with CR LF";
    return rows;
}

// Each row as the named columns' values joined by ":", the header checked and left out.
std::vector<std::string> Columns(const std::string& sCsv, const std::vector<std::string>& arNames) {
    std::vector<std::vector<std::string>> rows = ParseCsv(sCsv);
    std::vector<std::string> arJoined;
    if (rows.empty()) return arJoined;
    std::vector<size_t> arIndex;
    for (const std::string& sName : arNames) {
        auto found = std::find(rows[0].begin(), rows[0].end(), sName);
        EXPECT_NE(found, rows[0].end()) << sName;
        arIndex.push_back(found == rows[0].end() ? 0 : static_cast<size_t>(found - rows[0].begin()));
    }
    for (size_t r = 1; r < rows.size(); r++) {
        EXPECT_EQ(rows[r].size(), rows[0].size()) << "row " << r;
        std::string sJoined;
        for (size_t i : arIndex)
            sJoined += (sJoined.empty() ? "" : ":") + (i < rows[r].size() ? rows[r][i] : "");
        arJoined.push_back(sJoined);
    }
    return arJoined;
}

class KxbHistoryRecord : public ::testing::TestWithParam<Engine> {
protected:
    void SetUp() override {
        sDir = MakeTempDir();
        ASSERT_FALSE(sDir.empty());
        sTarget = NewRecordTarget(GetParam(), sDir);
        ASSERT_FALSE(sTarget.empty());
        WriteKnownRecord(sTarget);
        WriteFile(sDir + "/old.kxb", "old script");
    }

    void TearDown() override { RemoveTree(sDir); }

    RunOutcome Kxb(std::vector<std::string> arArgs, bool bTarget = true) {
        arArgs.insert(arArgs.begin(), "history");
        if (bTarget) arArgs.push_back(sTarget);
        return RunKxb(arArgs, {{"KAVELWRITE_HISTORY", ""}}, sDir);
    }

    std::string sDir;
    std::string sTarget;
};

TEST_P(KxbHistoryRecord, FiltersSelectKeyboardsNewestFirst) {
    const struct {
        std::vector<std::string> arArgs;
        std::vector<std::string> arExpected; // run:keyboard
    } arCase[] = {
        {{}, {"D:0", "B:1", "B:0", "A:2", "A:1", "A:0"}},
        {{"--since", "2026-12-08"}, {"D:0", "B:1", "B:0"}},
        {{"--until", "2026-12-08"}, {"B:1", "B:0", "A:2", "A:1", "A:0"}},
        {{"--since", "2026-12-08", "--until", "2026-12-08"}, {"B:1", "B:0"}},
        {{"--since", "2026-12-07 08:00:15"}, {"D:0", "B:1", "B:0", "A:2", "A:1"}},
        {{"--until", "2026-12-07T08:00:15Z"}, {"A:0"}},
        {{"--station", "station-1"}, {"D:0", "A:2", "A:1", "A:0"}},
        {{"--script", "old.kxb"}, {"A:2", "A:1", "A:0"}},
        {{"--script", NewHash().substr(0, 8)}, {"D:0", "B:1", "B:0"}},
        {{"--script", UpperCase(OldHash())}, {"A:2", "A:1", "A:0"}},
        {{"--failed"}, {"D:0", "A:2", "A:1"}},
        {{"--limit", "2"}, {"D:0", "B:1"}},
        {{"--failed", "--station", "station-1", "--limit", "1"}, {"D:0"}},
        {{"--station", "station-3"}, {}},
    };
    for (const auto& test : arCase) {
        std::vector<std::string> arArgs = test.arArgs;
        arArgs.push_back("--csv");
        RunOutcome outcome = Kxb(arArgs);
        ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(Columns(outcome.out, {"run", "keyboard"}), test.arExpected)
            << ::testing::PrintToString(test.arArgs);
    }
}

TEST_P(KxbHistoryRecord, LinesNameTimeStationScriptOutcomeAndUnits) {
    RunOutcome outcome = Kxb({});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    std::vector<std::string> arLines;
    for (size_t n = 0, e; (e = outcome.out.find('\n', n)) != std::string::npos; n = e + 1) {
        arLines.push_back(outcome.out.substr(n, e - n));
    }
    ASSERT_EQ(arLines.size(), 7u) << outcome.out;
    EXPECT_EQ(arLines[0].rfind("Started (UTC)", 0), 0u) << arLines[0];
    const struct {
        size_t nLine;
        std::vector<std::string> arParts;
    } arCase[] = {
        {1,
         {"2026-12-09 07:00:01.000", "station-1", "setup.kxb " + NewHash().substr(0, 8),
          "interrupted (signal 2)"}},
        {3,
         {"2026-12-08 09:00:05.000", "station-2", "written", "match",
          "controller Id=21 Ver=1.2.3.0, 3 Id=42 IdSub=2 Ver=2.1.0.0"}},
        {4, {"setup.kxb " + OldHash().substr(0, 8), "not suitable", "setup.kxb:3:3"}},
        {5, {"write error", "setup.kxb:14:5"}},
    };
    for (const auto& test : arCase) {
        for (const std::string& sPart : test.arParts) {
            EXPECT_NE(arLines[test.nLine].find(sPart), std::string::npos)
                << sPart << " in: " << arLines[test.nLine];
        }
    }
}

TEST_P(KxbHistoryRecord, JsonHoldsEveryKeyboardWithItsRunAndUnits) {
    RunOutcome outcome = Kxb({"--json", "--station", "station-2"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    nlohmann::json report = nlohmann::json::parse(outcome.out);
    ASSERT_EQ(report["keyboards"].size(), 2u) << outcome.out;
    nlohmann::json expected = {
        {"run", "B"},
        {"station", "station-2"},
        {"scriptSha256", NewHash()},
        {"keyboard", 0},
        {"started", "2026-12-08T09:00:05.000Z"},
        {"outcome", 0},
        {"outcomeText", "written"},
        {"failedAt", ""},
        {"verify", "match"},
        {"units",
         {{{"unit", "controller"}, {"typeId", 0x21}, {"version", "1.2.3.0"}, {"subId", 0}},
          {{"unit", "3"}, {"typeId", 0x42}, {"version", "2.1.0.0"}, {"subId", 2}}}}};
    for (const auto& item : expected.items())
        EXPECT_EQ(report["keyboards"][1][item.key()], item.value()) << item.key();
}

TEST_P(KxbHistoryRecord, SummaryCountsEveryScriptAndDay) {
    RunOutcome outcome = Kxb({"--summary", "--csv"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    std::vector<std::string> arExpected = {
        "2026-12-09:" + NewHash() + ":1:0:1:0.0:130=1",
        "2026-12-08:" + NewHash() + ":2:2:0:100.0:",
        "2026-12-07:" + OldHash() + ":3:1:2:33.3:165=1;166=1",
    };
    EXPECT_EQ(Columns(outcome.out,
                      {"day", "script_sha256", "attempts", "written", "failed", "yield", "by_outcome"}),
              arExpected);
    outcome = Kxb({"--summary", "--csv", "--limit", "2", "--station", "station-1"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(Columns(outcome.out, {"day", "attempts"}),
              std::vector<std::string>({"2026-12-09:1", "2026-12-07:3"}));
    // A limit above what there is adds nothing.
    outcome = Kxb({"--summary", "--csv", "--limit", "9", "--station", "station-1"});
    EXPECT_EQ(Columns(outcome.out, {"day", "attempts"}),
              std::vector<std::string>({"2026-12-09:1", "2026-12-07:3"}));
    outcome = Kxb({"--summary", "--json", "--since", "2026-12-07", "--until", "2026-12-07"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    nlohmann::json report = nlohmann::json::parse(outcome.out);
    ASSERT_EQ(report["summary"].size(), 1u);
    const nlohmann::json& line = report["summary"][0];
    EXPECT_EQ(line["script"], txtSCRIPT);
    EXPECT_EQ(line["attempts"], 3);
    EXPECT_EQ(line["written"], 1);
    EXPECT_EQ(line["failed"], 2);
    EXPECT_DOUBLE_EQ(line["yield"].get<double>(), 33.3);
    EXPECT_EQ(line["byOutcome"], nlohmann::json({{"165", 1}, {"166", 1}}));
    outcome = Kxb({"--summary"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("33.3 %  not suitable 1, write error 1"), std::string::npos) << outcome.out;
}

TEST_P(KxbHistoryRecord, RunsShowTheCheckFailureAndTheRunWithoutEnd) {
    RunOutcome outcome = Kxb({"--runs", "--csv"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    std::vector<std::string> arExpected = {"D:pass:1:1::", "C:PARSE_ERROR: Data:0:0:160:exit",
                                           "B:pass:2:0:0:exit", "A:pass:3:2:166:exit"};
    EXPECT_EQ(
        Columns(outcome.out, {"run", "check_outcome", "keyboards", "failed", "exit_status", "ended_by"}),
        arExpected);
    // The odd script's name comes back whole through CSV's quotes.
    EXPECT_EQ(Columns(outcome.out, {"script"})[1], txtODD_SCRIPT);
    outcome = Kxb({"--runs", "--failed", "--csv"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(Columns(outcome.out, {"run"}), std::vector<std::string>({"D", "C", "A"}));
    outcome = Kxb({"--runs"});
    ASSERT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("no end"), std::string::npos) << outcome.out;
}

INSTANTIATE_TEST_SUITE_P(Record, KxbHistoryRecord, ::testing::Values(FILE_ENGINE, SERVER_ENGINE), EngineName);

TEST(KxbHistoryFails, WithItsStatusAndAMessageNamingTheTarget) {
    std::string sDir = MakeTempDir();
    WriteFile(sDir + "/notes.txt", "not a record\n");
    std::string sError;
    PgServer* server = SharedPgServer(&sError);
    ASSERT_NE(server, nullptr) << sError;
    std::string sMissingDatabase = PgServerUri(*server, "no_such_database", PG_SUPERUSER, "secret-word");
    const struct {
        std::vector<std::string> arArgs;
        std::map<std::string, std::string> env;
        int nStatus;
        std::string sError; // a part of standard error
    } arCase[] = {
        {{"history", "missing.db"}, {}, 171, "kxb history: ERROR: missing.db: No such file or directory"},
        {{"history", "notes.txt"}, {}, 171, "notes.txt: file is not a database"},
        {{"history"}, {{"KAVELWRITE_HISTORY", "notes.txt"}}, 171, "notes.txt: file is not a database"},
        {{"history", sMissingDatabase}, {}, 171, "no_such_database"},
        {{"history"}, {}, 2, "no record named"},
        {{"history", "--summary", "--runs", "x.db"}, {}, 2, "name one"},
        {{"history", "--json", "--csv", "x.db"}, {}, 2, "name one"},
        {{"history", "--since", "2026-02-30", "x.db"}, {}, 2, "--since takes a date"},
        {{"history", "--limit", "-1", "x.db"}, {}, 2, "--limit takes a number"},
        {{"history", "--script", "1234567", "x.db"}, {}, 2, "--script takes a script file"},
        {{"history", "--create", "--failed", "x.db"}, {}, 2, "--create takes the target alone"},
        {{"history", "a.db", "b.db"}, {}, 2, "one record at a time"},
        {{"history", "--create", "no/such/folder/record.db"}, {}, 171, "no/such/folder/record.db"},
    };
    for (const auto& test : arCase) {
        std::map<std::string, std::string> env = test.env;
        env.emplace("KAVELWRITE_HISTORY", "");
        RunOutcome outcome = RunKxb(test.arArgs, env, sDir);
        EXPECT_EQ(outcome.exitStatus, test.nStatus) << ::testing::PrintToString(test.arArgs) << outcome.err;
        EXPECT_NE(outcome.err.find(test.sError), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("secret-word"), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
    EXPECT_EQ(ReadFile(sDir + "/notes.txt"), "not a record\n");
    EXPECT_FALSE(FileExists(sDir + "/missing.db"));
    RemoveTree(sDir);
}

TEST(KxbHistoryCreate, MakesTheTablesThatAReaderThenFindsEmpty) {
    std::string sDir = MakeTempDir();
    RunOutcome outcome = RunKxb({"history", "--create", "record.db"}, {}, sDir);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "record.db: holds the record's tables, layout 1\n");
    outcome = RunKxb({"history", "--runs"}, {{"KAVELWRITE_HISTORY", "record.db"}}, sDir);
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out, "No run in the record matches.\n");
    RemoveTree(sDir);
}

} // namespace
