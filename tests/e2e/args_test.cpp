// kavelwrite's command line: a mistyped option, a file option that names the script, and the log
// file of a run that starts in the same second as another. None may write a keyboard without what
// was asked for, nor replace a file the user keeps.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

namespace {

const char* const SCRIPT_TEXT = "<XML_BIN_FILE><Command><DST>F</DST><CMD>30</CMD></Command></XML_BIN_FILE>\n";

struct Arguments : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        WriteFile(dir + "/s.kxb", SCRIPT_TEXT);
        WriteFile(dir + "/k.xml", TWO_KEYBOARDS);
    }
    void TearDown() override { RemoveTree(dir); }
    RunOutcome Run(const std::vector<std::string>& args) {
        return RunKavelwrite(
            args, {{"KAVELHID_SIMULATION", dir + "/k.xml"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
    }
    std::string dir;
};

TEST_F(Arguments, RefusedBeforeAnyKeyboardAndTheScriptKept) {
    const struct {
        std::vector<std::string> args;
        int nStatus;
        const char* txtLine; // a line of the output
    } cases[] = {
        {{"s.kxb", "--verfy", "--logfiel"}, 2, "ERROR: Unknown option --verfy\n"},
        {{"--verify=yes", "s.kxb"}, 2, "ERROR: Unknown option --verify=yes\n"},
        {{"s.kxb", "--batches", "2"}, 2, "ERROR: Wrong option --batches without --loop\n"},
        {{"s.kxb", "--loop", "--batches", "0"}, 2, "ERROR: Wrong option --batches 0\n"},
        {{"--record", "s.kxb"}, 170, "ERROR: Recording file error: s.kxb: "},
        {{"--record", "s.kxb", "s.kxb"}, 170, "ERROR: Recording file error: s.kxb: "},
        {{"s.kxb", "--events", "s.kxb"}, 172, "ERROR: Events file error: s.kxb: it is the script\n"},
        {{"s.kxb", "--events"}, 172, "ERROR: Events file parameter missing\n"},
        {{"s.kxb", "--events", "no/such/folder"},
         172,
         "ERROR: Events file error: no/such/folder: No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        WriteFile(dir + "/s.kxb", SCRIPT_TEXT);
        RunOutcome run = Run(c.args);
        EXPECT_EQ(run.exitStatus, c.nStatus);
        EXPECT_NE(run.out.find(c.txtLine), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Kxb file check"), std::string::npos) << run.out;
        EXPECT_EQ(ReadFile(dir + "/s.kxb"), SCRIPT_TEXT);
        EXPECT_EQ(ReadFile(dir + "/trace"), "") << "a keyboard was looked for";
    }
}

TEST_F(Arguments, HelpAndVersionSayWhatTheyAreAskedAndEnd) {
    RunOutcome help = Run({"--help", "s.kxb"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* txtOption :
         {"--logfile", "--verify", "--overlap-resets", "--record FILE", "--history TARGET", "--events FILE",
          "--loop", "--batches N", "--help", "--version"})
        EXPECT_NE(help.out.find(txtOption), std::string::npos) << txtOption;
    RunOutcome version = Run({"--version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, "kavelwrite 0.0.4 writes kxb file into Kavel\nlibkavelhidapi 1.0.0\n");
    EXPECT_EQ(ReadFile(dir + "/trace"), "");
}

// The stamp names the log file to the second; a run that finds the name taken takes the next second.
TEST_F(Arguments, RunsInOneSecondEachKeepTheirOwnLogFile) {
    WriteFile(dir + "/k.xml", "<KavelSimulation/>");
    const int RUNS = 3;
    for (int i = 0; i < RUNS; i++) EXPECT_EQ(Run({"s.kxb", "--logfile"}).exitStatus, 0);
    std::vector<std::string> logs = FindLogFiles(dir, "s.kxb");
    ASSERT_EQ(logs.size(), static_cast<size_t>(RUNS));
    for (const std::string& log : logs) {
        std::string text = ReadFile(dir + "/" + log);
        // Each log is whole, and the stamp of its name is the one its annotations bear.
        EXPECT_NE(text.find("</XML_BIN_FILE>"), std::string::npos) << log;
    }
}

} // namespace
