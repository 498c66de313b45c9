// kavelwrite --loop: a station writes batch after batch of virtual keyboards as they are plugged in,
// tells what it does on the console and in its event stream, and ends as the operator asks.
#include "history.h"
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <regex>
#include <sstream>

namespace {

const char* const KEYBOARD = "<Keyboard><Controller><Version>11 01 02 03</Version></Controller></Keyboard>";
const char* const FAILING_KEYBOARD = "<Keyboard><Controller><Version>11 01 02 "
                                     "03</Version></Controller><Inject Cmd=\"17\" Status=\"5\"/></Keyboard>";

std::string Batch(const std::string& keyboards, const std::string& attributes = "") {
    return "<Batch" + attributes + ">" + keyboards + "</Batch>";
}

// A batch plugged in 2.5 s after the one before was unplugged: the station sees the bus empty in
// two looks, even on a machine that is slow to wake it.
const char* const LATER = " PlugAfter=\"9C4\"";

// Three batches: two keyboards, one whose memory write fails, three.
std::string ThreeBatches() {
    return "<KavelSimulation>" + Batch(std::string(KEYBOARD) + KEYBOARD) + Batch(FAILING_KEYBOARD, LATER) +
           Batch(std::string(KEYBOARD) + KEYBOARD + KEYBOARD, LATER) + "</KavelSimulation>";
}

const std::string SCRIPT =
    "<XML_BIN_FILE>" + AnyDeviceElement() +
    "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"1000\">11 22</Data></BinMemory>"
    "</XML_BIN_FILE>\n";

struct Station : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        WriteFile(dir + "/s.kxb", SCRIPT);
    }
    void TearDown() override { RemoveTree(dir); }
    std::map<std::string, std::string> Env(const std::string& simulation) {
        WriteFile(dir + "/k.xml", simulation);
        return {{"KAVELHID_SIMULATION", dir + "/k.xml"}, {"KAVELHID_TRACE", dir + "/trace"}};
    }
    // The console without progress lines and the waits' lengths.
    static std::string Lines(const std::string& out) {
        std::string sLines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            line = line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
            line = std::regex_replace(line, std::regex("^Waiting [0-9]+ ms"), "Waiting N ms");
            sLines += line + "\n";
        }
        return sLines;
    }
    std::string dir;
};

TEST_F(Station, WritesEachBatchOnceAndEndsWithTheLastFailure) {
    RunOutcome run =
        RunKavelwrite({"s.kxb", "--loop", "--batches", "3", "--events", "ev"}, Env(ThreeBatches()), dir);
    EXPECT_EQ(run.exitStatus, 166);
    std::string sLines = Lines(run.out);
    for (const char* txtLine :
         {"Kxb file check: Pass\nWaiting for keyboards (Ctrl-C ends the station)\nBatch 1\n2 Kavel device(s) "
          "detected\n",
          "Batch 1: 2 of 2 keyboards written\nUnplug the keyboards\nWaiting for keyboards (Ctrl-C ends the "
          "station)\n"
          "Batch 2\n1 Kavel device(s) detected\n",
          "Batch 2: 0 of 1 keyboards written; failed: device0 (166)\nUnplug the keyboards\n",
          "Batch 3: 3 of 3 keyboards written\nStation: 3 batches, 6 keyboards, 5 written, 1 failed\n"}) {
        EXPECT_NE(sLines.find(txtLine), std::string::npos) << txtLine << "\n---\n" << sLines;
    }
    // Every keyboard gets its write once, and each batch is reset and waited for once.
    std::string trace = ReadFile(dir + "/trace");
    EXPECT_EQ(Count(trace, "cmd=17 "), 6);
    EXPECT_EQ(Count(trace, "cmd=F1 "), 5);

    // The events say what the console says, one object a line.
    std::istringstream events(ReadFile(dir + "/ev"));
    std::vector<nlohmann::json> arEvent;
    for (std::string line; std::getline(events, line);) arEvent.push_back(nlohmann::json::parse(line));
    ASSERT_FALSE(arEvent.empty());
    EXPECT_EQ(arEvent.front()["event"], "start");
    EXPECT_EQ(arEvent.front()["check"], "pass");
    const nlohmann::json& end = arEvent.back();
    EXPECT_EQ(end["event"], "end");
    EXPECT_EQ(end["status"], 166);
    EXPECT_EQ(end["batches"], 3);
    EXPECT_EQ(end["written"], 5);
    EXPECT_EQ(end["endedBy"], "exit");
    std::string sResults;
    for (const nlohmann::json& event : arEvent) {
        EXPECT_TRUE(event["time"].is_string());
        if (event["event"] == "result")
            sResults += std::to_string(event["batch"].get<int>()) + ":" +
                        std::to_string(event["keyboard"].get<int>()) + "=" +
                        std::to_string(event["status"].get<int>()) + " ";
        if (event["event"] == "batchEnd" && event["batch"] == 2) {
            EXPECT_EQ(event["failed"], 1);
        }
        // Each batch has the script's places: the failed write is named where its Data child stands.
        if (event["event"] == "result" && event["status"] != 0) {
            EXPECT_EQ(event["failedAt"], "s.kxb:1:" + std::to_string(SCRIPT.find("<Data") + 2));
        }
    }
    EXPECT_EQ(sResults, "1:0=0 1:1=0 2:0=166 3:0=0 3:1=0 3:2=0 ");
}

TEST_F(Station, CtrlCWhileWaitingEndsTheStationAndDuringABatchStopsIt) {
    // Nothing is plugged in for a minute: the station waits. One Ctrl-C: a second ends it at once.
    bool bPressed = false;
    RunOutcome waiting =
        RunPiped(KAVELWRITE_BIN, {"s.kxb", "--loop"},
                 Env("<KavelSimulation>" + Batch(KEYBOARD, " PlugAfter=\"EA60\"") + "</KavelSimulation>"),
                 dir, [&](const std::string& out, pid_t pid) {
                     if (!bPressed && out.find("Waiting for keyboards") != std::string::npos) {
                         bPressed = true;
                         kill(pid, SIGINT);
                     }
                     return true;
                 });
    EXPECT_EQ(waiting.exitStatus, 0);
    EXPECT_NE(waiting.out.find("Station: 0 batches, 0 keyboards, 0 written, 0 failed\n"), std::string::npos)
        << waiting.out;
    EXPECT_EQ(waiting.out.find("ERROR"), std::string::npos) << waiting.out;

    // Ctrl-C as the first keyboard's memory write is sent: that batch stops before its next message.
    RunOutcome stopped =
        RunKavelwrite({"s.kxb", "--loop", "--logfile"},
                      Env("<KavelSimulation>" +
                          Batch("<Keyboard><Controller><Version>11 01 02 03</Version></Controller>"
                                "<Inject Cmd=\"17\" Count=\"1\" Signal=\"2\"/></Keyboard>" +
                                std::string(KEYBOARD)) +
                          "</KavelSimulation>"),
                      dir);
    EXPECT_EQ(stopped.exitStatus, 130);
    std::string sLines = Lines(stopped.out);
    EXPECT_NE(
        sLines.find(" ERROR: Interrupted - keyboard not reset.\nBatch 1: 0 of 1 keyboards written; failed: "
                    "device0 (130)\nERROR: Interrupted by signal 2\nStation: 1 batches, 1 keyboards, 0 "
                    "written, 1 failed\n"),
        std::string::npos)
        << sLines;
    EXPECT_EQ(FindLogFiles(dir, "s.kxb").size(), 1u);
}

TEST_F(Station, KeyboardsPluggedWithinALookAreOneBatchAndEachBatchKeepsItsOwnLogAndRun) {
    std::string sEventsAtSecondKeyboard;
    RunOutcome run = RunPiped(
        KAVELWRITE_BIN,
        {"s.kxb", "--loop", "--batches", "2", "--logfile", "--events", "ev", "--history", dir + "/record.db"},
        // The first batch's second keyboard is plugged in 300 ms after the first: one batch still.
        Env("<KavelSimulation>" +
            Batch(std::string(KEYBOARD) + "<Keyboard PlugAfter=\"12C\"><Controller><Version>11 01 02 "
                                          "03</Version></Controller></Keyboard>") +
            Batch(KEYBOARD, LATER) + "</KavelSimulation>"),
        dir, [&](const std::string& out, pid_t) {
            if (sEventsAtSecondKeyboard.empty() && out.find("device1:") != std::string::npos)
                sEventsAtSecondKeyboard = ReadFile(dir + "/ev");
            return true;
        });
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Batch 1\n2 Kavel device(s) detected\n"), std::string::npos) << run.out;
    EXPECT_NE(sEventsAtSecondKeyboard.find("\"event\":\"result\",\"time\""), std::string::npos)
        << sEventsAtSecondKeyboard;
    // Each batch is a run of the record, the two of one session.
    History history;
    std::string sError;
    std::vector<HistoryRunRead> runs;
    ASSERT_EQ(HistoryOpen(dir + "/record.db", HISTORY_READ, &history, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(HistoryReadRuns(history.get(), HistoryFilter(), &runs, &sError), HISTORY_OK) << sError;
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].run.sBatch + runs[1].run.sBatch, "21");
    EXPECT_EQ(runs[0].run.sSession, runs[1].run.sSession);
    EXPECT_FALSE(runs[0].run.sSession.empty());
    EXPECT_EQ(runs[0].lKeyboards + runs[1].lKeyboards, 3);
    std::vector<std::string> logs = FindLogFiles(dir, "s.kxb");
    ASSERT_EQ(logs.size(), 2u);
    for (const std::string& log : logs) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file((dir + "/" + log).c_str())) << log;
        // A batch's log holds the annotations of its own stamp only.
        std::string sStamp = log.substr(log.rfind('_') + 1);
        std::string text = ReadFile(dir + "/" + log);
        std::smatch found;
        for (std::string rest = text; std::regex_search(rest, found, std::regex("t[0-9]{14}"));
             rest = found.suffix())
            EXPECT_EQ(found.str(), sStamp);
    }
}

} // namespace
