#include "driver.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct HexCase {
    const char* text;
    long expected;
};

TEST(StrHexToLong, AcceptsOnlyWholeHexNumbersWithinRange) {
    const HexCase cases[] = {
        {"1F", 0x1F},
        {"1f", 0x1F},
        {"0x1F", 0x1F},
        {"0X1f", 0x1F},
        {" 1F", 0x1F},
        {"\t\n1F", 0x1F},
        {"+f", 15},
        {"-10", -16},
        {"0", 0},
        {"7FFFFFFFFFFFFFFF", LONG_MAX},
        {"-8000000000000000", LONG_MIN},
        {"8000000000000000", NOT_DEFINED},
        {"-8000000000000001", NOT_DEFINED},
        {"1F ", NOT_DEFINED},
        {"1F\n", NOT_DEFINED},
        {"", NOT_DEFINED},
        {"   ", NOT_DEFINED},
        {"0x", NOT_DEFINED},
        {"G1", NOT_DEFINED},
        {"1 2", NOT_DEFINED},
        {"-1", NOT_DEFINED},
        {"-0x1", NOT_DEFINED},
    };
    for (const HexCase& c : cases) EXPECT_EQ(StrHexToLong(c.text), c.expected) << "text \"" << c.text << "\"";
}

TEST(StrHexToLong, RejectsNull) {
    EXPECT_EQ(StrHexToLong(nullptr), NOT_DEFINED);
}

TEST(Trim, RemovesEachOfTheSixWhiteSpaceCharactersAtBothEnds) {
    EXPECT_EQ(trim("  0A\r\n"), "0A");
    EXPECT_EQ(trim(" \n\r\t\f\v"), "");
    EXPECT_EQ(trim("A B"), "A B");
    for (char c : std::string(" \n\r\t\f\v")) {
        std::string s = std::string(1, c) + "x" + std::string(1, c);
        EXPECT_EQ(trim(s), "x") << "character " << int(c);
        EXPECT_EQ(ltrim(s), "x" + std::string(1, c)) << "character " << int(c);
        EXPECT_EQ(rtrim(s), std::string(1, c) + "x") << "character " << int(c);
    }
    // Other control characters and non-breaking bytes are not white space.
    EXPECT_EQ(trim("\x01x\x01"), "\x01x\x01");
    EXPECT_EQ(trim(""), "");
}

TEST(ToHex, WritesLowercaseWithoutPrefixAndNegativesAsTwosComplement) {
    const struct {
        int value;
        const char* expected;
    } cases[] = {{0, "0"},         {281, "119"},          {255, "ff"},          {-1, "ffffffff"},
                 {-2, "fffffffe"}, {INT_MIN, "80000000"}, {INT_MAX, "7fffffff"}};
    for (const auto& c : cases) EXPECT_EQ(ToHex(c.value), c.expected) << c.value;
}

TEST(ToTwoDigitDec, PadsToTwoDigitsOnly) {
    EXPECT_EQ(ToTwoDigitDec(0), "00");
    EXPECT_EQ(ToTwoDigitDec(7), "07");
    EXPECT_EQ(ToTwoDigitDec(59), "59");
    EXPECT_EQ(ToTwoDigitDec(123), "123");
    EXPECT_EQ(ToTwoDigitDec(-5), "-5");
}

TEST(StatusAnnotation, ResultForZeroErrorOtherwise) {
    EXPECT_EQ(StatusAnnotation(0), "result=0");
    EXPECT_EQ(StatusAnnotation(281), "ERROR=119");
    EXPECT_EQ(StatusAnnotation(-1), "ERROR=ffffffff");
}

TEST(XmlHelpers, AddAttributeTwiceKeepsBothInCallOrder) {
    pugi::xml_document doc;
    pugi::xml_node node = doc.append_child("Command");
    AddAttribute(node, "t1", "a");
    AddAttribute(node, "t1", "b");
    pugi::xml_attribute first = node.first_attribute();
    ASSERT_TRUE(first);
    EXPECT_STREQ(first.name(), "t1");
    EXPECT_STREQ(first.value(), "a");
    ASSERT_TRUE(first.next_attribute());
    EXPECT_STREQ(first.next_attribute().name(), "t1");
    EXPECT_STREQ(first.next_attribute().value(), "b");
}

TEST(XmlHelpers, ReadsUntrimmedTextAndEmptyForAbsentNodes) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<Command a=\"1\"><DST> 0A </DST><DST>5</DST><Empty/></Command>"));
    pugi::xml_node node = doc.first_child();
    EXPECT_STREQ(ChildNodeValue(node, "DST"), " 0A ");
    EXPECT_EQ(StrHexToLong(ChildNodeValue(node, "DST")), NOT_DEFINED);
    EXPECT_STREQ(ChildNodeValue(node, "Empty"), "");
    EXPECT_STREQ(ChildNodeValue(node, "CMD"), "");
    EXPECT_STREQ(ChildNodeValue(pugi::xml_node(), "DST"), "");
    EXPECT_STREQ(AttributeValue(node, "a"), "1");
    EXPECT_STREQ(AttributeValue(node, "b"), "");
    EXPECT_STREQ(AttributeValue(pugi::xml_node(), "a"), "");
}

TEST(XmlHelpers, AddingToAnEmptyHandleDoesNothing) {
    pugi::xml_node none;
    EXPECT_EQ(AddAttribute(none, "x", "y"), 0);
    EXPECT_FALSE(AddChild(none, "Child"));
    pugi::xml_document doc;
    pugi::xml_node parent = doc.append_child("Parent");
    parent.append_child("First");
    pugi::xml_node added = AddChild(parent, "Second");
    EXPECT_EQ(added, parent.last_child());
}

} // namespace
