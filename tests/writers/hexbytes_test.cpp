#include "writers.h"

#include "driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

struct HexListCase {
    const char* text;
    int result;
    Bytes bytes;
};

const HexListCase hexListCases[] = {
    {"01 02 03", 0, {0x01, 0x02, 0x03}},
    {"01-02-03", 0, {0x01, 0x02, 0x03}},
    {"01,02,03", 0, {0x01, 0x02, 0x03}},
    {"01G02", 0, {0x01, 0x02}},   // the separator is never examined
    {"01 02 0", 0, {0x01, 0x02}}, // a lone trailing character is ignored
    {"0102", 0, {0x01}},          // four characters hold one byte
    {"010203", 0, {0x01, 0x20}},  // read from positions 0-1 and 3-4
    {" \t\n\r\f\v01 02 03 \r\n\t", 0, {0x01, 0x02, 0x03}},
    {"ff Fe 7f", 0, {0xFF, 0xFE, 0x7F}},
    {"-5", 0, {0xFB}}, // low 8 bits of a negative value
    {"+f", 0, {0x0F}},
    {"", 0, {}},
    {" \n\t ", 0, {}},
    {"0G", 1, {}},
    {"01 0G 03", 1, {}},
    {"-1", 1, {}}, // the error value itself
    {"0x", 1, {}},
    {"1 2", 1, {}},      // a digit followed by a blank is no number
    {"01\n  02", 1, {}}, // indentation breaks the grid
};

TEST(HexByteList, DecodesEveryCaseOfTheTable) {
    for (const HexListCase& c : hexListCases) {
        Bytes arData;
        EXPECT_EQ(c.result, HexByteListAppend(c.text, arData)) << '"' << c.text << '"';
        EXPECT_EQ(c.bytes, arData) << '"' << c.text << '"';
    }
}

TEST(HexByteList, AppendsAfterExistingBytes) {
    Bytes arData = {0xAA, 0xBB};
    EXPECT_EQ(0, HexByteListAppend("01 02", arData));
    EXPECT_EQ((Bytes{0xAA, 0xBB, 0x01, 0x02}), arData);
}

TEST(HexByteList, RejectedFieldLeavesEarlierBytesUntouched) {
    Bytes arData = {0xAA, 0xBB};
    EXPECT_EQ(1, HexByteListAppend("01 02 XY 04", arData));
    EXPECT_EQ((Bytes{0xAA, 0xBB}), arData);
}

TEST(HexByteList, DecodesOneHundredThousandBytes) {
    const size_t nBytes = 100000;
    std::string text;
    Bytes expected;
    char field[4];
    for (size_t i = 0; i < nBytes; ++i) {
        unsigned char value = static_cast<unsigned char>((i * 7 + i / 256) & 0xFF);
        std::snprintf(field, sizeof field, "%02X ", value);
        text += field;
        expected.push_back(value);
    }
    Bytes arData;
    EXPECT_EQ(0, HexByteListAppend(text, arData));
    ASSERT_EQ(nBytes, arData.size());
    EXPECT_EQ(expected, arData);
}

TEST(HexByteList, EveryTwoCharacterFieldReadsAsTheNumberParserReadsIt) {
    // Plain digit pairs take a short way; every pair must still give what StrHexToLong gives.
    for (int c0 = 1; c0 < 256; ++c0) {
        for (int c1 = 1; c1 < 256; ++c1) {
            const char field[3] = {static_cast<char>(c0), static_cast<char>(c1), 0};
            const std::string text = std::string("00 ") + field + " 00";
            long lExpected = StrHexToLong(field);
            Bytes arData;
            int nResult = HexByteListAppend(text, arData);
            ASSERT_EQ(nResult, lExpected == NOT_DEFINED ? 1 : 0) << c0 << " " << c1;
            if (nResult == 0) {
                ASSERT_EQ(arData.size(), 3u);
                ASSERT_EQ(arData[1], static_cast<unsigned char>(lExpected & 0xFF)) << c0 << " " << c1;
            }
        }
    }
}

struct MemoryMessageCase {
    long lAddress;
    const char* text;
    int result;
    Bytes data;
};

const MemoryMessageCase memoryMessageCases[] = {
    {0x4010, "01 02 03", 0, {0x10, 0x40, 0x01, 0x02, 0x03}},
    {0x1234, "0A 0B", 0, {0x34, 0x12, 0x0A, 0x0B}},
    {0x12345, "", 0, {0x45, 0x23}}, // only the low 16 bits travel
    {-2, "", 0, {0xFE, 0xFF}},
    {0x1234, "0A 0G", 1, {0x34, 0x12}},
};

TEST(MemoryMessage, PutsAddressLowThenHighBeforeTheBytes) {
    for (const MemoryMessageCase& c : memoryMessageCases) {
        Bytes arData = {0x99}; // earlier contents are replaced
        EXPECT_EQ(c.result, MemoryMessageData(c.lAddress, c.text, arData)) << c.lAddress;
        EXPECT_EQ(c.data, arData) << c.lAddress;
    }
}

} // namespace
