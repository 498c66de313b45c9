// Recordings as tests: every folder under tests/recordings holds a script (script.kxb), a recording
// of a run (recording.rec, made with --record on any keyboard library) and the command line of that
// run (args.txt: the program, kavelwrite or kxb, then its arguments, {script} for the script's
// path). The folders are listed when the tests start, so a new one needs no change here.
//
// The built program is run again on the virtual keyboard replaying the recording: it must make
// exactly the recorded calls and end with the recorded exit status. A recording that a stopped run
// left (no line saying how it ended) is replayed as far as it goes: the run must reach its last
// call. And the twin that kxb twin makes of the recording gets, from the same run, the same calls
// with the same answers.
#include "run_binary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

namespace {

std::vector<std::string> ListRecordings() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(RECORDINGS_DIR)) {
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The call lines of a recording or a trace without their times, as a trace has them: no comments,
// no Answer lines, and none for the version query and the release of the keyboards.
std::vector<std::string> TracedCalls(const std::string& text) {
    std::vector<std::string> calls;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#' ||
            std::regex_search(line, std::regex(" (Answer|LibraryVersion|Release)")))
            continue;
        calls.push_back(line.substr(line.find(' ') + 1));
    }
    return calls;
}

// The number of calls a recording holds, as the replay counts them.
std::size_t CallCount(const std::string& recording) {
    std::size_t nCalls = 0;
    std::istringstream lines(recording);
    for (std::string line; std::getline(lines, line);)
        nCalls += !line.empty() && line[0] != '#' && line.find(" Answer ") == std::string::npos ? 1 : 0;
    return nCalls;
}

class Recording : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        caseDir = std::string(RECORDINGS_DIR) + "/" + GetParam();
        recording = ReadFile(caseDir + "/recording.rec");
        std::istringstream words(ReadFile(caseDir + "/args.txt"));
        words >> program;
        dir = MakeTempDir();
        WriteFile(dir + "/script.kxb", ReadFile(caseDir + "/script.kxb"));
        for (std::string word; words >> word;)
            args.push_back(word == "{script}" ? dir + "/script.kxb" : word);
        std::smatch ended;
        bEnded = std::regex_search(recording, ended, std::regex("\n# [^\n]*exit status ([0-9]+)\n"));
        nExitStatus = bEnded ? std::stoi(ended[1]) : -1;
    }
    void TearDown() override { RemoveTree(dir); }

    // The program run again with the library's variables env, and its trace.
    RunOutcome Run(std::map<std::string, std::string> env, std::string* trace) {
        env["KAVELHID_TRACE"] = dir + "/trace";
        std::remove((dir + "/trace").c_str());
        RunOutcome run = RunProgram(program == "kxb" ? KXB_BIN : KAVELWRITE_BIN, args, env, dir);
        *trace = ReadFile(dir + "/trace");
        return run;
    }

    // A run on a recording that ended gets its exit status and its calls; on one that a stopped
    // run left, the recorded calls come first.
    void ExpectTheRecordedRun(const RunOutcome& run, const std::string& trace) {
        std::vector<std::string> recorded = TracedCalls(recording);
        std::vector<std::string> traced = TracedCalls(trace);
        if (bEnded) {
            EXPECT_EQ(run.exitStatus, nExitStatus) << run.out << run.err;
            EXPECT_EQ(traced, recorded);
            return;
        }
        ASSERT_GE(traced.size(), recorded.size()) << trace;
        traced.resize(recorded.size());
        EXPECT_EQ(traced, recorded);
    }

    std::string caseDir;
    std::string recording;
    std::string program;
    std::vector<std::string> args;
    std::string dir;
    bool bEnded = false;
    int nExitStatus = -1;
};

TEST_P(Recording, ReplaysWithTheSameCallsAndExitStatus) {
    ASSERT_TRUE(program == "kavelwrite" || program == "kxb") << "args.txt names no program";
    std::string trace;
    RunOutcome run = Run({{"KAVELHID_REPLAY", caseDir + "/recording.rec"}}, &trace);
    ExpectTheRecordedRun(run, trace);
    if (bEnded) {
        EXPECT_EQ(run.err.find("kavelhid replay:"), std::string::npos) << run.err;
        return;
    }
    // Said once, then every recorded call made: the run goes no further than the recording's end.
    std::regex said(
        "^kavelhid replay: the recording has no line saying how its run ended; its last whole line "
        "is line [0-9]+\n(kavelhid replay: call ([0-9]+) differs: recorded the end of the "
        "recording, got [^\n]*\n)?$");
    std::smatch told;
    ASSERT_TRUE(std::regex_match(run.err, told, said)) << run.err;
    if (told[2].matched) {
        EXPECT_EQ(std::stoul(told[2]), CallCount(recording) + 1) << run.err;
    }
}

TEST_P(Recording, TwinGetsTheSameCallsAndAnswers) {
    RunOutcome twin = RunKxb({"twin", caseDir + "/recording.rec"}, {}, dir);
    ASSERT_EQ(twin.exitStatus, 0) << twin.err;
    EXPECT_EQ(twin.err.empty(), bEnded) << twin.err;
    WriteFile(dir + "/twin.xml", twin.out);
    std::string trace;
    RunOutcome run = Run({{"KAVELHID_SIMULATION", dir + "/twin.xml"}}, &trace);
    // The virtual keyboard takes the twin as it is.
    EXPECT_EQ(run.err.find("libkavelhidapi:"), std::string::npos) << run.err;
    ExpectTheRecordedRun(run, trace);
}

INSTANTIATE_TEST_SUITE_P(Recordings, Recording, ::testing::ValuesIn(ListRecordings()),
                         [](const auto& info) { return TestNameOf(info.param); });

} // namespace
