// The trace: how a keyboard writes its lines (their format is the recording format's own).
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace kavelvk;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        sPath = ::testing::TempDir() + "vk-trace-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(sPath.c_str());
    }
    void TearDown() override { std::remove(sPath.c_str()); }
    std::string sPath;
};

TEST_F(TraceTest, TracerAppendsToAnExistingFile) {
    {
        std::ofstream earlier(sPath);
        earlier << "earlier run\n";
    }
    {
        Tracer tracer;
        ASSERT_TRUE(tracer.Open(sPath));
        tracer.Enumerate(0, 1);
        tracer.OpenDevice(3, 0, 0);
        // Each line is in the file as soon as it is written.
        EXPECT_EQ(ReadFile(sPath), "earlier run\n0 Enumerate count=1\n3 kb0 Open -> 0\n");
    }
}

TEST_F(TraceTest, TracerThatCannotOpenIsDisabled) {
    Tracer tracer;
    EXPECT_FALSE(tracer.Open("/nonexistent-directory/trace.log"));
    EXPECT_FALSE(tracer.Enabled());
    tracer.Enumerate(0, 1);
}

TEST_F(TraceTest, KeyboardTracesEveryCallWithWhatWasDelivered) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(
        simulation.LoadText("<KavelSimulation><Keyboard><Open>0</Open><EnumerateModules>-1</EnumerateModules>"
                            "<Controller><Version>11 01 02 03 00</Version></Controller></Keyboard>"
                            "</KavelSimulation>",
                            &sError))
        << sError;
    Tracer tracer;
    ASSERT_TRUE(tracer.Open(sPath));
    VirtualKeyboard device(simulation.keyboards[0].get(), 3, &tracer, nullptr);
    unsigned char arResponse[255];
    int nResponseLen = 255;
    unsigned char arWrite[] = {0x10, 0x40, 0xAA};
    device.SendCommand(0xF7, 2, nullptr, 0, arResponse, &nResponseLen);
    device.Open();
    device.EnumerateModules();
    nResponseLen = 2;
    device.SendCommand(0xF7, 2, nullptr, 0, arResponse, &nResponseLen);
    device.SendCommand(0x17, 2, arWrite, 3, nullptr, nullptr);
    nResponseLen = -5;
    device.SendCommand(0xF7, 2, arWrite, -1, arResponse, &nResponseLen);
    device.Close();
    EXPECT_EQ(ReadFile(sPath), "0 kb3 SendCommand cmd=F7 dst=02 data=[] -> 101 answer=[]\n"
                               "0 kb3 Open -> 0\n"
                               "0 kb3 EnumerateModules -> ffffffff\n"
                               "0 kb3 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01]\n"
                               "0 kb3 SendCommand cmd=17 dst=02 data=[10 40 AA] -> 0\n"
                               "0 kb3 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[]\n");
}

TEST_F(TraceTest, TimeCountsFromTheOrigin) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText("<KavelSimulation><Keyboard/></KavelSimulation>", &sError)) << sError;
    Tracer tracer;
    ASSERT_TRUE(tracer.Open(sPath));
    // An origin a minute ago gives a T of at least 60000 ms.
    auto origin = std::chrono::steady_clock::now() - std::chrono::minutes(1);
    VirtualKeyboard device(simulation.keyboards[0].get(), 0, &tracer, &origin);
    device.Open();
    long long nT = std::stoll(ReadFile(sPath));
    EXPECT_GE(nT, 60000);
    EXPECT_LT(nT, 3600000);
    EXPECT_EQ(ElapsedMs(nullptr), 0);
}

} // namespace
