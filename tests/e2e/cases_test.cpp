// Runs every end-to-end case under tests/e2e/cases against the built kavelwrite.
//
// A case is a folder holding:
//   case.txt     "args: ..." ({script} is the script's path, {dir} the run folder) and "exit: N";
//                optionally "script: NAME" for the script's file name (default script.kxb)
//   script.kxb   the script (absent: no script file is made)
//   keyboard.xml the virtual keyboards (absent: KAVELHID_SIMULATION is unset)
//   stdout.txt   standard output exactly, each carriage return shown as "<CR>" and a line break
//   stderr.txt   standard error exactly (absent: standard error must be empty)
// In every expected file the run folder reads {dir}, the case folder {case} and a run stamp STAMP.
//   trace.txt    the library trace without time stamps (required with keyboard.xml)
//   log.xml      the log file with every run stamp shown as STAMP (absent: no log file may exist)
//   saved.xml    the saved simulation (required with keyboard.xml)
// With E2E_BLESS=1 in the environment the expected files are written from the run instead; every
// blessed file must be read and checked by hand before it is committed.
#include "run_binary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

struct CaseSpec {
    std::vector<std::string> args;
    int exitStatus = -1;
    std::string scriptName = "script.kxb";
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

CaseSpec ReadCase(const std::string& caseDir) {
    CaseSpec spec;
    std::istringstream lines(ReadFile(caseDir + "/case.txt"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("args:", 0) == 0) {
            std::istringstream words(line.substr(5));
            std::string word;
            while (words >> word) spec.args.push_back(word == "''" ? std::string() : word);
        } else if (line.rfind("exit:", 0) == 0) {
            spec.exitStatus = std::stoi(line.substr(5));
        } else if (line.rfind("script:", 0) == 0) {
            std::istringstream words(line.substr(7));
            words >> spec.scriptName;
        }
    }
    return spec;
}

std::vector<std::string> ListCases() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(E2E_CASES_DIR)) {
        if (entry.is_directory()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Blessing() {
    const char* bless = std::getenv("E2E_BLESS");
    return bless != nullptr && std::string(bless) == "1";
}

// Compares actual text with an expected file of the case, or writes the file when blessing.
void Expect(const std::string& caseDir, const std::string& file, const std::string& actual) {
    std::string path = caseDir + "/" + file;
    if (Blessing()) {
        WriteFile(path, actual);
        return;
    }
    ASSERT_TRUE(FileExists(path)) << "expected file missing: " << path;
    EXPECT_EQ(ReadFile(path), actual) << "differs from " << path;
}

class Case : public ::testing::TestWithParam<std::string> {};

TEST_P(Case, MatchesExpectedFiles) {
    std::string caseDir = std::string(E2E_CASES_DIR) + "/" + GetParam();
    ASSERT_TRUE(FileExists(caseDir + "/case.txt")) << "case without case.txt";
    CaseSpec spec = ReadCase(caseDir);
    ASSERT_NE(spec.exitStatus, -1) << "case.txt names no exit status";

    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string script = dir + "/" + spec.scriptName;
    if (FileExists(caseDir + "/script.kxb")) WriteFile(script, ReadFile(caseDir + "/script.kxb"));

    std::map<std::string, std::string> env;
    bool bKeyboard = FileExists(caseDir + "/keyboard.xml");
    if (bKeyboard) {
        env["KAVELHID_SIMULATION"] = caseDir + "/keyboard.xml";
        env["KAVELHID_TRACE"] = dir + "/.trace";
        env["KAVELHID_SIMULATION_SAVE"] = dir + "/.saved";
    }
    std::vector<std::string> args;
    for (const std::string& arg : spec.args)
        args.push_back(Replace(Replace(arg, "{script}", script), "{dir}", dir));

    RunOutcome run = RunKavelwrite(args, env, dir);
    EXPECT_EQ(run.signal, 0) << "kavelwrite was killed by a signal";
    EXPECT_EQ(run.exitStatus, spec.exitStatus);
    Expect(caseDir, "stdout.txt", ShowCarriageReturns(MaskStamps(Replace(run.out, dir, "{dir}"))));
    if (FileExists(caseDir + "/stderr.txt") || (Blessing() && !run.err.empty())) {
        Expect(caseDir, "stderr.txt", Replace(Replace(run.err, dir, "{dir}"), caseDir, "{case}"));
    } else {
        EXPECT_EQ(run.err, "") << "unexpected output on standard error";
    }
    if (bKeyboard) {
        Expect(caseDir, "trace.txt", StripTraceTimes(ReadFile(dir + "/.trace")));
        Expect(caseDir, "saved.xml", ReadFile(dir + "/.saved"));
    }

    std::vector<std::string> logs = FindLogFiles(dir, spec.scriptName);
    if (FileExists(caseDir + "/log.xml") || (Blessing() && !logs.empty())) {
        ASSERT_EQ(logs.size(), 1u) << "expected exactly one log file beside the script";
        Expect(caseDir, "log.xml", MaskStamps(ReadFile(dir + "/" + logs[0])));
    } else {
        EXPECT_TRUE(logs.empty()) << "a log file was written although none is expected";
    }
    RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(E2E, Case, ::testing::ValuesIn(ListCases()),
                         [](const auto& info) { return TestNameOf(info.param); });

} // namespace
