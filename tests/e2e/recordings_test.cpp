// Recordings as tests: every folder under tests/recordings holds a script (script.kxb), a recording
// of a run (recording.rec, made with --record on any keyboard library) and the command line of that
// run (args.txt: the program, kavelwrite or kxb, then its arguments, {script} for the script's
// path). The built program is run again on the virtual keyboard replaying the recording: it must
// make exactly the recorded calls and end with the recorded exit status.
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

// The call lines of a recording or a trace, without their times: what the replay compares.
std::string CallLines(const std::string& text) {
    std::string calls;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#' || line.find(" Answer capacity=") != std::string::npos) continue;
        calls += line.substr(line.find(' ') + 1) + "\n";
    }
    return calls;
}

class Recording : public ::testing::TestWithParam<std::string> {};

TEST_P(Recording, ReplaysWithTheSameCallsAndExitStatus) {
    const std::string caseDir = std::string(RECORDINGS_DIR) + "/" + GetParam();
    const std::string recording = ReadFile(caseDir + "/recording.rec");
    std::istringstream words(ReadFile(caseDir + "/args.txt"));
    std::string program;
    words >> program;
    ASSERT_TRUE(program == "kavelwrite" || program == "kxb") << "args.txt names no program";
    std::smatch ended;
    ASSERT_TRUE(std::regex_search(recording, ended, std::regex("\n# [^\n]*exit status ([0-9]+)\n")))
        << "the recording does not say how its run ended";

    std::string dir = MakeTempDir();
    WriteFile(dir + "/script.kxb", ReadFile(caseDir + "/script.kxb"));
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word == "{script}" ? dir + "/script.kxb" : word);
    RunOutcome run = RunProgram(
        program == "kxb" ? KXB_BIN : KAVELWRITE_BIN, args,
        {{"KAVELHID_REPLAY", caseDir + "/recording.rec"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
    std::string trace = ReadFile(dir + "/trace");
    RemoveTree(dir);
    EXPECT_EQ(run.exitStatus, std::stoi(ended[1])) << run.out << run.err;
    EXPECT_EQ(run.err.find("kavelhid replay:"), std::string::npos) << run.err;
    // The trace has no line for the version query and the release of the keyboards.
    std::string recorded =
        std::regex_replace(CallLines(recording), std::regex("(LibraryVersion .*|Release)\n"), "");
    EXPECT_EQ(CallLines(trace), recorded);
}

INSTANTIATE_TEST_SUITE_P(Recordings, Recording, ::testing::ValuesIn(ListRecordings()),
                         [](const auto& info) { return TestNameOf(info.param); });

} // namespace
