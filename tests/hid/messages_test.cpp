#include "hidlink.h"

#include <gtest/gtest.h>

namespace {

TEST(MessageData, GivesAValidBufferForEmptyData) {
    std::vector<unsigned char> none;
    EXPECT_NE(MessageData(none), nullptr);
    std::vector<unsigned char> some = {1, 2};
    EXPECT_EQ(MessageData(some), some.data());
}

} // namespace
