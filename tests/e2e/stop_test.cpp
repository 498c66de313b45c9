// What happens to a run that loses its reader or is stopped during the reset wait, seen from a
// real pipe and a real signal rather than from an injected one.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

const std::string kScript =
    "<XML_BIN_FILE>\n" + AnyDeviceElement() +
    "\n<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"100\">01 02</Data></BinMemory>\n"
    "</XML_BIN_FILE>\n";

class StoppedRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        WriteFile(dir + "/script.kxb", kScript);
        WriteFile(dir + "/keyboards.xml", TWO_KEYBOARDS);
    }
    void TearDown() override {
        if (!HasFailure()) RemoveTree(dir);
    }
    RunOutcome Run(const std::function<bool(const std::string&, pid_t)>& onOutput) {
        return RunPiped(KAVELWRITE_BIN, {"script.kxb", "--logfile"},
                        {{"KAVELHID_SIMULATION", dir + "/keyboards.xml"}, {"KAVELHID_TRACE", dir + "/trace"}},
                        dir, onOutput);
    }
    std::string Log() {
        std::vector<std::string> logs = FindLogFiles(dir, "script.kxb");
        EXPECT_EQ(logs.size(), 1u) << "one log file beside the script";
        return logs.empty() ? std::string() : MaskStamps(ReadFile(dir + "/" + logs[0]));
    }
    std::string dir;
};

TEST_F(StoppedRun, ReaderClosingThePipeAfterTheFirstLineChangesNothing) {
    RunOutcome run = Run([](const std::string& out, pid_t) { return out.find('\n') == std::string::npos; });
    EXPECT_EQ(run.signal, 0) << "a closed pipe killed kavelwrite";
    EXPECT_EQ(run.exitStatus, 0);
    std::string trace = ReadFile(dir + "/trace");
    EXPECT_EQ(Count(trace, "SendCommand cmd=17 dst=02 data=[00 01 01 02] -> 0"), 2) << trace;
    EXPECT_EQ(Count(trace, "SendCommand cmd=F1 dst=02 data=[] -> 0"), 2) << trace;
    std::string log = Log();
    EXPECT_EQ(Count(log, "STAMP_device0=\"result=0\""), 1) << log;
    EXPECT_EQ(Count(log, "STAMP_device1=\"result=0\""), 1) << log;
}

TEST_F(StoppedRun, CtrlCDuringTheResetWaitEndsItAtOnceAfterTheKeyboardIsDone) {
    const std::string txtProgress = " Writing progress: ";
    std::chrono::steady_clock::time_point signalled;
    bool bSignalled = false;
    RunOutcome run = Run([&](const std::string& out, pid_t pid) {
        // The block write counts the first step; every progress line after it is the reset wait's.
        if (!bSignalled && Count(out, txtProgress) >= 2) {
            bSignalled = kill(pid, SIGINT) == 0;
            signalled = std::chrono::steady_clock::now();
        }
        return true;
    });
    ASSERT_TRUE(bSignalled) << run.out;
    long long nAfterSignalMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled)
            .count();
    EXPECT_EQ(run.exitStatus, 130) << run.out;
    EXPECT_NE(run.out.find(txtProgress + "100 %\r\n Done.\nERROR: Interrupted by signal 2\n"),
              std::string::npos)
        << ShowCarriageReturns(run.out);
    EXPECT_EQ(run.out.find("device1:"), std::string::npos) << run.out;
    std::string trace = ReadFile(dir + "/trace");
    EXPECT_NE(trace.find("kb0 SendCommand cmd=F1"), std::string::npos) << trace;
    EXPECT_EQ(trace.find(" kb1 "), std::string::npos) << trace;
    EXPECT_EQ(Count(Log(), "interrupted"), 0);
    // The whole wait lasts over five seconds; a wait that resumed its pauses would last that long.
    EXPECT_LT(nAfterSignalMs, 2500);
}

} // namespace
