// What a virtual keyboard does with each call, tested on keyboards built from inline simulations.
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kavelvk;
using Bytes = std::vector<std::uint8_t>;

namespace {

const char* const txtKeyboard = R"(<KavelSimulation>
  <Keyboard>
    <Controller>
      <Version>11 01 02 03 00</Version>
      <Config>66 C5 00</Config>
    </Controller>
    <Module Slot="0">
      <Version>66 02 00 4F</Version>
      <SubId>04 12</SubId>
    </Module>
    <Module Slot="1">
      <Eeprom>AA 55 07</Eeprom>
    </Module>
    <Module Slot="F">
      <Version>C5 01 00 07</Version>
    </Module>
    <Memory Unit="2" Address="1000">00 40</Memory>
    <Answer Cmd="30" Dst="4">12 34 56</Answer>
    <Answer Cmd="30" Dst="4">99</Answer>
    <Answer Cmd="31" Dst="2"/>
  </Keyboard>
</KavelSimulation>
)";

struct Result {
    int status;
    Bytes answer;
};

// Sends a message asking for an answer of at most capacity bytes.
Result Send(KavelHidDevice* device, std::uint8_t cmd, std::uint8_t dst, Bytes data, int capacity = 255) {
    Bytes response(255, 0xEE);
    int nResponseLen = capacity;
    int nStatus = device->SendCommand(cmd, dst, data.data(), static_cast<int>(data.size()), response.data(),
                                      &nResponseLen);
    EXPECT_GE(nResponseLen, 0);
    EXPECT_LE(nResponseLen, capacity < 0 ? 0 : capacity);
    response.resize(static_cast<std::size_t>(std::max(nResponseLen, 0)));
    return Result{nStatus, response};
}

// Sends a message that asks for no answer.
int SendNoAnswer(KavelHidDevice* device, std::uint8_t cmd, std::uint8_t dst, Bytes data) {
    return device->SendCommand(cmd, dst, data.data(), static_cast<int>(data.size()), nullptr, nullptr);
}

class KeyboardTest : public ::testing::Test {
protected:
    // Loads a simulation and opens its first keyboard.
    void Load(const char* xml, bool bOpen = true) {
        std::string sError;
        ASSERT_TRUE(simulation.LoadText(xml, &sError)) << sError;
        device = std::make_unique<VirtualKeyboard>(simulation.keyboards[0].get(), 0, nullptr, nullptr);
        if (bOpen) {
            ASSERT_EQ(device->Open(), 0);
        }
    }
    Simulation simulation;
    std::unique_ptr<VirtualKeyboard> device;
};

struct FixedCase {
    const char* name;
    std::uint8_t cmd;
    std::uint8_t dst;
    Bytes data;
    int status;
    Bytes answer;
};

TEST_F(KeyboardTest, AnswersEachMessageTypeFromTheFile) {
    Load(txtKeyboard);
    const FixedCase cases[] = {
        {"controller version", 0xF7, 2, {}, 0, {0x11, 0x01, 0x02, 0x03, 0x00}},
        {"controller configuration", 0x11, 2, {}, 0, {0x66, 0xC5, 0x00}},
        {"module version", 0xF7, 4, {}, 0, {0x66, 0x02, 0x00, 0x4F}},
        {"module in slot F", 0xF7, 0x22, {}, 0, {0xC5, 0x01, 0x00, 0x07}},
        {"module sub-id", 0xFF, 4, {}, 0, {0x04, 0x12}},
        {"module eeprom", 0xF9, 6, {0x00, 0x80, 0x12}, 0, {0xAA, 0x55, 0x07}},
        {"module without version", 0xF7, 6, {}, 0x102, {}},
        {"module without sub-id", 0xFF, 6, {}, 0x102, {}},
        {"module without eeprom", 0xF9, 4, {}, 0x102, {}},
        {"controller has no sub-id", 0xFF, 2, {}, 0x102, {}},
        {"controller has no eeprom", 0xF9, 2, {}, 0x102, {}},
        {"module without configuration", 0x11, 4, {}, 0, {}},
        {"reset", 0xF1, 2, {}, 0, {}},
        {"first answer element wins", 0x30, 4, {}, 0, {0x12, 0x34, 0x56}},
        {"answer element with no bytes", 0x31, 2, {}, 0, {}},
        {"answer for another address", 0x30, 2, {}, 0, {}},
        {"other type without answer", 0x42, 4, {1, 2}, 0, {}},
        {"slot without module", 0xF7, 8, {}, 0x102, {}},
        {"odd address", 0xF7, 5, {}, 0x102, {}},
        {"address 0", 0xF7, 0, {}, 0x102, {}},
        {"address beyond slot F", 0xF7, 0x24, {}, 0x102, {}},
        {"memory read at absent unit", 0x16, 8, {0, 0, 1}, 0x102, {}},
        {"memory write at absent unit", 0x17, 8, {0, 0, 1}, 0x102, {}},
        {"other type at absent unit", 0x30, 8, {}, 0x102, {}},
    };
    for (const FixedCase& c : cases) {
        Result result = Send(device.get(), c.cmd, c.dst, c.data);
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.answer, c.answer) << c.name;
    }
}

TEST_F(KeyboardTest, NeverSetBytesReadZeroAndFileMemoryReadsBack) {
    Load(txtKeyboard);
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0xFF, 0x0F, 4}).answer, (Bytes{0x00, 0x00, 0x40, 0x00}));
    EXPECT_EQ(Send(device.get(), 0x16, 4, {0x00, 0x10, 2}).answer, (Bytes{0x00, 0x00}));
    Result empty = Send(device.get(), 0x16, 2, {0x00, 0x10, 0});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.answer, Bytes{});
}

TEST_F(KeyboardTest, WriteThenReadWrapsAtFFFF) {
    Load(txtKeyboard);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0xFE, 0xFF, 0xA1, 0xA2, 0xA3, 0xA4}), 0);
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0xFD, 0xFF, 6}).answer,
              (Bytes{0x00, 0xA1, 0xA2, 0xA3, 0xA4, 0x00}));
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0x00, 0x00, 2}).answer, (Bytes{0xA3, 0xA4}));
    Unit* controller = simulation.keyboards[0]->UnitAt(2);
    EXPECT_TRUE(controller->memory->IsSet(0xFFFF));
    EXPECT_TRUE(controller->memory->IsSet(0x0001));
    EXPECT_FALSE(controller->memory->IsSet(0x0002));
}

TEST_F(KeyboardTest, EachUnitHasItsOwnMemory) {
    Load(txtKeyboard);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 4, {0x00, 0x10, 0x77}), 0);
    EXPECT_EQ(Send(device.get(), 0x16, 4, {0x00, 0x10, 1}).answer, Bytes{0x77});
    EXPECT_EQ(Send(device.get(), 0x16, 6, {0x00, 0x10, 1}).answer, Bytes{0x00});
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0x00, 0x10, 1}).answer, Bytes{0x00});
}

TEST_F(KeyboardTest, ReadOfFFBytesGivesAllOfThem) {
    Load(txtKeyboard);
    Result result = Send(device.get(), 0x16, 2, {0x10, 0x0F, 0xFF});
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.answer.size(), 255u);
    // Address 1001, set to 40 by the file, is byte F1 of the answer.
    EXPECT_EQ(result.answer[0xF1], 0x40);
    EXPECT_EQ(std::count(result.answer.begin(), result.answer.end(), 0x00), 254);
}

TEST_F(KeyboardTest, ShortMemoryRequestsAreMalformed) {
    Load(txtKeyboard);
    const std::pair<std::uint8_t, Bytes> cases[] = {
        {0x16, {}}, {0x16, {0x00}}, {0x16, {0x00, 0x10}}, {0x17, {}}, {0x17, {0x00}},
    };
    for (const auto& c : cases) {
        Result result = Send(device.get(), c.first, 2, c.second);
        EXPECT_EQ(result.status, 0x103) << int(c.first) << " with " << c.second.size() << " bytes";
        EXPECT_EQ(result.answer, Bytes{});
    }
    // An address alone is a write of no bytes: nothing happens, and nothing is wrong.
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x00, 0x10}), 0);
    EXPECT_FALSE(simulation.keyboards[0]->UnitAt(4)->memory);
}

TEST_F(KeyboardTest, UnreadableDataCountsAsNoData) {
    Load(txtKeyboard);
    int nResponseLen = 255;
    std::uint8_t arResponse[255];
    EXPECT_EQ(device->SendCommand(0x16, 2, nullptr, 3, arResponse, &nResponseLen), 0x103);
    EXPECT_EQ(nResponseLen, 0);
    std::uint8_t arData[3] = {0x00, 0x10, 0x02};
    nResponseLen = 255;
    EXPECT_EQ(device->SendCommand(0x16, 2, arData, -3, arResponse, &nResponseLen), 0x103);
    // dataLen limits what is read even when the buffer holds more.
    EXPECT_EQ(device->SendCommand(0x16, 2, arData, 2, arResponse, &nResponseLen), 0x103);
}

TEST_F(KeyboardTest, AnswerIsCutToTheCapacity) {
    Load(txtKeyboard);
    const std::pair<int, Bytes> cases[] = {
        {255, {0x11, 0x01, 0x02, 0x03, 0x00}},
        {5, {0x11, 0x01, 0x02, 0x03, 0x00}},
        {4, {0x11, 0x01, 0x02, 0x03}},
        {1, {0x11}},
        {0, {}},
        {-7, {}},
    };
    for (const auto& c : cases) {
        std::uint8_t arResponse[8];
        std::fill(std::begin(arResponse), std::end(arResponse), 0xEE);
        int nResponseLen = c.first;
        EXPECT_EQ(device->SendCommand(0xF7, 2, nullptr, 0, arResponse, &nResponseLen), 0);
        ASSERT_EQ(nResponseLen, static_cast<int>(c.second.size())) << "capacity " << c.first;
        EXPECT_EQ(Bytes(arResponse, arResponse + nResponseLen), c.second) << "capacity " << c.first;
        // Nothing is written beyond what was delivered.
        for (int i = nResponseLen; i < 8; ++i) EXPECT_EQ(arResponse[i], 0xEE) << "capacity " << c.first;
    }
}

TEST_F(KeyboardTest, NullResponseLeavesTheLengthAlone) {
    Load(txtKeyboard);
    int nResponseLen = 42;
    EXPECT_EQ(device->SendCommand(0xF7, 2, nullptr, 0, nullptr, &nResponseLen), 0);
    EXPECT_EQ(nResponseLen, 42);
    std::uint8_t arResponse[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(device->SendCommand(0xF7, 2, nullptr, 0, arResponse, nullptr), 0);
    EXPECT_EQ(arResponse[0], 0xEE);
}

TEST_F(KeyboardTest, MessagesBeforeOpenGet101AndChangeNothing) {
    Load(txtKeyboard, false);
    Result result = Send(device.get(), 0xF7, 2, {});
    EXPECT_EQ(result.status, 0x101);
    EXPECT_EQ(result.answer, Bytes{});
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x00, 0x20, 0x55}), 0x101);
    EXPECT_EQ(device->EnumerateModules(), 0x101);
    ASSERT_EQ(device->Open(), 0);
    EXPECT_EQ(device->EnumerateModules(), 0);
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0x00, 0x20, 1}).answer, Bytes{0x00});
    // Closed again, it is back to 101.
    EXPECT_EQ(device->Close(), 0);
    EXPECT_EQ(Send(device.get(), 0xF7, 2, {}).status, 0x101);
}

TEST_F(KeyboardTest, OnlyOpenStatusZeroOpens) {
    Load("<KavelSimulation><Keyboard><Open>FFFFFFFF</Open><EnumerateModules>7</EnumerateModules>"
         "<Controller><Version>11</Version></Controller></Keyboard></KavelSimulation>",
         false);
    EXPECT_EQ(device->Open(), -1);
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(Send(device.get(), 0xF7, 2, {}).status, 0x101);
    EXPECT_EQ(device->EnumerateModules(), 0x101);
}

TEST_F(KeyboardTest, EnumerateModulesReturnsTheFileStatusOnceOpen) {
    Load("<KavelSimulation><Keyboard><EnumerateModules>7</EnumerateModules></Keyboard></KavelSimulation>");
    EXPECT_EQ(device->EnumerateModules(), 7);
}

// Sends cmd to dst n times and returns the statuses.
std::vector<int> Statuses(KavelHidDevice* device, std::uint8_t cmd, std::uint8_t dst, int n) {
    std::vector<int> statuses;
    for (int i = 0; i < n; ++i) statuses.push_back(Send(device, cmd, dst, {0x00, 0x10, 0x01}).status);
    return statuses;
}

TEST_F(KeyboardTest, InjectTakesOverMatchesSkipPlusOneToSkipPlusCount) {
    Load("<KavelSimulation><Keyboard>"
         "<Inject Cmd='17' Dst='2' Skip='1' Count='2' Status='119'/>"
         "</Keyboard></KavelSimulation>");
    // Messages that do not match are not numbered.
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 4, {0x00, 0x00, 0x01}), 0x102);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x16, 2, {0x00, 0x00, 0x01}), 0);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x00, 0x00, 0x01}), 0);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x01, 0x00, 0x02}), 0x119);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x02, 0x00, 0x03}), 0x119);
    EXPECT_EQ(SendNoAnswer(device.get(), 0x17, 2, {0x03, 0x00, 0x04}), 0);
    // A taken-over write has no effect on memory.
    EXPECT_EQ(Send(device.get(), 0x16, 2, {0x00, 0x00, 4}).answer, (Bytes{0x01, 0x00, 0x00, 0x04}));
}

TEST_F(KeyboardTest, FirstInjectInDocumentOrderWinsAndEveryInjectCountsEveryMatch) {
    Load("<KavelSimulation><Keyboard>"
         "<Inject Cmd='F7' Skip='1' Count='1' Status='5'/>"
         "<Inject Cmd='F7' Count='3' Status='6'/>"
         "<Inject Cmd='F7' Skip='4' Count='1' Status='8'/>"
         "</Keyboard></KavelSimulation>");
    // 1: only the second covers it; 2: the first and the second do, the first wins; 3: the second;
    // 4: none (the controller has no version); 5: the third, which numbered all four earlier
    // messages although others took them.
    EXPECT_EQ(Statuses(device.get(), 0xF7, 2, 6), (std::vector<int>{6, 5, 6, 0x102, 8, 0x102}));
}

TEST_F(KeyboardTest, InjectWithoutCmdOrDstMatchesEveryMessageAfterOpen) {
    Load("<KavelSimulation><Keyboard><Inject Skip='2' Count='2' Status='-1'>01 02</Inject>"
         "</Keyboard></KavelSimulation>",
         false);
    // Messages before Open are not numbered.
    EXPECT_EQ(Statuses(device.get(), 0xF7, 2, 3), (std::vector<int>{0x101, 0x101, 0x101}));
    ASSERT_EQ(device->Open(), 0);
    EXPECT_EQ(Send(device.get(), 0xF1, 2, {}).status, 0);
    EXPECT_EQ(Send(device.get(), 0xF7, 8, {}).status, 0x102);
    // Numbers 3 and 4 are taken over, even at an address where no unit answers.
    Result third = Send(device.get(), 0xF7, 8, {});
    EXPECT_EQ(third.status, -1);
    EXPECT_EQ(third.answer, (Bytes{0x01, 0x02}));
    Result fourth = Send(device.get(), 0x30, 2, {}, 1);
    EXPECT_EQ(fourth.status, -1);
    EXPECT_EQ(fourth.answer, (Bytes{0x01}));
    EXPECT_EQ(Send(device.get(), 0xF7, 8, {}).status, 0x102);
}

TEST_F(KeyboardTest, InjectAnswersWithItsBytesOrNothing) {
    Load("<KavelSimulation><Keyboard><Controller><Version>11 01 02 03</Version></Controller>"
         "<Inject Cmd='F7' Dst='2' Count='1'>11 01</Inject>"
         "<Inject Cmd='F7' Dst='2' Skip='1' Count='1'/>"
         "</Keyboard></KavelSimulation>");
    Result shortAnswer = Send(device.get(), 0xF7, 2, {});
    EXPECT_EQ(shortAnswer.status, 0);
    EXPECT_EQ(shortAnswer.answer, (Bytes{0x11, 0x01}));
    Result emptyAnswer = Send(device.get(), 0xF7, 2, {});
    EXPECT_EQ(emptyAnswer.status, 0);
    EXPECT_EQ(emptyAnswer.answer, Bytes{});
    EXPECT_EQ(Send(device.get(), 0xF7, 2, {}).answer, (Bytes{0x11, 0x01, 0x02, 0x03}));
}

TEST_F(KeyboardTest, InjectWithCountZeroNeverTakesOver) {
    Load("<KavelSimulation><Keyboard><Inject Count='0' Status='9'/></Keyboard></KavelSimulation>");
    EXPECT_EQ(Statuses(device.get(), 0xF1, 2, 3), (std::vector<int>{0, 0, 0}));
}

TEST_F(KeyboardTest, InjectFiltersOnDst) {
    Load("<KavelSimulation><Keyboard><Module Slot='0'/><Inject Dst='4' "
         "Status='9'/></Keyboard></KavelSimulation>");
    EXPECT_EQ(Send(device.get(), 0xF1, 2, {}).status, 0);
    EXPECT_EQ(Send(device.get(), 0xF1, 4, {}).status, 9);
}

} // namespace
