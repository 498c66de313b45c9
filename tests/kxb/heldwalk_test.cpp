// kxb's held walk: what reaches a real keyboard, and which Data child each block stands for.
#include "kxb.h"

#include "hidlink.h"
#include "kavelhidapi.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// A keyboard that answers only reads and fails the test on any other message (but the pointer
// command, where the test allows it): a controller without modules whose memory holds memory.
class ReadOnlyKeyboard : public KavelHidDevice {
public:
    int Open() override { return 0; }
    int Close() override { return 0; }
    int EnumerateModules() override { return 0; }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        bool bAnswer = response != nullptr && responseLen != nullptr;
        std::vector<unsigned char> pAnswer;
        if (bAnswer && cmd == MID_MSGT_CMD_VERSION) {
            pAnswer = {0x11, 1, 2, 3};
        } else if (bAnswer && cmd == MID_MSGT_CMD_RD_MEM && dataLen == 3) {
            for (int i = 0; i < data[2]; i++) pAnswer.push_back(memory[(data[0] | data[1] << 8) + i]);
        } else if (bAnswer && cmd == pointerCommand) {
            nPointerCommands++;
        } else if (!bAnswer || (cmd != MID_MSGT_CMD_EXE_RD_CONFIG && cmd != MID_MSGT_CMD_FF &&
                                cmd != MID_MSGT_CMD_RD_MODULE_EEPROM)) {
            ADD_FAILURE() << "a message that is no read reached the keyboard: " << std::hex << int(cmd)
                          << " to " << int(dst) << (bAnswer ? " with an answer" : " without an answer");
        }
        if (bAnswer) {
            std::copy(pAnswer.begin(), pAnswer.end(), response);
            *responseLen = static_cast<int>(pAnswer.size());
        }
        return 0;
    }

    std::map<int, unsigned char> memory;
    int pointerCommand = -1;
    int nPointerCommands = 0;
};

// Every writer, with messages of read types that ask for no answer, which must be kept.
const char* const WRITERS = R"(
<Command><DST>F</DST><CMD>F7</CMD></Command>
<BinMemory><DST>2</DST><CMD>16</CMD><Data Address="10">00 00 05</Data></BinMemory>
<IntEep><PtrAddress>40</PtrAddress><Data Offset="0">11</Data></IntEep>
<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressLow>0</AnswerByteAddressLow>
<AnswerByteAddressHigh>1</AnswerByteAddressHigh><Data Offset="0">22</Data></IntEep_CommandPtr>)";

TEST(KxbReadBackWithoutWriting, SendsOnlyReadsAndThePointerCommandOnlyWhenAllowed) {
    for (bool bSendPointerCommands : {false, true}) {
        SCOPED_TRACE(bSendPointerCommands);
        pugi::xml_document doc;
        pugi::xml_node root = Load(doc, "<XML_BIN_FILE>" + AnyDeviceElement() + WRITERS + "</XML_BIN_FILE>");
        ReadOnlyKeyboard keyboard;
        keyboard.pointerCommand = 0x30;
        KeyboardReadBack readback;
        KxbReadBackWithoutWriting(root, &keyboard, "kxb read_device0", bSendPointerCommands, &readback);
        EXPECT_EQ(keyboard.nPointerCommands, bSendPointerCommands ? 1 : 0);
        EXPECT_EQ(readback.arBlock.size(), 4u);
    }
}

// A skipped block holds no message; every other Data child holds its own message, also one without
// bytes, so that no block takes another's address.
TEST(KxbReadBackWithoutWriting, GivesEveryWrittenDataChildItsOwnMessage) {
    const char* const txtScript = R"(
<BinMemory><DST>2</DST><CMD>17</CMD><Data Address="10">01 02</Data><Data Address="20"/>
<Data Address="30">03</Data></BinMemory>
<IntEep><PtrAddress>40</PtrAddress><Data Offset="1">AA</Data><Data Offset="2">BB CC</Data></IntEep>
<IntEep><PtrAddress>42</PtrAddress><Data Offset="1">DD</Data></IntEep>
<BinMemory><DST>4</DST><CMD>30</CMD><Data Address="50">EE</Data></BinMemory>)";
    struct Expected {
        const char* txtElement;
        const char* txtAttribute;
        int nState;
        int nUnit;
        int nAddress;
        int nLength;
    };
    const Expected expected[] = {
        {"BinMemory", "10", BLOCK_MATCH, 2, 0x10, 2},        {"BinMemory", "20", BLOCK_MATCH, 2, 0x20, 0},
        {"BinMemory", "30", BLOCK_MATCH, 2, 0x30, 1},        {"IntEep", "1", BLOCK_MATCH, 2, 0x5001, 1},
        {"IntEep", "2", BLOCK_MATCH, 2, 0x5002, 2},          {"IntEep", "1", BLOCK_SKIPPED, 0, 0, 0},
        {"BinMemory", "50", BLOCK_NOT_VERIFIED, 4, 0x50, 1},
    };
    pugi::xml_document doc;
    pugi::xml_node root = Load(doc, "<XML_BIN_FILE>" + AnyDeviceElement() + txtScript + "</XML_BIN_FILE>");
    ReadOnlyKeyboard keyboard;
    // The first pointer holds 5000, the second 0; the keyboard holds what the first blocks write.
    keyboard.memory = {{0x40, 0x00}, {0x41, 0x50},   {0x10, 0x01},   {0x11, 0x02},
                       {0x30, 0x03}, {0x5001, 0xAA}, {0x5002, 0xBB}, {0x5003, 0xCC}};
    KeyboardReadBack readback;
    EXPECT_EQ(KxbReadBackWithoutWriting(root, &keyboard, "kxb read_device0", false, &readback), 0);
    ASSERT_EQ(readback.arBlock.size(), std::size(expected));
    for (size_t i = 0; i < readback.arBlock.size(); i++) {
        SCOPED_TRACE(i);
        const KxbBlock& block = readback.arBlock[i];
        EXPECT_STREQ(block.node.parent().name(), expected[i].txtElement);
        EXPECT_STREQ(block.node.first_attribute().value(), expected[i].txtAttribute);
        EXPECT_EQ(block.nState, expected[i].nState);
        EXPECT_EQ(block.nUnit, expected[i].nUnit);
        EXPECT_EQ(block.nAddress, expected[i].nAddress);
        EXPECT_EQ(block.nLength, expected[i].nLength);
    }
    EXPECT_EQ(readback.nBytesMatch, 6);
}

// A keyboard that does not suit the script has no blocks: it ends as kavelwrite would end on it.
TEST(KxbReadBackWithoutWriting, EndsAKeyboardThatDoesNotSuitTheScript) {
    pugi::xml_document doc;
    std::string sDevice = AnyDeviceElement();
    sDevice.replace(sDevice.find("Id=\"xx\""), 7, "Id=\"12\"");
    pugi::xml_node root = Load(doc, "<XML_BIN_FILE>" + sDevice + WRITERS + "</XML_BIN_FILE>");
    ReadOnlyKeyboard keyboard;
    KeyboardReadBack readback;
    EXPECT_EQ(KxbReadBackWithoutWriting(root, &keyboard, "kxb read_device0", false, &readback),
              ERR_ERROR_DEVICE_COMPATIBILITY);
    EXPECT_EQ(readback.nStatus, ERR_ERROR_DEVICE_COMPATIBILITY);
    EXPECT_TRUE(readback.arBlock.empty());
}

} // namespace
