// The enumerator as a station uses it: a new KavelHid for every look at the bus, batches of
// keyboards plugged in and unplugged over time. The library's clock is the test's own, so that
// every moment is chosen and nothing depends on how fast the machine is.
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace kavelvk;

namespace {

// Each keyboard answers the version message with its own letter, so that a test can tell them apart.
const char* const txtStation = R"(<KavelSimulation>
  <Batch UnplugAfter="3E8">
    <Keyboard><Controller><Version>0A</Version></Controller></Keyboard>
    <Keyboard PlugAfter="12C"><Controller><Version>0B</Version></Controller></Keyboard>
  </Batch>
  <Batch PlugAfter="1F4">
    <Keyboard><Open>7</Open></Keyboard>
  </Batch>
  <Batch PlugAfter="0x64">
    <Keyboard PlugAfter="32"><Controller><Version>0D</Version></Controller></Keyboard>
    <Keyboard><Controller><Version>0E</Version></Controller></Keyboard>
  </Batch>
</KavelSimulation>
)";

class StationTest : public ::testing::Test {
protected:
    // Puts a simulation of the test's own into the library, with the test's clock; TearDown puts
    // back what the library read from the environment.
    void SetUp() override {
        Library& library = TheLibrary();
        std::swap(library.simulation, keptSimulation);
        std::swap(library.replay, keptReplay);
        std::swap(library.savePath, keptSavePath);
        bKeptInvalid = library.bInvalid;
        library.bInvalid = false;
        library.clock = [this] { return nNow; };
    }
    void TearDown() override {
        Library& library = TheLibrary();
        std::swap(library.simulation, keptSimulation);
        std::swap(library.replay, keptReplay);
        std::swap(library.savePath, keptSavePath);
        library.bInvalid = bKeptInvalid;
        library.clock = nullptr;
    }

    void Load(const char* xml) {
        auto simulation = std::make_unique<Simulation>();
        std::string sError;
        ASSERT_TRUE(simulation->LoadText(xml, &sError)) << sError;
        TheLibrary().simulation = std::move(simulation);
    }

    // The simulation's keyboard behind a device, by its position in the file; -1 for none.
    static int ModelOf(KavelHidDevice* device) {
        auto* keyboard = dynamic_cast<VirtualKeyboard*>(device);
        if (keyboard == nullptr) return -1;
        const auto& keyboards = TheLibrary().simulation->keyboards;
        for (std::size_t i = 0; i < keyboards.size(); ++i) {
            if (keyboards[i].get() == &keyboard->Model()) return static_cast<int>(i);
        }
        return -1;
    }

    // The keyboards an enumerator finds, by position in the file, checking that Count agrees.
    static std::vector<int> Found(KavelHid* hid) {
        std::vector<int> found;
        for (unsigned int i = 0; hid->GetDevice(i) != nullptr; ++i)
            found.push_back(ModelOf(hid->GetDevice(i)));
        EXPECT_EQ(hid->Count(), static_cast<int>(found.size()));
        return found;
    }

    // One look at the bus as a station makes it: a new enumerator that enumerates and opens nothing.
    std::vector<int> Look(long long now) {
        nNow = now;
        KavelHid hid;
        EXPECT_EQ(hid.Enumerate(), 0);
        return Found(&hid);
    }

    // Writes the keyboard at index with an enumerator of its own, from time begin to time end (when
    // the enumerator is destroyed); returns the status of Open.
    int Write(long long begin, unsigned int index, long long end) {
        nNow = begin;
        KavelHid hid;
        hid.Enumerate();
        KavelHidDevice* device = hid.GetDevice(index);
        EXPECT_NE(device, nullptr);
        if (device == nullptr) return -1;
        int nStatus = device->Open();
        nNow = end;
        return nStatus;
    }

    long long nNow = 0;

private:
    std::unique_ptr<Simulation> keptSimulation;
    std::unique_ptr<Replay> keptReplay;
    std::string keptSavePath;
    bool bKeptInvalid = false;
};

// Sends the version message to the controller; returns the status and the answer's first byte (or -1).
std::pair<int, int> Version(KavelHidDevice* device) {
    unsigned char arAnswer[8] = {0};
    int nLength = sizeof arAnswer;
    int nStatus = device->SendCommand(0xF7, 2, nullptr, 0, arAnswer, &nLength);
    return {nStatus, nLength > 0 ? arAnswer[0] : -1};
}

using Keyboards = std::vector<int>;

TEST_F(StationTest, BatchesComeAndGoAsAStationServesThem) {
    Load(txtStation);
    // Batch 1, its second keyboard 300 ms after the first.
    EXPECT_EQ(Look(0), Keyboards{0});
    EXPECT_EQ(Look(299), Keyboards{0});
    EXPECT_EQ(Look(300), (Keyboards{0, 1}));
    // Looking, however often, serves nothing.
    for (long long t = 400; t < 60000; t += 500) ASSERT_EQ(Look(t), (Keyboards{0, 1})) << t;

    // Served when the enumerator that opened one of its keyboards is destroyed, at 61000; gone
    // 1000 ms after that.
    EXPECT_EQ(Write(60000, 1, 61000), 0);
    EXPECT_EQ(Look(61000), (Keyboards{0, 1}));
    EXPECT_EQ(Look(61999), (Keyboards{0, 1}));
    EXPECT_EQ(Look(62000), Keyboards{});
    // Batch 2 500 ms after that. Trying to open its keyboard serves it, although the keyboard
    // refuses: the station is done with it.
    EXPECT_EQ(Look(62499), Keyboards{});
    EXPECT_EQ(Look(62500), Keyboards{2});
    EXPECT_EQ(Write(63000, 0, 64000), 7);
    EXPECT_EQ(Look(64000), Keyboards{});
    // Batch 3 100 ms later; its first keyboard joins 50 ms after its second.
    EXPECT_EQ(Look(64099), Keyboards{});
    EXPECT_EQ(Look(64100), Keyboards{4});
    EXPECT_EQ(Look(64150), (Keyboards{3, 4}));
    EXPECT_EQ(Write(65000, 1, 65000), 0);
    // Nothing after the last batch.
    EXPECT_EQ(Look(65000), Keyboards{});
    EXPECT_EQ(Look(100000000), Keyboards{});
}

TEST_F(StationTest, OnlyTheFirstEnumeratorDestroyedServesABatch) {
    Load(txtStation);
    nNow = 300;
    auto first = std::make_unique<KavelHid>();
    first->Enumerate();
    ASSERT_EQ(first->GetDevice(0)->Open(), 0);
    EXPECT_EQ(Write(400, 1, 500), 0);
    EXPECT_EQ(Look(1499), (Keyboards{0, 1}));
    // The first enumerator, destroyed later, does not put the unplugging off.
    nNow = 1400;
    first.reset();
    EXPECT_EQ(Look(1500), Keyboards{});
}

TEST_F(StationTest, KeyboardUnpluggedWhileHeldAnswersNothing) {
    Load(txtStation);
    nNow = 300;
    KavelHid held;
    held.Enumerate();
    KavelHidDevice* opened = held.GetDevice(0);
    KavelHidDevice* unopened = held.GetDevice(1);
    ASSERT_EQ(opened->Open(), 0);
    EXPECT_EQ(Version(opened), std::make_pair(0, 0x0A));
    EXPECT_EQ(Write(400, 1, 500), 0);
    nNow = 1499;
    EXPECT_EQ(Version(opened), std::make_pair(0, 0x0A));
    nNow = 1500;
    EXPECT_EQ(Version(opened), std::make_pair(0x102, -1));
    EXPECT_EQ(opened->EnumerateModules(), 0x102);
    EXPECT_EQ(unopened->Open(), 0x102);
    EXPECT_EQ(Version(unopened), std::make_pair(0x101, -1));
    EXPECT_EQ(opened->Close(), 0);
    EXPECT_EQ(Version(opened), std::make_pair(0x101, -1));
    // What was found stays found until the next Enumerate.
    EXPECT_EQ(Found(&held), (Keyboards{0, 1}));
    held.Enumerate();
    EXPECT_EQ(Found(&held), Keyboards{});
}

TEST_F(StationTest, IndexesFollowTheFileAmongTheKeyboardsAttachedAndHandedOutOnesStay) {
    Load(txtStation);
    EXPECT_EQ(Write(300, 0, 300), 0);
    EXPECT_EQ(Write(1800, 0, 1800), 7);
    nNow = 1900;
    KavelHid hid;
    hid.Enumerate();
    KavelHidDevice* second = hid.GetDevice(0);
    ASSERT_EQ(ModelOf(second), 4);
    ASSERT_EQ(second->Open(), 0);
    // The keyboard that joins comes first in the file: it takes index 0 at the next Enumerate.
    nNow = 1950;
    hid.Enumerate();
    EXPECT_EQ(Found(&hid), (Keyboards{3, 4}));
    EXPECT_NE(hid.GetDevice(1), second);
    // The device handed out before still is the same keyboard, and still open.
    EXPECT_EQ(ModelOf(second), 4);
    EXPECT_EQ(Version(second), std::make_pair(0, 0x0E));
    EXPECT_EQ(Version(hid.GetDevice(1)), std::make_pair(0x101, -1));
}

TEST_F(StationTest, WithoutBatchesEveryKeyboardIsAttachedAllTheTime) {
    Load("<KavelSimulation><Count>1</Count><Keyboard/><Keyboard/></KavelSimulation>");
    EXPECT_EQ(Write(0, 0, 10), 0);
    EXPECT_EQ(Look(10), Keyboards{0});
    EXPECT_EQ(Look(100000000), Keyboards{0});
}

// The save after a look that changed nothing is skipped; the one after a write is not.
TEST_F(StationTest, EnumeratorSavesOnlyWhatChanged) {
    Load(txtStation);
    std::string sPath = ::testing::TempDir() + "vk-station-save.xml";
    std::remove(sPath.c_str());
    TheLibrary().savePath = sPath;
    Look(0);
    std::ifstream first(sPath);
    ASSERT_TRUE(first.good());
    {
        std::ofstream marked(sPath);
        marked << "marked";
    }
    Look(1);
    std::stringstream unchanged;
    unchanged << std::ifstream(sPath).rdbuf();
    EXPECT_EQ(unchanged.str(), "marked");
    {
        nNow = 2;
        KavelHid hid;
        hid.Enumerate();
        KavelHidDevice* device = hid.GetDevice(0);
        ASSERT_EQ(device->Open(), 0);
        unsigned char arWrite[] = {0x00, 0x10, 0x5A};
        ASSERT_EQ(device->SendCommand(0x17, 2, arWrite, 3, nullptr, nullptr), 0);
    }
    std::stringstream changed;
    changed << std::ifstream(sPath).rdbuf();
    EXPECT_NE(changed.str().find("<Memory Unit=\"2\" Address=\"1000\">5A</Memory>"), std::string::npos)
        << changed.str();
    std::remove(sPath.c_str());
}

} // namespace
