#include "device.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

TEST(CheckVersionDigit, FollowsWildcardAndNumberRules) {
    const struct {
        const char* field;
        int byte;
        int expected;
    } cases[] = {
        // One group of cases per line.
        // clang-format off
        {"xx", 0x00, 0}, {"xx", 0xFF, 0},                                                   // any byte
        {"x5", 0x05, 0}, {"x5", 0xF5, 0}, {"x5", 0x56, 1}, {"xf", 0x3F, 0},                  // low digit
        {"xg", 0x05, -2}, {"x ", 0x05, -2}, {"x-", 0x05, -2}, {"xX", 0x05, -2},
        {"5x", 0x50, 0}, {"5x", 0x5F, 0}, {"5x", 0x45, 2}, {"0x", 0x0F, 0}, {"0x", 0x10, 2}, // high digit
        {"gx", 0x50, -3}, {"Xx", 0x50, -3}, {" x", 0x05, -3},
        {"4f", 0x4F, 0}, {"4F", 0x4F, 0}, {"4f", 0x4E, 3}, {"00", 0x00, 0}, {"ff", 0xFF, 0}, // whole byte
        {"XX", 0x00, -4}, {"5X", 0x50, -4}, {"X5", 0x05, -4}, {"g1", 0x00, -4}, {"-1", 0xFF, -4},
        {"5", 0x05, -1}, {"", 0x00, -1}, {"005", 0x05, -1}, {"xxx", 0x00, -1},               // not two characters
        // clang-format on
    };
    for (const auto& c : cases)
        EXPECT_EQ(checkVersionDigit(c.field, c.byte), c.expected) << "'" << c.field << "' against " << c.byte;
}

TEST(CheckVersion, ComparesThreeOrFourFieldsAtFixedPositions) {
    const struct {
        const char* text;
        int major, minor, build, type;
        int expected;
    } cases[] = {
        {"1.2.3", 1, 2, 3, 0, -1}, // too short
        {"", 0, 0, 0, 0, -1},
        {"  1.2.3  ", 1, 2, 3, 0, -1},  // short once trimmed
        {"01.02.03", 1, 2, 3, 0x77, 0}, // any type
        {"01.02.03.04", 1, 2, 3, 4, 0}, // type compared
        {"01.02.03.04", 1, 2, 3, 5, 1},
        {"01.02.03.0", 1, 2, 3, 0x77, 0},    // ten characters: no type field
        {"01.02.03.04 junk", 1, 2, 3, 4, 0}, // nothing after the type is examined
        {"01-02-03", 1, 2, 3, 0, 0},         // separators are not examined
        {"01020304", 1, 0x20, 4, 0, 0},      // neither are the characters at 2 and 5
        {" \t01.02.03\n", 1, 2, 3, 0, 0},    // trimmed first
        {"02.02.03", 1, 2, 3, 0, 1},         // each field can mismatch
        {"01.03.03", 1, 2, 3, 0, 1},
        {"01.02.04", 1, 2, 3, 0, 1},
        {"xx.xx.xx", 0, 0, 0, 0, 0},
        {"0x.x2.4x", 0x0A, 0x52, 0x4F, 0, 0},
        {"01.XX.03", 1, 2, 3, 0, -2},    // malformed field
        {"02.02.XX", 1, 2, 3, 0, -2},    // malformed wins over an earlier mismatch
        {"01.02.03.0X", 1, 2, 3, 0, -2}, // malformed type
        {"1.2.3.4.5", 1, 2, 3, 4, -2},   // fields "1.", "2.", "3."
    };
    for (const auto& c : cases)
        EXPECT_EQ(checkVersion(c.text, c.major, c.minor, c.build, c.type), c.expected)
            << "'" << c.text << "'";
}

TEST(CheckId, MatchesAnyOfTheFourIdsOrTheWildcard) {
    const struct {
        const char* text;
        int idConfig, id, idSub, id66;
        int expected;
    } cases[] = {
        {"xx", 0x11, 0x22, 0x33, 0x44, 0},
        {" xx\n", 0x11, 0x22, 0x33, 0x44, 0},
        {"XX", 0x11, 0x22, 0x33, 0x44, -1},
        {"", 0x11, 0x22, 0x33, 0x44, -1},
        {"  ", 0x11, 0x22, 0x33, 0x44, -1},
        {"-1", 0x11, 0x22, 0x33, 0x44, -1},
        {"g5", 0x11, 0x22, 0x33, 0x44, -1},
        {"11 22", 0x11, 0x22, 0x33, 0x44, -1},
        {"c5", 0xC5, 0x00, 0x00, 0x00, 0},     // configured id
        {"66", 0x00, 0x66, 0x00, 0x00, 0},     // type id
        {"0x66", 0x00, 0x66, 0x00, 0x00, 0},   // with prefix
        {" 2A ", 0xC5, 0xC5, 0x2A, 0x00, 0},   // sub-id
        {"6612", 0x66, 0x66, 0x00, 0x12, 0},   // type id and id66 byte
        {"6612", 0x66, 0x66, 0x00, 0x6612, 0}, // type id and id66 from the sub-id query
        {"6612", 0x66, 0x66, 0x00, 0x13, 1},
        {"12", 0x66, 0x66, 0x00, 0x12, 1}, // id66 alone is not an id
        {"67", 0x66, 0x66, 0x00, 0x00, 1},
        {"0", 0x00, 0x11, 0x00, 0x00, 0}, // the controller's idConfig is 0
        {"0", 0x30, 0x30, 0x07, 0x00, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(checkId(c.text, c.idConfig, c.id, c.idSub, c.id66), c.expected) << "'" << c.text << "'";
}

// Candidates tried against one unit: configured id 30, type id 30, version 1.2.3 type 4.
TEST(KxbCheckControllerModule, TriesCandidatesInOrderUntilTheFirstMatch) {
    const struct {
        const char* what;
        const char* xml;
        int expected;
    } cases[] = {
        {"match", "<M><Module Id='30'><Version>01.02.03</Version></Module></M>", 0},
        {"first match wins, later malformed not seen",
         "<M><Module Id='30'><Version>01.02.03</Version><Version>bad</Version></Module>"
         "<Module Id='zz'><Version>01.02.03</Version></Module><Module/></M>",
         0},
        {"second version matches",
         "<M><Module Id='30'><Version>01.02.04</Version><Version>01.02.03</Version></Module></M>", 0},
        {"second candidate matches",
         "<M><Module Id='31'><Version>01.02.03</Version></Module><Module "
         "Id='xx'><Version>xx.xx.xx.04</Version></Module></M>",
         0},
        {"no candidate matches",
         "<M><Module Id='31'><Version>01.02.03</Version></Module>"
         "<Module Id='30'><Version>01.02.03.05</Version></Module></M>",
         1},
        {"candidate without Version never matches",
         "<M><Module Id='30'/><Module Id='xx'>01.02.03</Module></M>", 1},
        {"no candidates", "<M/>", 1},
        {"other names are not candidates",
         "<M><module Id='30'><Version>01.02.03</Version></module>"
         "<Candidate Id='30'><Version>01.02.03</Version></Candidate></M>",
         1},
        {"missing Id is malformed", "<M><Module><Version>01.02.03</Version></Module></M>", -1},
        {"malformed Id before a match",
         "<M><Module Id='3 0'><Version>01.02.03</Version></Module><Module "
         "Id='30'><Version>01.02.03</Version></Module></M>",
         -1},
        {"versions of a mismatching id are still checked",
         "<M><Module Id='31'><Version>1.2.3</Version></Module><Module "
         "Id='30'><Version>01.02.03</Version></Module></M>",
         -1},
        {"malformed field", "<M><Module Id='31'><Version>01.0X.03</Version></Module></M>", -2},
        {"matching version after malformed one",
         "<M><Module Id='30'><Version>01.0X.03</Version><Version>01.02.03</Version></Module></M>", -2},
    };
    for (const auto& c : cases) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(c.xml)) << c.what;
        EXPECT_EQ(kxbCheckControllerModule(doc.first_child(), 0x30, 0x30, 0, 0, 1, 2, 3, 4), c.expected)
            << c.what;
    }
}

TEST(KxbCheckControllerModule, EmptyHandleMatchesNothing) {
    EXPECT_EQ(kxbCheckControllerModule(pugi::xml_node(), 0, 0, 0, 0, 0, 0, 0, 0), 1);
}
