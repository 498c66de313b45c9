#include "kavelwrite.h"

#include "driver.h"

#include "fake_device.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

// A keyboard whose Open and EnumerateModules answer as told.
class StatusDevice : public FakeDevice {
public:
    StatusDevice(int open, int enumerate) : openStatus(open), enumerateStatus(enumerate) {}
    int Open() override { return openStatus; }
    int EnumerateModules() override {
        enumerated = true;
        return enumerateStatus;
    }
    int openStatus;
    int enumerateStatus;
    bool enumerated = false;
};

struct Printed {
    int outcome;
    std::string out;
};

Printed Write(KavelHidDevice* device, int i, pugi::xml_node root) {
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    int current = 0;
    int total = 39;
    int outcome = WriteKeyboard(device, i, root, "t20261208011631", &current, &total);
    std::cout.rdbuf(saved);
    return {outcome, captured.str()};
}

TEST(WriteKeyboard, AMissingDeviceIsReportedAsAnOpenErrorWithoutCrashing) {
    pugi::xml_document doc;
    doc.load_string("<XML_BIN_FILE/>");
    Printed printed = Write(nullptr, 3, doc.first_child());
    EXPECT_EQ(printed.outcome, ERR_ERROR_DEVICE_OPEN);
    EXPECT_EQ(printed.out, "\ndevice3: ERROR: Device open error (-1)\n");
}

TEST(WriteKeyboard, OpenAndEnumerationFailuresSendNothing) {
    pugi::xml_document doc;
    doc.load_string("<XML_BIN_FILE/>");
    StatusDevice notOpened(-7, 0);
    Printed printed = Write(&notOpened, 0, doc.first_child());
    EXPECT_EQ(printed.outcome, ERR_ERROR_DEVICE_OPEN);
    EXPECT_EQ(printed.out, "\ndevice0: ERROR: Device open error (-7)\n");
    EXPECT_FALSE(notOpened.enumerated);
    EXPECT_TRUE(notOpened.sent.empty());

    StatusDevice noModules(0, 258);
    printed = Write(&noModules, 1, doc.first_child());
    EXPECT_EQ(printed.outcome, ERR_ERROR_MODULES_ENUMERATION);
    EXPECT_EQ(printed.out, "\ndevice1:\n ERROR: Modules enumeration error (258)\n");
    EXPECT_TRUE(noModules.sent.empty());
}

TEST(WriteKeyboard, NamesTheWritePassAnnotationsAfterTheKeyboard) {
    pugi::xml_document doc;
    doc.load_string("<XML_BIN_FILE><Device/></XML_BIN_FILE>");
    StatusDevice device(0, 0);
    device.Reply(0, {0x11, 1, 2, 3});
    device.Reply(0, {});
    Printed printed = Write(&device, 2, doc.first_child());
    EXPECT_EQ(printed.outcome, ERR_ERROR_DEVICE_COMPATIBILITY);
    EXPECT_EQ(printed.out, "\ndevice2:\n Device not suitable - nothing changed.\n");
    EXPECT_STREQ(doc.first_child().child("Device").child("DetectedDevice").attribute("Id").value(),
                 "t20261208011631_device2");
}

} // namespace
