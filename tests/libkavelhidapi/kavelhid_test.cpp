// The enumerator as a station uses it: a new KavelHid for every look at the bus, batches of
// keyboards plugged in and unplugged over time, on a clock the test sets.
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

using namespace kavelvk;

namespace {

const char* const txtStation = R"(<KavelSimulation>
  <Batch UnplugAfter="3E8"><Keyboard/><Keyboard PlugAfter="12C"/></Batch>
  <Batch PlugAfter="1F4">
    <Keyboard PlugAfter="32"><Open>7</Open></Keyboard>
    <Keyboard><Controller><Version>0E</Version></Controller></Keyboard>
  </Batch>
  <Batch PlugAfter="7FFFFFFFFFFFFFFF"><Keyboard/></Batch>
</KavelSimulation>)";

class StationTest : public ::testing::Test {
protected:
    // Puts the station and the test's clock in the library; TearDown puts back what it read.
    void SetUp() override {
        std::string sError;
        ASSERT_TRUE(station->LoadText(txtStation, &sError)) << sError;
        Swap();
        TheLibrary().clock = [this] { return nNow; };
    }
    void TearDown() override {
        Swap();
        TheLibrary().clock = nullptr;
    }
    void Swap() {
        std::swap(TheLibrary().simulation, station);
        std::swap(TheLibrary().replay, replay);
        std::swap(TheLibrary().bInvalid, bInvalid);
        std::swap(TheLibrary().savePath, savePath);
    }

    // One look as a station makes it: a new enumerator that enumerates, takes a keyboard and opens nothing.
    int Look(long long now) {
        nNow = now;
        KavelHid hid;
        hid.Enumerate();
        hid.GetDevice(0);
        return hid.Count();
    }

    // Opens the keyboard at index at time begin with an enumerator destroyed at time end; returns
    // Open's status.
    int Write(long long begin, unsigned int index, long long end) {
        nNow = begin;
        KavelHid hid;
        hid.Enumerate();
        int nStatus = hid.GetDevice(index) != nullptr ? hid.GetDevice(index)->Open() : -1;
        nNow = end;
        return nStatus;
    }

    long long nNow = 0;
    std::unique_ptr<Simulation> station = std::make_unique<Simulation>();
    std::unique_ptr<Replay> replay;
    bool bInvalid = false;
    std::string savePath;
};

// The status of the version message to the controller, and the answer's first byte (-1 for none).
std::pair<int, int> Version(KavelHidDevice* device) {
    unsigned char arAnswer[8] = {0};
    int nLength = sizeof arAnswer;
    int nStatus = device->SendCommand(0xF7, 2, nullptr, 0, arAnswer, &nLength);
    return {nStatus, nLength > 0 ? arAnswer[0] : -1};
}

TEST_F(StationTest, BatchesComeAndGoAsTheStationServesThem) {
    // Batch 1, its second keyboard 300 ms after the first; looking, however often, serves nothing.
    EXPECT_EQ(Look(0), 1);
    EXPECT_EQ(Look(299), 1);
    for (long long t = 300; t < 60000; t += 500) ASSERT_EQ(Look(t), 2) << t;
    // Served by the first enumerator destroyed that opened one of its keyboards (at 61000), not
    // by a later one; unplugged 1000 ms after.
    auto held = std::make_unique<KavelHid>();
    held->Enumerate();
    ASSERT_NE(held->GetDevice(0), nullptr);
    ASSERT_EQ(held->GetDevice(0)->Open(), 0);
    EXPECT_EQ(Write(60000, 1, 61000), 0);
    nNow = 61500;
    held.reset();
    EXPECT_EQ(Look(61999), 2);
    EXPECT_EQ(Look(62000), 0);

    // Batch 2 500 ms later; its first keyboard joins 50 ms after the other and takes index 0.
    EXPECT_EQ(Look(62499), 0);
    EXPECT_EQ(Look(62500), 1);
    KavelHid hid;
    hid.Enumerate();
    KavelHidDevice* early = hid.GetDevice(0);
    ASSERT_NE(early, nullptr);
    ASSERT_EQ(early->Open(), 0);
    nNow = 62550;
    hid.Enumerate();
    EXPECT_EQ(hid.Count(), 2);
    EXPECT_NE(hid.GetDevice(1), early);
    // A device handed out before stays the keyboard it was, open.
    EXPECT_EQ(Version(early), std::make_pair(0, 0x0E));
    // An Open that the keyboard refuses serves its batch too; UnplugAfter is 0, and a keyboard
    // held when it is unplugged answers nothing.
    EXPECT_EQ(Write(62600, 0, 63000), 7);
    EXPECT_EQ(Version(early), std::make_pair(0x102, -1));
    EXPECT_EQ(early->EnumerateModules(), 0x102);
    EXPECT_EQ(hid.GetDevice(1)->Open(), 0x102);
    // Batch 3 would come after the end of time.
    EXPECT_EQ(Look(63000), 0);
    EXPECT_EQ(Look(1LL << 62), 0);
}

} // namespace
