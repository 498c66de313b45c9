// Numbers and byte lists of the simulation file and the trace.
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

#include <climits>

using namespace kavelvk;

namespace {

struct HexCase {
    const char* text;
    bool bValid;
    long value;
};

TEST(ParseHexNumber, FollowsStrtolRulesAndAcceptsMinusOne) {
    const HexCase cases[] = {
        {"1F", true, 0x1F},
        {"1f", true, 0x1F},
        {"0x1F", true, 0x1F},
        {"0X1f", true, 0x1F},
        {"  1F", true, 0x1F},
        {"\n\t1F", true, 0x1F},
        {"+f", true, 15},
        {"-10", true, -16},
        {"-1", true, -1},
        {"-0x1", true, -1},
        {"0", true, 0},
        {"7FFFFFFFFFFFFFFF", true, LONG_MAX},
        {"", false, 0},
        {"   ", false, 0},
        {"1F ", false, 0},
        {"G1", false, 0},
        {"1 2", false, 0},
        {"0x", false, 0},
        {"8000000000000000", false, 0},
    };
    for (const HexCase& c : cases) {
        long lValue = 12345;
        EXPECT_EQ(ParseHexNumber(c.text, &lValue), c.bValid) << '"' << c.text << '"';
        if (c.bValid) {
            EXPECT_EQ(lValue, c.value) << '"' << c.text << '"';
        }
    }
}

struct StatusCase {
    const char* text;
    bool bValid;
    int status;
};

TEST(ParseStatus, AcceptsInt32AndTheTwosComplementPattern) {
    const StatusCase cases[] = {
        {"0", true, 0},
        {"119", true, 0x119},
        {"-1", true, -1},
        {"FFFFFFFF", true, -1},
        {"ffffffff", true, -1},
        {"80000000", true, INT_MIN},
        {"7FFFFFFF", true, INT_MAX},
        {"-80000000", true, INT_MIN},
        {"FFFFFFFE", true, -2},
        {"100000000", false, 0},
        {"-80000001", false, 0},
        {"-FFFFFFFF", false, 0},
        {"", false, 0},
        {"1 ", false, 0},
    };
    for (const StatusCase& c : cases) {
        int nStatus = 777;
        EXPECT_EQ(ParseStatus(c.text, &nStatus), c.bValid) << '"' << c.text << '"';
        if (c.bValid) {
            EXPECT_EQ(nStatus, c.status) << '"' << c.text << '"';
        }
    }
}

struct ByteListCase {
    const char* text;
    bool bValid;
    std::vector<std::uint8_t> bytes;
};

TEST(ParseByteList, AcceptsOnlyTwoDigitsPerByteAndSingleBlanks) {
    const ByteListCase cases[] = {
        {"", true, {}},
        {"AA", true, {0xAA}},
        {"aa 55 01", true, {0xAA, 0x55, 0x01}},
        {"00 ff", true, {0x00, 0xFF}},
        {" AA", false, {}},
        {"AA ", false, {}},
        {"AA  55", false, {}},
        {"AA\t55", false, {}},
        {"AA,55", false, {}},
        {"A", false, {}},
        {"AAA", false, {}},
        {"AA 5", false, {}},
        {"0xAA", false, {}},
        {"GG", false, {}},
        {" ", false, {}},
    };
    for (const ByteListCase& c : cases) {
        std::vector<std::uint8_t> bytes = {0x99};
        EXPECT_EQ(ParseByteList(c.text, &bytes), c.bValid) << '"' << c.text << '"';
        if (c.bValid) {
            EXPECT_EQ(bytes, c.bytes) << '"' << c.text << '"';
        }
    }
}

struct VersionCase {
    const char* text;
    bool bValid;
    int major, minor, build;
};

TEST(ParseLibraryVersion, AcceptsOnlyThreeDottedDecimals) {
    const VersionCase cases[] = {
        {"1.4.2", true, 1, 4, 2},
        {"10.0.123", true, 10, 0, 123},
        {"2147483647.0.0", true, INT_MAX, 0, 0},
        {"2147483648.0.0", false, 0, 0, 0},
        {"1.4", false, 0, 0, 0},
        {"1.4.2.0", false, 0, 0, 0},
        {"1.A.2", false, 0, 0, 0},
        {" 1.4.2", false, 0, 0, 0},
        {"1.4.2 ", false, 0, 0, 0},
        {"1..2", false, 0, 0, 0},
        {"-1.4.2", false, 0, 0, 0},
        {"", false, 0, 0, 0},
    };
    for (const VersionCase& c : cases) {
        int arVersion[3] = {-1, -1, -1};
        EXPECT_EQ(ParseLibraryVersion(c.text, arVersion), c.bValid) << '"' << c.text << '"';
        if (c.bValid) {
            EXPECT_EQ(arVersion[0], c.major);
            EXPECT_EQ(arVersion[1], c.minor);
            EXPECT_EQ(arVersion[2], c.build);
        }
    }
}

TEST(AppendStatus, WritesLowercaseHexWithoutLeadingZerosAndNegativesAs32Bit) {
    const std::pair<int, const char*> cases[] = {
        {0, "0"}, {0x119, "119"}, {255, "ff"}, {-1, "ffffffff"}, {INT_MIN, "80000000"}, {0x102, "102"},
    };
    for (const auto& c : cases) {
        std::string sText;
        AppendStatus(&sText, c.first);
        EXPECT_EQ(sText, c.second);
    }
}

TEST(AppendUpperHex, WritesUppercaseWithoutLeadingZeros) {
    const std::pair<unsigned long, const char*> cases[] = {
        {0, "0"}, {2, "2"}, {0x1000, "1000"}, {0xFFFF, "FFFF"}};
    for (const auto& c : cases) {
        std::string sText;
        AppendUpperHex(&sText, c.first);
        EXPECT_EQ(sText, c.second);
    }
}

TEST(AppendByteList, WritesTwoUppercaseDigitsPerByteWithSingleBlanks) {
    const std::uint8_t arBytes[] = {0x0A, 0xff, 0x00};
    std::string sText = "x=";
    AppendByteList(&sText, arBytes, 3);
    EXPECT_EQ(sText, "x=0A FF 00");
    std::string sEmpty;
    AppendByteList(&sEmpty, nullptr, 0);
    EXPECT_EQ(sEmpty, "");
}

TEST(OneLine, EscapesControlCharacters) {
    EXPECT_EQ(OneLine("a\nb\tc"), "a\\x0Ab\\x09c");
}

} // namespace
