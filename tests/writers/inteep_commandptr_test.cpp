#include "writers.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// An element with the given answer indices, pointer data and Data children.
std::string Element(const char* low, const char* high, const char* blocks,
                    const char* ptrData = "<PtrData>01 02</PtrData>") {
    return std::string("<IntEep_CommandPtr><PtrDST>0</PtrDST><PtrCMD>130</PtrCMD>") + ptrData +
           "<AnswerByteAddressLow>" + low + "</AnswerByteAddressLow><AnswerByteAddressHigh>" + high +
           "</AnswerByteAddressHigh>" + blocks + "</IntEep_CommandPtr>";
}

// A keyboard whose library stores a negative answer length.
class NegativeLengthDevice : public FakeDevice {
public:
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        int nError = FakeDevice::SendCommand(cmd, dst, data, dataLen, response, responseLen);
        if (responseLen != nullptr) *responseLen = -7;
        return nError;
    }
};

TEST(IntEepCommandPtr, SendsThePointerCommandAndWritesFromTheAnsweredAddress) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, Element("1", "2", "<Data Offset=\"0\">AA BB</Data>"));
    FakeDevice device;
    device.Reply(0, {0x11, 0x34, 0x12});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    ASSERT_EQ(2u, device.sent.size());
    EXPECT_EQ(0x30, device.sent[0].cmd); // low 8 bits of 130
    EXPECT_EQ(0x04, device.sent[0].dst); // module 0
    EXPECT_EQ((Bytes{0x01, 0x02}), device.sent[0].data);
    EXPECT_TRUE(device.sent[0].answerAsked);
    EXPECT_EQ(255, device.sent[0].capacity);
    EXPECT_EQ(0x17, device.sent[1].cmd);
    EXPECT_EQ(0x02, device.sent[1].dst);
    EXPECT_EQ((Bytes{0x34, 0x52, 0xAA, 0xBB}), device.sent[1].data);
    EXPECT_FALSE(device.sent[1].answerAsked);
    EXPECT_EQ("result=0;responselen=3", Note(node));
    EXPECT_EQ("result=0", Note(DataChild(node, 0)));
    EXPECT_EQ(2, current);
}

struct AddressCase {
    Bytes answer;
    const char* low;
    const char* high;
    const char* offset;
    Bytes address; // the two address bytes of the block write
};

const AddressCase addressCases[] = {
    {{0x34, 0x12}, "0", "1", "0", {0x34, 0x52}},
    {{0x34, 0x52}, "0", "1", "0", {0x34, 0x52}}, // bit 14 is set by OR, not added
    {{0x00, 0x00}, "0", "1", "0", {0x00, 0x40}},
    {{0x12, 0x34}, "1", "0", "0", {0x34, 0x52}},   // the indices may come in any order
    {{0x00, 0x00}, "0", "1", "-10", {0xF0, 0x3F}}, // 16 bytes below the start address
    {{0xFF, 0xFF}, "0", "1", "2", {0x01, 0x00}},   // past FFFF: low 16 bits only
    {{0x77}, "0", "0", "0", {0x77, 0x77}},         // one byte may serve as both
};

TEST(IntEepCommandPtr, StartAddressIsBitFourteenOrTheAnswerBytes) {
    for (const AddressCase& c : addressCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(
            doc, Element(c.low, c.high, (std::string("<Data Offset=\"") + c.offset + "\"></Data>").c_str()));
        FakeDevice device;
        device.Reply(0, c.answer);
        int current = 0;
        int total = 0;
        EXPECT_EQ(0, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total)) << c.offset;
        ASSERT_EQ(2u, device.sent.size());
        EXPECT_EQ(c.address, device.sent[1].data) << c.offset;
    }
}

struct UnreachedCase {
    const char* low;
    const char* high;
    int status;
    Bytes answer;
    int reportedLen;
    const char* note;
};

const UnreachedCase unreachedCases[] = {
    {"1", "3", 0, {0x11, 0x34, 0x12}, -1, "ERROR=0;responselen=3"},
    {"3", "1", 0, {0x11, 0x34, 0x12}, -1, "ERROR=0;responselen=3"},
    {"-2", "1", 0, {0x11, 0x34, 0x12}, -1, "ERROR=0;responselen=3"}, // negative: never in the answer
    {"1", "-2", 0, {0x11, 0x34, 0x12}, -1, "ERROR=0;responselen=3"},
    {"1", "-8000000000000000", 0, {0x11, 0x34, 0x12}, -1, "ERROR=0;responselen=3"},
    {"1", "FF", 0, {0x11, 0x34, 0x12}, 300, "ERROR=0;responselen=12c"}, // beyond the buffer
    {"100", "1", 0, {0x11, 0x34, 0x12}, 300, "ERROR=0;responselen=12c"},
    {"1", "2", 0x102, {0x11, 0x34, 0x12}, -1, "ERROR=102;responselen=3"},
    {"0", "0", 0x102, {}, -1, "ERROR=102;responselen=0"},
};

TEST(IntEepCommandPtr, AnswerThatDoesNotReachAnIndexEndsTheElement) {
    for (const UnreachedCase& c : unreachedCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, Element(c.low, c.high, "<Data Offset=\"0\">01</Data>"));
        FakeDevice device;
        device.Reply(c.status, c.answer, c.reportedLen);
        int current = 0;
        int total = 0;
        EXPECT_EQ(5, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total)) << c.low << ' ' << c.high;
        EXPECT_EQ(1u, device.sent.size()) << c.low << ' ' << c.high;
        EXPECT_EQ(c.note, Note(node)) << c.low << ' ' << c.high;
        EXPECT_FALSE(DataChild(node, 0).attribute(STAMP));
        EXPECT_EQ(0, current);
    }
}

TEST(IntEepCommandPtr, ReportedLengthAboveTheBufferStillReadsInsideIt) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, Element("1", "2", "<Data Offset=\"0\">01</Data>"));
    FakeDevice device;
    device.Reply(0, {0x11, 0x34, 0x12}, 300);
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    EXPECT_EQ("result=0;responselen=12c", Note(node));
    ASSERT_EQ(2u, device.sent.size());
    EXPECT_EQ((Bytes{0x34, 0x52, 0x01}), device.sent[1].data);
}

TEST(IntEepCommandPtr, NegativeReportedLengthReachesNoIndex) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, Element("0", "0", "<Data Offset=\"0\">01</Data>"));
    NegativeLengthDevice device;
    device.Reply(0, {0x11, 0x34, 0x12});
    int current = 0;
    int total = 0;
    EXPECT_EQ(5, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    EXPECT_EQ("ERROR=0;responselen=fffffff9", Note(node));
    EXPECT_EQ(1u, device.sent.size());
    EXPECT_EQ(0, current);
}

TEST(IntEepCommandPtr, FailedBlockWriteStillWritesTheNextBlockThenFailsTheElement) {
    pugi::xml_document doc;
    pugi::xml_node node =
        Load(doc, Element("0", "1", "<Data Offset=\"0\">01</Data><Data Offset=\"10\">02</Data>"));
    FakeDevice device;
    device.Reply(0, {0x00, 0x00});
    device.Reply(0x103);
    device.Reply(0);
    int current = 0;
    int total = 0;
    // A failed write must not end in " Done.": the element fails once its blocks are written.
    EXPECT_EQ(-1, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    ASSERT_EQ(3u, device.sent.size());
    EXPECT_EQ((Bytes{0x10, 0x40, 0x02}), device.sent[2].data);
    EXPECT_EQ("ERROR=103", Note(DataChild(node, 0)));
    EXPECT_EQ("result=0", Note(DataChild(node, 1)));
    EXPECT_EQ(3, current);
}

TEST(IntEepCommandPtr, AbsentPtrDataSendsAnEmptyPointerCommand) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, Element("0", "1", "", ""));
    FakeDevice device;
    device.Reply(0, {0x00, 0x00});
    int current = 0;
    int total = 0;
    EXPECT_EQ(0, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    ASSERT_EQ(1u, device.sent.size());
    EXPECT_TRUE(device.sent[0].data.empty());
    EXPECT_FALSE(device.nullData);
    EXPECT_EQ(1, current);
}

struct ParseCase {
    const char* xml;
    int result;
    bool onData; // the annotation is on the first Data child
    const char* note;
    int current;
};

const ParseCase parseCases[] = {
    {"<IntEep_CommandPtr/>", 1, false, "PARSE_ERROR:PtrDST", 0},
    {"<IntEep_CommandPtr><PtrDST>10</PtrDST></IntEep_CommandPtr>", 1, false, "PARSE_ERROR:PtrDST", 0},
    {"<IntEep_CommandPtr><PtrDST>-2</PtrDST></IntEep_CommandPtr>", 1, false, "PARSE_ERROR:PtrDST", 0},
    {"<IntEep_CommandPtr><PtrDST>F </PtrDST></IntEep_CommandPtr>", 1, false, "PARSE_ERROR:PtrDST", 0},
    {"<IntEep_CommandPtr><PtrDST> F</PtrDST></IntEep_CommandPtr>", 2, false, "PARSE_ERROR:PtrCMD", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>-1</PtrCMD></IntEep_CommandPtr>", 2, false,
     "PARSE_ERROR:PtrCMD", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressLow>0</AnswerByteAddressLow>"
     "</IntEep_CommandPtr>",
     3, false, "PARSE_ERROR:AnswerByteAddressHigh", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressHigh>0</"
     "AnswerByteAddressHigh>"
     "</IntEep_CommandPtr>",
     4, false, "PARSE_ERROR:AnswerByteAddressLow", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressHigh>0</"
     "AnswerByteAddressHigh>"
     "<AnswerByteAddressLow>-1</AnswerByteAddressLow></IntEep_CommandPtr>",
     4, false, "PARSE_ERROR:AnswerByteAddressLow", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><PtrData>0G</PtrData>"
     "<AnswerByteAddressHigh>0</AnswerByteAddressHigh><AnswerByteAddressLow>0</AnswerByteAddressLow>"
     "</IntEep_CommandPtr>",
     1, false, "PARSE_ERROR:PtrData", 0},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressHigh>0</"
     "AnswerByteAddressHigh>"
     "<AnswerByteAddressLow>0</AnswerByteAddressLow><Data Offset=\"-1\">01</Data></IntEep_CommandPtr>",
     1, true, "PARSE_ERROR:Offset", 1},
    {"<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressHigh>0</"
     "AnswerByteAddressHigh>"
     "<AnswerByteAddressLow>0</AnswerByteAddressLow><Data Offset=\"0\">01 0G</Data></IntEep_CommandPtr>",
     1, true, "PARSE_ERROR:Data", 1},
};

TEST(IntEepCommandPtr, CheckPassReportsTheFirstInvalidFieldWithItsResult) {
    for (const ParseCase& c : parseCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, c.xml);
        int current = 0;
        int total = 0;
        EXPECT_EQ(c.result, kxbIntEepCommandPtr(node, STAMP, nullptr, &current, &total)) << c.xml;
        EXPECT_EQ(c.note, Note(c.onData ? DataChild(node, 0) : node)) << c.xml;
        EXPECT_EQ(c.current, current) << c.xml;
    }
}

TEST(IntEepCommandPtr, InvalidFieldSendsNothingInTheWritePass) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, Element("0", "1", "", "<PtrData>1 2</PtrData>"));
    FakeDevice device;
    int current = 0;
    int total = 0;
    EXPECT_EQ(1, kxbIntEepCommandPtr(node, STAMP, &device, &current, &total));
    EXPECT_TRUE(device.sent.empty());
    EXPECT_EQ("PARSE_ERROR:PtrData", Note(node));
}

} // namespace
