// --overlap-resets changes only when the program waits: every keyboard gets the messages of a run
// without it, none after its reset, and the run lasts a whole reset wait past the last reset.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// One character per keyboard: '1' fails its write, so that it is not reset; 'b' is busy for all 30
// sends, about six seconds, so that the reset wait of the keyboard before it has passed when the
// block ends.
class OverlapResets : public ::testing::TestWithParam<std::string> {};

TEST_P(OverlapResets, SendTheSameMessagesNoneAfterAResetAndEndAWholeWaitAfterTheLast) {
    const std::string failing = GetParam();
    std::string dir = MakeTempDir();
    std::string keyboards = "<KavelSimulation>";
    for (char c : failing)
        keyboards += std::string("<Keyboard><Controller><Version>11 01 02 03</Version></Controller>") +
                     (c == '1'   ? "<Inject Cmd=\"30\" Status=\"3\"/>"
                      : c == 'b' ? "<Inject Cmd=\"30\" Status=\"119\"/>"
                                 : "") +
                     "</Keyboard>";
    WriteFile(dir + "/k.xml", keyboards + "</KavelSimulation>");
    WriteFile(dir + "/s.kxb", "<XML_BIN_FILE>" + AnyDeviceElement() +
                                  "<Command><DST>F</DST><CMD>30</CMD></Command></XML_BIN_FILE>");
    RunOutcome runs[2];
    std::string traces[2];
    for (int n : {0, 1}) {
        std::string trace = dir + "/trace" + std::to_string(n);
        runs[n] = RunKavelwrite(n ? std::vector<std::string>{"--overlap-resets", "s.kxb"}
                                  : std::vector<std::string>{"s.kxb"},
                                {{"KAVELHID_SIMULATION", dir + "/k.xml"}, {"KAVELHID_TRACE", trace}}, dir);
        traces[n] = ReadFile(trace);
    }
    RemoveTree(dir);
    EXPECT_EQ(runs[1].exitStatus, runs[0].exitStatus);
    EXPECT_EQ(StripTraceTimes(traces[1]), StripTraceTimes(traces[0]));
    for (size_t i = 0; i < failing.size(); i++) {
        std::string keyboard = " kb" + std::to_string(i) + " ";
        size_t reset = traces[1].find(keyboard + "SendCommand cmd=F1");
        EXPECT_EQ(reset == std::string::npos, failing[i] != '0') << traces[1];
        if (reset != std::string::npos) {
            EXPECT_EQ(traces[1].find(keyboard, reset + 1), std::string::npos)
                << "after the reset of" << keyboard;
        }
    }
    // The trace counts from the keyboard search, after the program started: a lower bound.
    size_t lastReset = traces[1].rfind('\n', traces[1].rfind("cmd=F1")) + 1;
    EXPECT_GE(runs[1].elapsedMs, std::stol(traces[1].substr(lastReset)) + 39 * 130) << traces[1];
    // Only a last keyboard that was not reset leaves a wait after its block, in one line of its own,
    // and only when the wait has not passed.
    std::regex waiting("Waiting [0-9]+ ms for device" + std::to_string(failing.rfind('0')) + " to restart\n");
    EXPECT_EQ(std::regex_search(runs[1].out, waiting), failing.back() == '1') << runs[1].out;
    EXPECT_EQ(std::regex_replace(runs[1].out, waiting, ""), runs[0].out);
}

INSTANTIATE_TEST_SUITE_P(Keyboards, OverlapResets, ::testing::Values("001", "010", "0b"));

} // namespace
