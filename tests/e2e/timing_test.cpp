// The reset wait is real: 39 pauses of 130 ms after the reset message, seen in the trace's times.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kScript = R"(<XML_BIN_FILE>
)" + AnyDeviceElement() + R"(
</XML_BIN_FILE>
)";

// Time of the first trace line that contains what, or -1.
long TimeOf(const std::string& trace, const std::string& what) {
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(what) != std::string::npos) return std::stol(line.substr(0, line.find(' ')));
    }
    return -1;
}

TEST(ResetWait, LastsThirtyNineStepsOf130MillisecondsAfterTheResetMessage) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/script.kxb", kScript);
    WriteFile(dir + "/keyboards.xml", TWO_KEYBOARDS);
    RunOutcome run = RunKavelwrite(
        {dir + "/script.kxb"},
        {{"KAVELHID_SIMULATION", dir + "/keyboards.xml"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    std::string trace = ReadFile(dir + "/trace");
    long reset0 = TimeOf(trace, "kb0 SendCommand cmd=F1 dst=02");
    long open1 = TimeOf(trace, "kb1 Open");
    ASSERT_GE(reset0, 0) << trace;
    ASSERT_GE(open1, 0) << trace;
    EXPECT_GE(open1 - reset0, 39 * 130) << trace;
    EXPECT_GE(run.elapsedMs, 2 * 39 * 130);
    // 39 progress updates after the reset message of each keyboard, the last one at 100.
    EXPECT_NE(run.out.find(" Writing progress: 100 %\r\n Done."), std::string::npos) << run.out;
    RemoveTree(dir);
}

} // namespace
