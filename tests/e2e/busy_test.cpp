// The pause after a busy answer is real: a Command answered busy twice is sent three times, each
// send at least 200 ms after the one before, as the trace's times show.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kScript = R"(<XML_BIN_FILE>
)" + AnyDeviceElement() + R"(
  <Command><DST>F</DST><CMD>30</CMD><Data>01</Data></Command>
</XML_BIN_FILE>
)";

// Status 119 (281) is the keyboard's busy answer; the first two messages of type 30 get it.
const char* kBusyTwice = R"(<KavelSimulation>
  <Keyboard>
    <Controller><Version>11 01 02 03</Version></Controller>
    <Inject Cmd="30" Dst="2" Count="2" Status="119"/>
  </Keyboard>
</KavelSimulation>
)";

// Times of the trace lines that contain what, in trace order.
std::vector<long> TimesOf(const std::string& trace, const std::string& what) {
    std::vector<long> times;
    std::istringstream lines(trace);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(what) != std::string::npos) times.push_back(std::stol(line.substr(0, line.find(' '))));
    }
    return times;
}

TEST(BusyCommand, IsSentThreeTimesAtLeast200MillisecondsApart) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/script.kxb", kScript);
    WriteFile(dir + "/keyboard.xml", kBusyTwice);
    RunOutcome run = RunKavelwrite(
        {dir + "/script.kxb"},
        {{"KAVELHID_SIMULATION", dir + "/keyboard.xml"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    std::string trace = ReadFile(dir + "/trace");
    std::vector<long> sends = TimesOf(trace, "kb0 SendCommand cmd=30 dst=02 data=[01]");
    ASSERT_EQ(sends.size(), 3u) << trace;
    EXPECT_GE(sends[1] - sends[0], 200) << trace;
    EXPECT_GE(sends[2] - sends[1], 200) << trace;
    // The third send is the one that got through.
    EXPECT_NE(trace.find("cmd=30 dst=02 data=[01] -> 0\n"), std::string::npos) << trace;
    RemoveTree(dir);
}

} // namespace
