// The stop handlers change how the whole process treats signals, so each test installs them in a
// child process of its own.
#include "driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(StopHandlersDeathTest, FirstSignalOnlyRequestsAStopAndASecondEndsTheProgram) {
    EXPECT_EXIT(
        {
            InstallStopHandlers();
            raise(SIGTERM);
            if (StopRequested() != SIGTERM) {
                std::fprintf(stderr, "first signal not recorded: %d\n", StopRequested());
                std::_Exit(1);
            }
            raise(SIGINT);
            std::fprintf(stderr, "second signal did not end the program\n");
            std::_Exit(2);
        },
        ::testing::KilledBySignal(SIGINT), "");
}

TEST(StopHandlersDeathTest, ClosedPipeIsIgnoredAndSoIsAHangUpThatTheCallerIgnores) {
    EXPECT_EXIT(
        {
            // As nohup starts a program.
            std::signal(SIGHUP, SIG_IGN);
            InstallStopHandlers();
            raise(SIGPIPE);
            raise(SIGHUP);
            std::fprintf(stderr, "stop requested by %d\n", StopRequested());
            std::_Exit(StopRequested() == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "stop requested by 0");
}

} // namespace
