// --record and its replay: a run recorded on any library and replayed on the virtual keyboard
// prints, exits and logs as the recorded run did; a program that strays from the recording is
// told where; a recording of a killed run holds every call it made; a file that is not a recording
// is never replaced, a pipe never holds a run up, and a recording that loses lines says so.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

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

// n bytes as a script's byte list.
std::string Bytes(int n) {
    std::string sBytes;
    for (int i = 0; i < n; i++) sBytes += i == 0 ? "A5" : " A5";
    return sBytes;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
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

TEST_F(Record, AReplayOfAnotherProgramsRecordingSaysWhoseItIs) {
    Recorded(KXB_BIN, {"verify", "s.kxb"});
    RunOutcome replayed = Replayed(KAVELWRITE_BIN, {"s.kxb"});
    EXPECT_TRUE(std::regex_search(
        replayed.err,
        std::regex("^kavelhid replay: call [0-9]+ \\(line [0-9]+\\) differs \\(the recording is of kxb "
                   "verify, this is kavelwrite\\): recorded ")))
        << replayed.err;
}

TEST_F(Record, AFileThatIsNotARecordingIsNeverReplaced) {
    WriteFile(dir + "/notes.txt", "my notes\n");
    RunOutcome run =
        RunKavelwrite({"s.kxb", "--record", "notes.txt"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    EXPECT_EQ(run.exitStatus, 170);
    EXPECT_TRUE(EndsWith(
        run.out, "\n\nERROR: Recording file error: notes.txt: not a recording: it would be replaced\n"))
        << run.out;
    RunOutcome kxb =
        RunKxb({"verify", "--record", "notes.txt", "s.kxb"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    EXPECT_EQ(kxb.exitStatus, 170);
    EXPECT_EQ(kxb.err,
              "kxb verify: ERROR: Recording file error: notes.txt: not a recording: it would be replaced\n");
    EXPECT_EQ(ReadFile(dir + "/notes.txt"), "my notes\n");
    // A recording of an earlier run is replaced.
    ASSERT_EQ(Recorded(KAVELWRITE_BIN, {"s.kxb"}).exitStatus, 166);
    Recorded(KXB_BIN, {"verify", "s.kxb"});
    EXPECT_TRUE(std::regex_search(ReadFile(dir + "/rec"),
                                  std::regex("^# kavelhid recording 1\n# program: kxb [0-9.]+ verify\n")));
}

TEST_F(Record, KxbWithoutARecordingFileEndsAsKavelwriteDoes) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"probe", "--record"},
                                                 std::vector<std::string>{"verify", "s.kxb", "--record"},
                                                 std::vector<std::string>{"backup", "--record=", "s.kxb"}}) {
        RunOutcome run = RunKxb(args, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
        EXPECT_EQ(run.exitStatus, 170) << args[0];
        // One line, as kavelwrite's: not also getopt's own complaint.
        EXPECT_EQ(run.err, "kxb " + args[0] + ": ERROR: Recording file parameter missing\n");
        EXPECT_EQ(run.out, "") << args[0];
    }
}

TEST_F(Record, TwinOfAFolderOrAnEmptyFileFails) {
    WriteFile(dir + "/empty.rec", "");
    const std::pair<std::string, std::string> cases[] = {
        {dir, "kxb twin: " + dir + ": cannot read the recording: Is a directory\n"},
        {"empty.rec", "kxb twin: empty.rec: the recording is empty\n"},
    };
    for (const auto& c : cases) {
        RunOutcome twin = RunKxb({"twin", c.first}, {}, dir);
        EXPECT_EQ(twin.exitStatus, 169) << c.first;
        EXPECT_EQ(twin.err, c.second);
        EXPECT_EQ(twin.out, "");
    }
}

TEST_F(Record, AFileSizeLimitCostsTheRecordingItsLinesNotTheRun) {
    // Long writes: more recording than the limit lets through, less output.
    WriteFile(dir + "/s.kxb", Script(Bytes(2000)));
    RunOutcome plain = RunKavelwrite({"s.kxb"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    RunLimits limits;
    limits.fileSizeLimit = 6000;
    ASSERT_LT(plain.out.size() + 100, 6000u);
    RunOutcome limited =
        RunKavelwrite({"s.kxb", "--record", "rec"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir, limits);
    EXPECT_EQ(limited.signal, 0);
    EXPECT_EQ(limited.exitStatus, plain.exitStatus);
    EXPECT_EQ(MaskStamps(limited.out),
              MaskStamps(plain.out) + "ERROR: Recording file error: rec: File too large\n");
    std::string recording = ReadFile(dir + "/rec");
    EXPECT_EQ(recording.size(), 6000u);
    // What is left still makes a twin, which says what the recording lacks.
    RunOutcome twin = RunKxb({"twin", "rec"}, {}, dir);
    EXPECT_EQ(twin.exitStatus, 0) << twin.err;
    EXPECT_TRUE(
        std::regex_match(twin.err, std::regex("kxb twin: rec: the recording (is cut off after its last whole "
                                              "line|has no line saying how its run ended; its last whole "
                                              "line is), line [0-9]+\n")))
        << twin.err;
}

TEST_F(Record, APipeWithoutAReaderIsRefusedAndOneWithAReaderGetsTheRecording) {
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RunOutcome refused =
        RunKavelwrite({"s.kxb", "--record", "fifo"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    EXPECT_EQ(refused.exitStatus, 170);
    EXPECT_TRUE(
        EndsWith(refused.out, "\n\nERROR: Recording file error: fifo: a pipe that no program reads\n"))
        << refused.out;
    // With a reader the run goes on; the recording of this station fits the pipe's buffer.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    RunOutcome recorded =
        RunKavelwrite({"s.kxb", "--record", "fifo"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    std::string text;
    char arBuffer[4096];
    for (ssize_t n; (n = read(reader, arBuffer, sizeof arBuffer)) > 0;)
        text.append(arBuffer, static_cast<size_t>(n));
    close(reader);
    EXPECT_EQ(recorded.exitStatus, 166) << recorded.out;
    EXPECT_EQ(text.find("# kavelhid recording 1\n"), 0u);
    EXPECT_NE(text.find("\n# ended: exit status 166\n"), std::string::npos) << text;
}

// Many long write messages: more recording than a pipe holds.
void WriteBigScript(const std::string& path) {
    std::string data = Bytes(200);
    std::string blocks;
    for (int i = 0; i < 400; i++)
        blocks += "<Data Address=\"" + std::to_string(1000 + i) + "\">" + data + "</Data>";
    WriteFile(path, "<XML_BIN_FILE>" + AnyDeviceElement() + "<BinMemory><DST>2</DST><CMD>17</CMD>" + blocks +
                        "</BinMemory></XML_BIN_FILE>");
}

TEST_F(Record, CtrlCEndsARunWhoseRecordingWaitsForAReaderThatDoesNotRead) {
    WriteBigScript(dir + "/big.kxb");
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::thread stopper;
    RunOutcome run =
        RunPiped(KAVELWRITE_BIN, {"big.kxb", "--record", "fifo"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}},
                 dir, [&](const std::string&, pid_t pid) {
                     // Once, after the run has begun and has had time to fill the pipe.
                     if (!stopper.joinable())
                         stopper = std::thread([pid]() {
                             std::this_thread::sleep_for(std::chrono::seconds(2));
                             kill(pid, SIGINT);
                         });
                     return true;
                 });
    stopper.join();
    close(reader);
    EXPECT_EQ(run.exitStatus, 130) << run.out.substr(0, 2000);
    EXPECT_NE(run.out.find("ERROR: Recording file error: fifo: "), std::string::npos)
        << run.out.substr(0, 2000);
}

TEST_F(Record, APipeReaderThatGoesAwayCostsTheRecordingNotTheRun) {
    WriteBigScript(dir + "/big.kxb");
    RunOutcome plain = RunKxb({"verify", "big.kxb"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // A pipe of one page, which the verb's recording fills; the reader goes while the verb waits.
    ASSERT_EQ(fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
    std::thread closer([reader]() {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        close(reader);
    });
    RunOutcome run =
        RunKxb({"verify", "--record", "fifo", "big.kxb"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    closer.join();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitStatus, plain.exitStatus);
    EXPECT_EQ(run.out, plain.out);
    EXPECT_EQ(run.err, plain.err + "kxb verify: ERROR: Recording file error: fifo: Broken pipe\n");
}

} // namespace

namespace {

// kxb reads only, so a signal ends it at once, as it would any program, but its recording still
// says how it ended.
TEST_F(Record, KxbEndedByASignalEndsItsRecordingWithTheSignal) {
    WriteFile(dir + "/k.xml", R"(<KavelSimulation><Keyboard><Controller><Version>11 01 02 03</Version>
</Controller><Inject Cmd="11" Count="1" Signal="F"/></Keyboard></KavelSimulation>)");
    RunOutcome stopped = Recorded(KXB_BIN, {"probe"});
    EXPECT_EQ(stopped.signal, SIGTERM);
    std::string recording = ReadFile(dir + "/rec");
    EXPECT_EQ(recording.substr(recording.rfind('#')), "# ended by signal 15\n") << recording;
}

} // namespace
