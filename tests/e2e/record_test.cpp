// --record and its replay: a run recorded on any library and replayed on the virtual keyboard
// prints, exits and logs as the recorded run did; a program that strays from the recording is
// told where; a recording of a killed run holds every call it made.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <sstream>

namespace {

// Three keyboards: the first, with a module, writes; the second is busy twice at the Command, the
// third fails the memory write.
const char* const STATION = R"(<KavelSimulation><LibraryVersion>1.4.2</LibraryVersion>
<Keyboard><Controller><Version>11 01 02 03</Version><Config>66</Config></Controller>
<Module Slot="0"><Version>66 02 01 CE 12</Version></Module></Keyboard>
<Keyboard><Controller><Version>11 01 02 03</Version></Controller><Inject Cmd="30" Count="2" Status="119"/></Keyboard>
<Keyboard><Controller><Version>11 01 02 03</Version></Controller><Inject Cmd="17" Status="5"/></Keyboard>
</KavelSimulation>)";

std::string Script(const std::string& bytes) {
    return "<XML_BIN_FILE>" + AnyDeviceElement() +
           "<Command><DST>F</DST><CMD>30</CMD></Command>"
           "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"1000\">" +
           bytes + "</Data></BinMemory></XML_BIN_FILE>";
}

struct Record : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        WriteFile(dir + "/k.xml", STATION);
        WriteFile(dir + "/s.kxb", Script("11 22"));
    }
    void TearDown() override { RemoveTree(dir); }
    // The program run on the station, recording into rec.
    RunOutcome Recorded(const std::string& program, std::vector<std::string> args) {
        args.insert(args.end(), {"--record", "rec"});
        return RunProgram(program, args, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    }
    RunOutcome Replayed(const std::string& program, const std::vector<std::string>& args) {
        return RunProgram(program, args, {{"KAVELHID_REPLAY", dir + "/rec"}}, dir);
    }
    // The log file that the last run left, its stamps masked, and removed.
    std::string TakeLog() {
        std::vector<std::string> logs = FindLogFiles(dir, "s.kxb");
        if (logs.size() != 1) return "no single log file";
        std::string log = MaskStamps(ReadFile(dir + "/" + logs[0]));
        std::remove((dir + "/" + logs[0]).c_str());
        return log;
    }
    std::string dir;
};

TEST_F(Record, AReplayedRunPrintsExitsAndLogsAsTheRecordedRun) {
    for (const std::string& program : {std::string(KAVELWRITE_BIN), std::string(KXB_BIN)}) {
        bool bKxb = program == KXB_BIN;
        std::vector<std::string> args = bKxb ? std::vector<std::string>{"verify", "s.kxb"}
                                             : std::vector<std::string>{"s.kxb", "--logfile"};
        RunOutcome plain = RunProgram(program, args, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
        std::string plainLog = bKxb ? "" : TakeLog();
        RunOutcome recorded = Recorded(program, args);
        std::string recordedLog = bKxb ? "" : TakeLog();
        // Recording changes nothing the run prints, logs or ends with.
        EXPECT_EQ(MaskStamps(recorded.out), MaskStamps(plain.out));
        EXPECT_EQ(recorded.exitStatus, plain.exitStatus);
        EXPECT_EQ(recordedLog, plainLog);
        RunOutcome replayed = Replayed(program, args);
        EXPECT_EQ(replayed.exitStatus, recorded.exitStatus);
        EXPECT_EQ(MaskStamps(replayed.out), MaskStamps(recorded.out));
        EXPECT_EQ(replayed.err, recorded.err);
        if (!bKxb) {
            EXPECT_EQ(TakeLog(), recordedLog);
        }
        // What was recorded: the run's own exit status last, every keyboard's calls.
        std::string recording = ReadFile(dir + "/rec");
        EXPECT_NE(recording.find("\n# ended: exit status " + std::to_string(recorded.exitStatus) + "\n"),
                  std::string::npos)
            << recording;
        EXPECT_NE(recording.find(" kb2 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03]\n"),
                  std::string::npos);
    }
}

TEST_F(Record, ATwinOfTheRecordingGetsTheSameMessagesAndAnswers) {
    RunOutcome recorded = Recorded(KAVELWRITE_BIN, {"s.kxb"});
    RunOutcome twin = RunKxb({"twin", "rec"}, {}, dir);
    ASSERT_EQ(twin.exitStatus, 0) << twin.err;
    WriteFile(dir + "/twin.xml", twin.out);
    RunOutcome onTwin = RunKavelwrite(
        {"s.kxb"}, {{"KAVELHID_SIMULATION", dir + "/twin.xml"}, {"KAVELHID_TRACE", dir + "/twin.trace"}},
        dir);
    EXPECT_EQ(onTwin.exitStatus, recorded.exitStatus);
    EXPECT_EQ(MaskStamps(onTwin.out), MaskStamps(recorded.out));
    // The module is a module of the twin, and only the two busy answers and the failed write are
    // taken over.
    EXPECT_NE(twin.out.find("<Module Slot=\"0\">"), std::string::npos) << twin.out;
    std::regex inject("<Inject ");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(twin.out.begin(), twin.out.end(), inject), std::sregex_iterator()),
        3)
        << twin.out;
    // The recording's calls that the trace has lines for, without their times.
    std::string calls;
    std::istringstream lines(ReadFile(dir + "/rec"));
    for (std::string line; std::getline(lines, line);) {
        if (line[0] == '#' || std::regex_search(line, std::regex(" (Answer|LibraryVersion|Release)")))
            continue;
        calls += line.substr(line.find(' ')) + "\n";
    }
    EXPECT_EQ(
        std::regex_replace(ReadFile(dir + "/twin.trace"), std::regex("^[0-9]+", std::regex::multiline), ""),
        calls);
}

TEST_F(Record, AReplayThatStraysFromTheRecordingSaysWhereAndFails) {
    ASSERT_EQ(Recorded(KAVELWRITE_BIN, {"s.kxb"}).exitStatus, 166);
    WriteFile(dir + "/s.kxb", Script("11 23"));
    RunOutcome replayed = Replayed(KAVELWRITE_BIN, {"s.kxb"});
    // The differing write fails; every later call fails the same way, so the last keyboards do not open.
    EXPECT_EQ(replayed.exitStatus, 162) << replayed.out;
    EXPECT_TRUE(std::regex_search(
        replayed.err,
        std::regex(
            "^kavelhid replay: call 9 \\(line 16\\) differs: recorded [0-9]+ kb0 SendCommand cmd=17 dst=02 "
            "data=\\[00 10 11 22\\] -> 0, got [0-9]+ kb0 SendCommand cmd=17 dst=02 data=\\[00 10 11 23\\] -> "
            "104\n$")))
        << replayed.err;
    EXPECT_NE(replayed.out.find("%\r ERROR: Device write error\n\ndevice1: ERROR: Device open error (260)\n"),
              std::string::npos)
        << replayed.out;
}

TEST_F(Record, AKilledRunLeavesEveryCallItMadeAndItsReplayGetsAsFar) {
    // Killed in its first keyboard's reset wait, after every other call of that keyboard.
    RunOutcome killed =
        RunPiped(KAVELWRITE_BIN, {"s.kxb", "--record", "rec"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir,
                 [](const std::string& out, pid_t pid) {
                     if (out.find("progress: 100") != std::string::npos) kill(pid, SIGKILL);
                     return true;
                 });
    ASSERT_EQ(killed.signal, SIGKILL);
    std::string recording = ReadFile(dir + "/rec");
    ASSERT_EQ(recording.back(), '\n');
    std::regex callLine(
        "^[0-9]+ (LibraryVersion|Enumerate|kb[0-9]+ (Open|EnumerateModules|SendCommand|Answer))");
    int nCalls = 0;
    std::istringstream lines(recording);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] == '#') continue;
        EXPECT_TRUE(std::regex_search(line, callLine)) << line;
        nCalls += line.find(" Answer ") == std::string::npos ? 1 : 0;
    }
    EXPECT_NE(recording.find("cmd=F1"), std::string::npos) << recording;
    RunOutcome replayed = Replayed(KAVELWRITE_BIN, {"s.kxb"});
    // The replay says once that the recording lacks its end, then goes as far as it goes.
    EXPECT_EQ(
        replayed.err.find("kavelhid replay: the recording has no line saying how its run ended; its last "
                          "whole line is line " +
                          std::to_string(std::count(recording.begin(), recording.end(), '\n')) + "\n"),
        0u)
        << replayed.err;
    EXPECT_NE(replayed.err.find("kavelhid replay: call " + std::to_string(nCalls + 1) +
                                " differs: recorded the end of the recording, got "),
              std::string::npos)
        << replayed.err;
}

} // namespace
