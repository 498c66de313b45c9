#include "driver.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

std::string Shown(int current, int total) {
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    int result = TerminalShowPercentage(current, total);
    std::cout.rdbuf(saved);
    EXPECT_EQ(result, 0);
    return captured.str();
}

TEST(TerminalShowPercentage, ShowsShareOfTheNextStepAndNothingOnceDone) {
    EXPECT_EQ(Shown(0, 1), " Writing progress: 100 %\r");
    EXPECT_EQ(Shown(0, 3), " Writing progress: 33 %\r");
    EXPECT_EQ(Shown(1, 40), " Writing progress: 5 %\r");
    EXPECT_EQ(Shown(39, 40), " Writing progress: 100 %\r");
    EXPECT_EQ(Shown(5, 5), "");
    EXPECT_EQ(Shown(6, 5), "");
    EXPECT_EQ(Shown(0, 0), "");
    EXPECT_EQ(Shown(-3, 0), "");
}

TEST(Timestamp, IsTheLetterTAndFourteenDigits) {
    std::string stamp = timestamp();
    ASSERT_EQ(stamp.size(), 15u);
    EXPECT_EQ(stamp[0], 't');
    for (size_t i = 1; i < stamp.size(); i++)
        EXPECT_TRUE(isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
}

} // namespace
