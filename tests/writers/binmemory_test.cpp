#include "writers.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct BlockCase {
    const char* dst;
    const char* cmd;
    const char* address;
    const char* text;
    unsigned char sentDst;
    unsigned char sentCmd;
    Bytes data;
};

const BlockCase blockCases[] = {
    {"2", "17", "1234", "0A 0B", 0x02, 0x17, {0x34, 0x12, 0x0A, 0x0B}},
    {"104", "17", "12345", "0A", 0x04, 0x17, {0x45, 0x23, 0x0A}}, // no mapping: low 8 bits
    {" 2", "1F3", "-2", "", 0x02, 0xF3, {0xFE, 0xFF}},
    {"FF", "-2", "0", "01-02-03", 0xFF, 0xFE, {0x00, 0x00, 0x01, 0x02, 0x03}},
    {"3F", "17", "FFFF", "-5", 0x3F, 0x17, {0xFF, 0xFF, 0xFB}},
};

TEST(BinMemory, SendsTheScriptsTypeToTheScriptsAddressUnmapped) {
    for (const BlockCase& c : blockCases) {
        pugi::xml_document doc;
        pugi::xml_node node =
            Load(doc, std::string("<BinMemory><DST>") + c.dst + "</DST><CMD>" + c.cmd +
                          "</CMD><Data Address=\"" + c.address + "\">" + c.text + "</Data></BinMemory>");
        FakeDevice device;
        int current = 0;
        int total = 0;
        EXPECT_EQ(0, kxbBinMemory(node, STAMP, &device, &current, &total)) << c.address;
        ASSERT_EQ(1u, device.sent.size()) << c.address;
        EXPECT_EQ(c.sentDst, device.sent[0].dst) << c.address;
        EXPECT_EQ(c.sentCmd, device.sent[0].cmd) << c.address;
        EXPECT_EQ(c.data, device.sent[0].data) << c.address;
        EXPECT_FALSE(device.sent[0].answerAsked);
        EXPECT_FALSE(node.attribute(STAMP));
        EXPECT_EQ("result=0", Note(DataChild(node, 0)));
        EXPECT_EQ(1, current);
    }
}

TEST(BinMemory, FailedBlockEndsTheElementAndLeavesLaterBlocksUntouched) {
    pugi::xml_document doc;
    pugi::xml_node node =
        Load(doc, "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"100\">01</Data>"
                  "<Data Address=\"200\">02</Data><Data Address=\"300\">0G</Data></BinMemory>");
    FakeDevice device;
    device.Reply(0);
    device.Reply(-1);
    int current = 0;
    int total = 0;
    EXPECT_EQ(-1, kxbBinMemory(node, STAMP, &device, &current, &total));
    EXPECT_EQ(2u, device.sent.size());
    EXPECT_EQ("result=0", Note(DataChild(node, 0)));
    EXPECT_EQ("ERROR=ffffffff", Note(DataChild(node, 1)));
    EXPECT_FALSE(DataChild(node, 2).attribute(STAMP)); // not even validated
    EXPECT_EQ(1, current);
}

TEST(BinMemory, ElementWithoutDataSendsAndCountsNothing) {
    pugi::xml_document doc;
    pugi::xml_node node =
        Load(doc, "<BinMemory><DST>2</DST><CMD>17</CMD><data Address=\"0\">01</data></BinMemory>");
    FakeDevice device;
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbBinMemory(node, STAMP, &device, &current, &total));
    EXPECT_TRUE(device.sent.empty());
    EXPECT_EQ(0, current);
    EXPECT_FALSE(node.attribute(STAMP));
}

struct ParseCase {
    const char* inner;
    int dataIndex; // -1: the annotation is on the element
    const char* note;
    int current;
};

const ParseCase parseCases[] = {
    {"<CMD>17</CMD>", -1, "PARSE_ERROR:DST", 0},
    {"<DST>-1</DST><CMD>17</CMD>", -1, "PARSE_ERROR:DST", 0},
    {"<DST>2 </DST><CMD>17</CMD>", -1, "PARSE_ERROR:DST", 0},
    {"<DST>G</DST><CMD>-1</CMD>", -1, "PARSE_ERROR:DST", 0},
    {"<DST>2</DST>", -1, "PARSE_ERROR:CMD", 0},
    {"<DST>2</DST><CMD>17\n</CMD>", -1, "PARSE_ERROR:CMD", 0},
    {"<DST>2</DST><CMD>17</CMD><Data>01</Data>", 0, "PARSE_ERROR:Address", 0},
    {"<DST>2</DST><CMD>17</CMD><Data Address=\"-1\">01</Data>", 0, "PARSE_ERROR:Address", 0},
    {"<DST>2</DST><CMD>17</CMD><Data Address=\"0\">01 0G</Data>", 0, "PARSE_ERROR:Data", 0},
    {"<DST>2</DST><CMD>17</CMD><Data Address=\"0\">01</Data><Data Address=\"1\">1 2</Data>", 1,
     "PARSE_ERROR:Data", 1},
};

TEST(BinMemory, CheckPassReportsTheFirstInvalidField) {
    for (const ParseCase& c : parseCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, std::string("<BinMemory>") + c.inner + "</BinMemory>");
        int current = 0;
        int total = 0;
        EXPECT_EQ(1, kxbBinMemory(node, STAMP, nullptr, &current, &total)) << c.inner;
        EXPECT_EQ(c.note, Note(c.dataIndex < 0 ? node : DataChild(node, c.dataIndex))) << c.inner;
        EXPECT_EQ(c.current, current) << c.inner;
    }
}

TEST(BinMemory, InvalidSecondBlockIsAnnotatedAfterTheFirstWasWritten) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"0\">01</Data>"
                                    "<Data Address=\"1\">1 2</Data></BinMemory>");
    FakeDevice device;
    int current = 0;
    int total = 0;
    EXPECT_EQ(1, kxbBinMemory(node, STAMP, &device, &current, &total));
    EXPECT_EQ(1u, device.sent.size());
    EXPECT_EQ("result=0", Note(DataChild(node, 0)));
    EXPECT_EQ("PARSE_ERROR:Data", Note(DataChild(node, 1)));
    EXPECT_EQ(1, current);
}

} // namespace
