#include "writers.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(IntEep, ReadsThePointerWithAThreeByteRequest) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<IntEep><PtrAddress>1234</PtrAddress></IntEep>");
    FakeDevice device;
    device.Reply(0, {0x00, 0x40});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEep(node, STAMP, &device, &current, &total));
    ASSERT_EQ(1u, device.sent.size());
    EXPECT_EQ(0x16, device.sent[0].cmd);
    EXPECT_EQ(0x02, device.sent[0].dst);
    EXPECT_EQ((Bytes{0x34, 0x12, 0x02}), device.sent[0].data);
    EXPECT_TRUE(device.sent[0].answerAsked);
    EXPECT_EQ(255, device.sent[0].capacity);
    EXPECT_EQ("result=0", Note(node));
    EXPECT_EQ(1, current);
}

TEST(IntEep, PointerAddressWrapsToSixteenBits) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<IntEep><PtrAddress>12345</PtrAddress></IntEep>");
    FakeDevice device;
    device.Reply(0, {0x00, 0x40});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEep(node, STAMP, &device, &current, &total));
    ASSERT_EQ(1u, device.sent.size());
    EXPECT_EQ((Bytes{0x45, 0x23, 0x02}), device.sent[0].data);
}

struct BlockCase {
    Bytes pointer; // answer to the pointer read
    const char* offset;
    const char* text;
    Bytes data; // the memory write expected
};

const BlockCase blockCases[] = {
    {{0x00, 0x40}, "10", "01 02 03", {0x10, 0x40, 0x01, 0x02, 0x03}},
    {{0x00, 0x40, 0x99}, "10", "01 02 03", {0x10, 0x40, 0x01, 0x02, 0x03}}, // extra byte ignored
    {{0xF0, 0xFF}, "20", "AA", {0x10, 0x00, 0xAA}},                         // past FFFF wraps
    {{0x34, 0x12}, "-4", "", {0x30, 0x12}},                                 // empty text: address only
    {{0x00, 0x40}, "7FFFFFFFFFFFFFFF", "01", {0xFF, 0x3F, 0x01}},           // no overflow, low 16 bits
};

TEST(IntEep, WritesEachBlockAtBasePlusOffset) {
    for (const BlockCase& c : blockCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, std::string("<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"") +
                                            c.offset + "\">" + c.text + "</Data></IntEep>");
        FakeDevice device;
        device.Reply(0, c.pointer);
        int current = 0;
        int total = 0;
        EXPECT_EQ(0, kxbIntEep(node, STAMP, &device, &current, &total)) << c.offset;
        ASSERT_EQ(2u, device.sent.size()) << c.offset;
        EXPECT_EQ(0x17, device.sent[1].cmd);
        EXPECT_EQ(0x02, device.sent[1].dst);
        EXPECT_EQ(c.data, device.sent[1].data) << c.offset;
        EXPECT_FALSE(device.sent[1].answerAsked);
        EXPECT_FALSE(device.nullData);
        EXPECT_EQ("result=0", Note(node));
        EXPECT_EQ("result=0", Note(DataChild(node, 0)));
        EXPECT_EQ(2, current);
    }
}

TEST(IntEep, BaseZeroSkipsEveryBlockButCountsItsStep) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data>"
                                    "<Data Offset=\"2\">02</Data></IntEep>");
    FakeDevice device;
    device.Reply(0, {0x00, 0x00});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEep(node, STAMP, &device, &current, &total));
    EXPECT_EQ(1u, device.sent.size()); // the pointer read only
    EXPECT_EQ("result=0", Note(node));
    EXPECT_EQ("skipped", Note(DataChild(node, 0)));
    EXPECT_EQ("skipped", Note(DataChild(node, 1)));
    EXPECT_EQ(3, current);
}

TEST(IntEep, FailedPointerReadEndsTheElement) {
    struct {
        int status;
        Bytes answer;
        const char* note;
    } cases[] = {
        {0, {0x40}, "ERROR=0"}, // one byte is no pointer
        {0, {}, "ERROR=0"},
        {0x102, {0x00, 0x40}, "ERROR=102"},
    };
    for (const auto& c : cases) {
        pugi::xml_document doc;
        pugi::xml_node node =
            Load(doc, "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data></IntEep>");
        FakeDevice device;
        device.Reply(c.status, c.answer);
        int current = 0;
        int total = 0;
        EXPECT_EQ(5, kxbIntEep(node, STAMP, &device, &current, &total)) << c.note;
        EXPECT_EQ(1u, device.sent.size());
        EXPECT_EQ(c.note, Note(node));
        EXPECT_TRUE(Note(DataChild(node, 0)).empty());
        EXPECT_EQ(0, current);
    }
}

TEST(IntEep, FailedSecondOfThreeBlocksStopsBeforeTheThird) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data>"
                                    "<Data Offset=\"1\">02</Data><Data Offset=\"2\">03</Data></IntEep>");
    FakeDevice device;
    device.Reply(0, {0x00, 0x40});
    device.Reply(0);
    device.Reply(0x103);
    int current = 0;
    int total = 0;
    EXPECT_EQ(-1, kxbIntEep(node, STAMP, &device, &current, &total));
    EXPECT_EQ(3u, device.sent.size());
    EXPECT_EQ("result=0", Note(DataChild(node, 0)));
    EXPECT_EQ("ERROR=103", Note(DataChild(node, 1)));
    EXPECT_FALSE(DataChild(node, 2).attribute(STAMP));
    EXPECT_EQ(2, current);
}

struct ParseCase {
    const char* inner;
    int dataIndex; // -1: the annotation is on the element
    const char* note;
    int current; // steps counted before the error
};

const ParseCase parseCases[] = {
    {"<Data Offset=\"0\">01</Data>", -1, "PARSE_ERROR:PtrAddress", 0},
    {"<PtrAddress>1000 </PtrAddress>", -1, "PARSE_ERROR:PtrAddress", 0},
    {"<PtrAddress>-1</PtrAddress>", -1, "PARSE_ERROR:PtrAddress", 0},
    {"<PtrAddress>1000</PtrAddress><Data>01</Data>", 0, "PARSE_ERROR:Offset", 1},
    {"<PtrAddress>1000</PtrAddress><Data><Offset>0</Offset>01</Data>", 0, "PARSE_ERROR:Offset", 1},
    {"<PtrAddress>1000</PtrAddress><Data Offset=\"-1\">01</Data>", 0, "PARSE_ERROR:Offset", 1},
    {"<PtrAddress>1000</PtrAddress><Data Offset=\"0 \">01</Data>", 0, "PARSE_ERROR:Offset", 1},
    {"<PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data><Data Offset=\"1\">0G</Data>", 1,
     "PARSE_ERROR:Data", 2},
};

TEST(IntEep, CheckPassAnnotatesTheFirstInvalidField) {
    for (const ParseCase& c : parseCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, std::string("<IntEep>") + c.inner + "</IntEep>");
        int current = 0;
        int total = 0;
        EXPECT_EQ(1, kxbIntEep(node, STAMP, nullptr, &current, &total)) << c.inner;
        pugi::xml_node annotated = c.dataIndex < 0 ? node : DataChild(node, c.dataIndex);
        EXPECT_EQ(c.note, Note(annotated)) << c.inner;
        EXPECT_EQ(c.current, current) << c.inner;
    }
}

TEST(IntEep, IgnoresChildrenNotNamedData) {
    pugi::xml_document doc;
    pugi::xml_node node =
        Load(doc, "<IntEep><PtrAddress>1000</PtrAddress><PtrAddress>2000</PtrAddress>"
                  "<data Offset=\"0\">0G</data><Other/><Data Offset=\"0\">01</Data></IntEep>");
    FakeDevice device;
    device.Reply(0, {0x00, 0x40});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEep(node, STAMP, &device, &current, &total));
    ASSERT_EQ(2u, device.sent.size());
    EXPECT_EQ((Bytes{0x00, 0x10, 0x02}), device.sent[0].data); // the first PtrAddress
    EXPECT_EQ((Bytes{0x00, 0x40, 0x01}), device.sent[1].data);
    EXPECT_EQ(2, current);
}

TEST(IntEep, CheckPassSendsNothingAndCountsPointerAndBlocks) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data>"
                                    "<Data Offset=\"1\">02</Data></IntEep>");
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEep(node, STAMP, nullptr, &current, &total));
    EXPECT_EQ(3, current);
    EXPECT_FALSE(node.attribute(STAMP));
    EXPECT_FALSE(DataChild(node, 0).attribute(STAMP));
}

} // namespace
