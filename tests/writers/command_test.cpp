#include "writers.h"

#include "driver.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int CountAttributes(pugi::xml_node node) {
    int n = 0;
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) ++n;
    return n;
}

TEST(CommandDstToModuleAddress, MapsModulesAndTheController) {
    const long cases[][2] = {{-5, -1}, {-1, -1}, {0, 4},   {1, 6},   {7, 18},
                             {14, 32}, {15, 2},  {16, -1}, {255, -1}};
    for (const auto& c : cases) EXPECT_EQ(c[1], CommandDstToModuleAddress(c[0])) << c[0];
}

struct CommandCase {
    const char* inner; // children of the Command element
    int result;
    const char* note;
    unsigned char cmd;
    unsigned char dst;
    Bytes data;
};

const CommandCase commandCases[] = {
    {"<DST>F</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x02, {}},
    {"<DST>f</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x02, {}},
    {"<DST>0F</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x02, {}},
    {"<DST>0</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x04, {}},
    {"<DST>E</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x20, {}},
    {"<DST> E</DST><CMD>30</CMD>", 0, "result=0", 0x30, 0x20, {}},
    {"<DST>10</DST><CMD>30</CMD>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<DST>-1</DST><CMD>30</CMD>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<DST>F </DST><CMD>30</CMD>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<DST>\n  F\n</DST><CMD>30</CMD>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<CMD>30</CMD>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<DST>F</DST><CMD>1FF</CMD>", 0, "result=0", 0xFF, 0x02, {}},
    {"<DST>F</DST><CMD>-2</CMD>", 0, "result=0", 0xFE, 0x02, {}},
    {"<DST>F</DST><CMD>-1</CMD>", 1, "PARSE_ERROR:CMD", 0, 0, {}},
    {"<DST>F</DST><CMD>30\n</CMD>", 1, "PARSE_ERROR:CMD", 0, 0, {}},
    {"<DST>F</DST>", 1, "PARSE_ERROR:CMD", 0, 0, {}},
    {"<DST>F</DST><CMD>30</CMD><Data>  01 02 03\n</Data>", 0, "result=0", 0x30, 0x02, {1, 2, 3}},
    {"<DST>F</DST><CMD>30</CMD><Data>01,02,03</Data><Data>04</Data>", 0, "result=0", 0x30, 0x02, {1, 2, 3}},
    {"<DST>F</DST><CMD>30</CMD><Data> </Data>", 0, "result=0", 0x30, 0x02, {}},
    {"<DST>F</DST><CMD>30</CMD><Data>1 2</Data>", 1, "PARSE_ERROR:Data", 0, 0, {}},
    {"<DST>10</DST><CMD>-1</CMD><Data>0G</Data>", 1, "PARSE_ERROR:DST", 0, 0, {}},
    {"<Data>01</Data>", 1, "PARSE_ERROR:DST", 0, 0, {}},
};

TEST(Command, ValidatesAndSendsEveryCaseOfTheTable) {
    for (const CommandCase& c : commandCases) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, std::string("<Command>") + c.inner + "</Command>");
        FakeDevice device;
        int current = 0;
        int total = 0;
        EXPECT_EQ(c.result, kxbCommand(node, STAMP, &device, &current, &total)) << c.inner;
        EXPECT_EQ(c.note, Note(node)) << c.inner;
        EXPECT_EQ(1, CountAttributes(node)) << c.inner;
        if (c.result != 0) {
            EXPECT_TRUE(device.sent.empty()) << c.inner;
            EXPECT_EQ(0, current) << c.inner;
            continue;
        }
        EXPECT_EQ(1, current) << c.inner;
        ASSERT_EQ(1u, device.sent.size()) << c.inner;
        EXPECT_EQ(c.cmd, device.sent[0].cmd) << c.inner;
        EXPECT_EQ(c.dst, device.sent[0].dst) << c.inner;
        EXPECT_EQ(c.data, device.sent[0].data) << c.inner;
        EXPECT_FALSE(device.sent[0].answerAsked) << c.inner;
        EXPECT_FALSE(device.nullData) << c.inner;
    }
    EXPECT_TRUE(TakeSleeps().empty());
}

TEST(Command, CheckPassCountsAValidElementAndAnnotatesNothing) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<Command><DST>0</DST><CMD>30</CMD><Data>01 02</Data></Command>");
    int current = 5;
    int total = 0;
    EXPECT_EQ(0, kxbCommand(node, STAMP, nullptr, &current, &total));
    EXPECT_EQ(6, current);
    EXPECT_EQ(0, CountAttributes(node));
}

TEST(Command, CheckPassAnnotatesAnInvalidElementAndCountsNothing) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<Command><DST>0</DST><CMD>30</CMD><Data>01 0G</Data></Command>");
    int current = 5;
    int total = 0;
    EXPECT_EQ(1, kxbCommand(node, STAMP, nullptr, &current, &total));
    EXPECT_EQ(5, current);
    EXPECT_EQ("PARSE_ERROR:Data", Note(node));
}

TEST(Command, RetriesWhileBusy) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<Command><DST>F</DST><CMD>30</CMD><Data>01</Data></Command>");
    FakeDevice device;
    device.Reply(281);
    device.Reply(281);
    device.Reply(0);
    device.Reply(0x103); // never reached
    int current = 0;
    int total = 0;
    TakeSleeps();
    EXPECT_EQ(0, kxbCommand(node, STAMP, &device, &current, &total));
    EXPECT_EQ(3u, device.sent.size());
    for (const FakeMessage& m : device.sent) EXPECT_EQ(Bytes{0x01}, m.data);
    EXPECT_EQ((std::vector<int>{200, 200}), TakeSleeps());
    EXPECT_EQ("result=0", Note(node));
    EXPECT_EQ(1, current);
}

TEST(Command, GivesUpAfterThirtyBusyAnswers) {
    pugi::xml_document doc;
    pugi::xml_node node = Load(doc, "<Command><DST>F</DST><CMD>30</CMD></Command>");
    FakeDevice device;
    for (int i = 0; i < 30; ++i) device.Reply(281);
    device.Reply(0); // a 31st attempt would succeed
    int current = 0;
    int total = 0;
    TakeSleeps();
    EXPECT_EQ(5, kxbCommand(node, STAMP, &device, &current, &total));
    EXPECT_EQ(30u, device.sent.size());
    EXPECT_EQ(std::vector<int>(29, 200), TakeSleeps());
    EXPECT_EQ("ERROR=119", Note(node));
    EXPECT_EQ(1, CountAttributes(node));
    EXPECT_EQ(0, current);
}

TEST(Command, AnyOtherStatusIsFinalAtOnce) {
    const int statuses[] = {0x102, -1, 1};
    const char* notes[] = {"ERROR=102", "ERROR=ffffffff", "ERROR=1"};
    for (int i = 0; i < 3; ++i) {
        pugi::xml_document doc;
        pugi::xml_node node = Load(doc, "<Command><DST>F</DST><CMD>30</CMD></Command>");
        FakeDevice device;
        device.Reply(statuses[i]);
        int current = 0;
        int total = 0;
        TakeSleeps();
        EXPECT_EQ(5, kxbCommand(node, STAMP, &device, &current, &total));
        EXPECT_EQ(1u, device.sent.size());
        EXPECT_TRUE(TakeSleeps().empty());
        EXPECT_EQ(notes[i], Note(node));
        EXPECT_EQ(0, current);
    }
}

// A keyboard that answers busy and receives Ctrl-C while it takes each message.
class InterruptedWhileBusy : public FakeDevice {
public:
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        raise(SIGINT);
        return FakeDevice::SendCommand(cmd, dst, data, dataLen, response, responseLen);
    }
};

// The stop handlers change the whole process: the test runs in a child of its own.
TEST(CommandDeathTest, StopDuringBusyAnswersSendsNoFurtherAttempt) {
    EXPECT_EXIT(
        {
            InstallStopHandlers();
            pugi::xml_document doc;
            pugi::xml_node node = Load(doc, "<Command><DST>F</DST><CMD>30</CMD></Command>");
            InterruptedWhileBusy device;
            for (int i = 0; i < 30; ++i) device.Reply(281);
            int current = 0;
            int total = 0;
            int result = kxbCommand(node, STAMP, &device, &current, &total);
            std::fprintf(stderr, "result %d, %zu sent, %s, %d steps\n", result, device.sent.size(),
                         Note(node).c_str(), current);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "result -2, 1 sent, interrupted, 0 steps");
}

} // namespace
