// A run stopped by a signal, in a child process of its own since the stop handlers change how the
// whole process treats signals.
#include "kavelwrite.h"

#include "driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <glob.h>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// In a death-test child: requests a stop, then runs kavelwrite with arguments, and prints its output
// after the banner's lines (line breaks as "/") and its status on standard error.
void RunAfterStopRequest(std::vector<std::string> arArguments) {
    InstallStopHandlers();
    raise(SIGINT);
    std::ostringstream captured;
    std::cout.rdbuf(captured.rdbuf());
    std::vector<char*> arArgs = {nullptr};
    for (std::string& sArgument : arArguments) arArgs.push_back(sArgument.data());
    int nStatus = kxbMain(static_cast<int>(arArgs.size()), arArgs.data());
    std::string sOut = captured.str();
    std::replace(sOut.begin(), sOut.end(), '\n', '/');
    std::fprintf(stderr, "%s%d", sOut.substr(sOut.find("//") + 2).c_str(), nStatus);
    std::_Exit(0);
}

// A stop before a script is even named is said, and the run ends as the signal would end it.
TEST(StopHandlersDeathTest, StopWithoutAScriptIsSaidAfterTheMissingParameter) {
    EXPECT_EXIT(RunAfterStopRequest({}), ::testing::ExitedWithCode(0),
                "^ERROR: Kxb file parameter missing//Usage: kavelwrite kxbfile .*/ERROR: Interrupted by "
                "signal 2/130$");
}

TEST(StopHandlersDeathTest, StopDuringTheCheckPassLooksForNoKeyboardAndStillSavesTheLog) {
    std::string sScript = ::testing::TempDir() + "stop-check-" + std::to_string(getpid()) + ".kxb";
    std::ofstream(sScript) << "<XML_BIN_FILE><Device/></XML_BIN_FILE>";
    EXPECT_EXIT(RunAfterStopRequest({sScript, "--logfile"}), ::testing::ExitedWithCode(0),
                "^Kxb file check: Pass/ERROR: Interrupted by signal 2/130$");
    glob_t logs;
    ASSERT_EQ(glob((sScript + "_t*").c_str(), 0, nullptr, &logs), 0) << "no log file";
    EXPECT_EQ(logs.gl_pathc, 1u);
    for (size_t i = 0; i < logs.gl_pathc; i++) std::remove(logs.gl_pathv[i]);
    globfree(&logs);
    std::remove(sScript.c_str());
}

} // namespace
