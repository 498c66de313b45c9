#include "walk.h"

#include "fake_device.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

struct Walk {
    int result;
    int current;
};

Walk CheckPass(const std::string& xml) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
    int current = 0;
    int total = 0;
    int result = kxbCheckWrite(doc.first_child(), "t1", nullptr, &current, &total);
    return {result, current};
}

TEST(KxbCheckWrite, CheckPassCountsTheResetWaitForAnyOutcome) {
    const struct {
        const char* xml;
        int result;
    } cases[] = {
        {"<XML_BIN_FILE/>", 0},
        {"<XML_BIN_FILE><General>any<x/></General><DetectedDevices/><Device/><Device/></XML_BIN_FILE>", 0},
        {"<XML_BIN_FILE><command/></XML_BIN_FILE>", 1},
        {"<XML_BIN_FILE><Comment/></XML_BIN_FILE>", 1},
        {"<XML_BIN_FILE>text</XML_BIN_FILE>", 1},
        {"<XML_BIN_FILE><![CDATA[x]]></XML_BIN_FILE>", 1},
        {"<xml_bin_file/>", 1},
        {"<Other><General/></Other>", 1},
    };
    for (const auto& c : cases) {
        Walk walk = CheckPass(c.xml);
        EXPECT_EQ(walk.result, c.result) << c.xml;
        EXPECT_EQ(walk.current, 39) << c.xml;
    }
}

TEST(KxbCheckWrite, KnowsExactlyTheDesignedElementNames) {
    for (const char* name :
         {"Command", "IntEep", "BinMemory", "IntEep_CommandPtr", "Device", "General", "DetectedDevices"})
        EXPECT_NE(FindElement(name), nullptr) << name;
    for (const char* name : {"", "command", "Commands", "DetectedDevice", "XML_BIN_FILE", "Data"})
        EXPECT_EQ(FindElement(name), nullptr) << name;
}

TEST(KxbCheckWrite, StopsAtAnUnknownElementAndWritesNoAnnotation) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<XML_BIN_FILE><General/><Bogus/><General/></XML_BIN_FILE>"));
    int current = 0;
    int total = 0;
    EXPECT_EQ(kxbCheckWrite(doc.first_child(), "t1", nullptr, &current, &total), 1);
    for (pugi::xml_node node : doc.first_child().children()) EXPECT_FALSE(node.first_attribute());
}

TEST(KxbCheckWrite, WritePassResetsTheKeyboardAndWaitsThirtyNineSteps) {
    std::string xml = "<XML_BIN_FILE>" + AnyDeviceElement() + "<General/></XML_BIN_FILE>";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str()));
    FakeDevice device;
    device.Reply(0, {0x11, 1, 2, 3}); // controller version
    device.Reply(0, {});              // configuration: no module
    TakeSleeps();
    int current = 0;
    int total = 39;
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    int result = kxbCheckWrite(doc.first_child(), "t1_device0", &device, &current, &total);
    std::cout.rdbuf(saved);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(current, 39);
    ASSERT_EQ(device.sent.size(), 3u);
    const FakeMessage& reset = device.sent.back();
    EXPECT_EQ(reset.cmd, 0xF1);
    EXPECT_EQ(reset.dst, 0x02);
    EXPECT_TRUE(reset.data.empty());
    EXPECT_FALSE(reset.answerAsked);
    EXPECT_FALSE(device.nullData);
    EXPECT_EQ(TakeSleeps(), std::vector<int>(39, 130));
    // The progress line reaches 100 at the last step but one and shows nothing after it.
    EXPECT_NE(captured.str().find(" Writing progress: 100 %\r"), std::string::npos);
    EXPECT_EQ(captured.str().find(" Writing progress: 5 %\r"), 0u);
}

TEST(KxbCheckWrite, WritePassThatFailsSendsNoResetAndDoesNotWait) {
    std::string xml = "<XML_BIN_FILE>" + AnyDeviceElement() + "<Unknown/></XML_BIN_FILE>";
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(xml.c_str()));
    FakeDevice device;
    device.Reply(0, {0x11, 1, 2, 3});
    device.Reply(0, {});
    TakeSleeps();
    int current = 0;
    int total = 39;
    EXPECT_EQ(kxbCheckWrite(doc.first_child(), "t1_device0", &device, &current, &total), 1);
    EXPECT_EQ(device.sent.size(), 2u);
    EXPECT_TRUE(TakeSleeps().empty());
    EXPECT_EQ(current, 0);
}

TEST(KxbCheckWrite, AKeyboardThatDoesNotSuitTheScriptGetsNothingElse) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<XML_BIN_FILE><General/></XML_BIN_FILE>"));
    FakeDevice device;
    device.Reply(0, {0x11, 1, 2, 3});
    device.Reply(0, {});
    int current = 0;
    int total = 39;
    EXPECT_EQ(kxbCheckWrite(doc.first_child(), "t1_device0", &device, &current, &total),
              ERR_ERROR_DEVICE_COMPATIBILITY);
    EXPECT_EQ(device.sent.size(), 2u);
    EXPECT_EQ(current, 0);
}

} // namespace
