// The read-back watches the walk: every block it reads stands at the Data child that wrote it,
// whatever else a writer sends.
#include "readback.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

namespace {

// A BinMemory writer that first sends a message of its own without an answer.
int ChattyBinMemory(pugi::xml_node node, std::string timestampDevice, KavelHidDevice* device, int* current,
                    int* total) {
    std::vector<unsigned char> pData = {0x5A};
    if (device != nullptr) SendWithoutAnswer(device, 0x30, MID_ADDR_MASTER, pData);
    return kxbBinMemory(node, timestampDevice, device, current, total);
}

TEST(ReadBack, ReadsEveryBlockBackAtItsOwnDataChildAfterAnExtraMessage) {
    pugi::xml_document doc;
    pugi::xml_node element = Load(doc, R"(<BinMemory><DST>2</DST><CMD>17</CMD>
<Data Address="10">01 02</Data><Data Address="20">03</Data></BinMemory>)");
    FakeDevice keyboard;
    ReadBackPassOwner pass = ReadBackBegin(&keyboard);
    WalkObserver* observer = ReadBackObserver(pass.get());
    const unsigned nTraits = ELEMENT_WRITER | ELEMENT_DATA_BLOCKS;
    int current = 0;
    int total = 0;
    WalkObserver* previous = SetWalkObserver(observer);
    observer->ElementBegin(element, nTraits);
    int nResult = ChattyBinMemory(element, STAMP, &keyboard, &current, &total);
    observer->ElementEnd(element, nTraits, nResult);
    SetWalkObserver(previous);
    ASSERT_EQ(nResult, 0);

    // The keyboard holds the first block's bytes and another byte where the second block wrote.
    keyboard.Reply(0, {0x01, 0x02});
    keyboard.Reply(0, {0x04});
    KeyboardReadBack readback;
    EXPECT_EQ(ReadBackFinish(pass.get(), true, STAMP, &current, &total, &readback), ERR_ERROR_DEVICE_DIFFERS);
    ASSERT_EQ(readback.arBlock.size(), 2u);
    pugi::xml_node first = element.child("Data");
    EXPECT_EQ(readback.arBlock[0].node, first);
    EXPECT_EQ(readback.arBlock[0].nState, BLOCK_MATCH);
    EXPECT_EQ(readback.arBlock[0].nAddress, 0x10);
    EXPECT_EQ(readback.arBlock[1].node, first.next_sibling("Data"));
    EXPECT_EQ(readback.arBlock[1].nState, BLOCK_DIFFER);
    EXPECT_STREQ(first.attribute((std::string(STAMP) + "_verify").c_str()).value(), "match");
}

} // namespace
