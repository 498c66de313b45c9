#include "device.h"

#include "driver.h"
#include "fake_device.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const std::string txtStamp = "t20261208011631";
const std::string txtStampDevice = "t20261208011631_device0";

// A slot element with one candidate that accepts any unit.
std::string AnySlot(int i) {
    std::string name = "Module" + std::to_string(i);
    return "<" + name + "><Module Id='xx'><Version>xx.xx.xx</Version></Module></" + name + ">";
}

std::string AnySlots(int from, int to) {
    std::string slots;
    for (int i = from; i <= to; i++) slots += AnySlot(i);
    return slots;
}

// The script that suits StandardKeyboard: controller 11 version 1.2.3, a module of type 30 in
// slot 0, nothing in slot 1, a VELUM module C5 with sub-id 2A in slot 2.
const std::string txtStandardDevice =
    "<Device>"
    "<Controller><Module Id='11'><Version>01.02.03</Version></Module></Controller>"
    "<Module0><Module Id='30'><Version>01.00.07.09</Version></Module></Module0>"
    "<Module1><Module Id='0'><Version>00-00-00</Version></Module></Module1>"
    "<Module2><Module Id='2a'><Version>02.00.10.01</Version></Module></Module2>" +
    AnySlots(3, 13) + "</Device>";

std::string Script(const std::string& device) {
    return "<XML_BIN_FILE><General/>" + device + "<Command/></XML_BIN_FILE>";
}

Bytes VelumBlock(unsigned char idSub) {
    Bytes block = {0xAA, 0x55};
    for (int i = 2; i < 18; i++) block.push_back(static_cast<unsigned char>(i));
    block[2 + 5] = idSub; // type id C5
    return block;
}

// Replies of the keyboard that the standard script suits, in the order they are asked for.
void StandardKeyboard(FakeDevice& device) {
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    device.Reply(0, {0x30, 0x00, 0xC5});
    device.Reply(0, {0x30, 0x01, 0x00, 0x07, 0x09}); // slot 0
    device.Reply(0, {0xC5, 0x02, 0x00, 0x10, 0x01}); // slot 2
    device.Reply(0, VelumBlock(0x2A));
}

struct Sent {
    int cmd;
    int dst;
};

void ExpectMessages(const FakeDevice& device, const std::vector<Sent>& expected) {
    ASSERT_EQ(device.sent.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        EXPECT_EQ(device.sent[i].cmd, expected[i].cmd) << "message " << i;
        EXPECT_EQ(device.sent[i].dst, expected[i].dst) << "message " << i;
    }
}

pugi::xml_node DeviceNode(pugi::xml_document& doc) {
    return doc.child("XML_BIN_FILE").child("Device");
}

int WritePass(pugi::xml_document& doc, FakeDevice& device, const std::string& stamp = txtStampDevice) {
    int current = 7;
    int total = 50;
    int result = kxbDevice(DeviceNode(doc), stamp, &device, &current, &total);
    EXPECT_EQ(current, 7);
    EXPECT_EQ(total, 50);
    return result;
}

int CheckPass(pugi::xml_document& doc) {
    int current = 3;
    int total = 0;
    int result = kxbDevice(DeviceNode(doc), txtStamp, nullptr, &current, &total);
    EXPECT_EQ(current, 3);
    EXPECT_EQ(total, 0);
    return result;
}

std::string Serialized(const pugi::xml_document& doc) {
    std::ostringstream out;
    doc.save(out, "\t");
    return out.str();
}

// The names of the report's elements, in order.
std::vector<std::string> ChildNames(pugi::xml_node node) {
    std::vector<std::string> names;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
        names.push_back(child.name());
    return names;
}

std::vector<std::string> ReportNames(int lastSlot) {
    std::vector<std::string> names = {"Controller"};
    for (int i = 0; i <= lastSlot; i++) names.push_back("Module" + std::to_string(i));
    return names;
}

// The number of attributes on the script's own Controller and slot elements.
int ScriptAnnotations(pugi::xml_node device) {
    int count = 0;
    for (pugi::xml_node child = device.first_child(); child; child = child.next_sibling())
        if (std::string(child.name()) != "DetectedDevice")
            for (pugi::xml_attribute a = child.first_attribute(); a; a = a.next_attribute()) count++;
    return count;
}

} // namespace

TEST(KxbDevice, WritePassReportsAndAcceptsASuitedKeyboard) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
    FakeDevice device;
    StandardKeyboard(device);

    EXPECT_EQ(WritePass(doc, device), 0);
    ExpectMessages(device, {{0xF7, 2}, {0x11, 2}, {0xF7, 4}, {0xF7, 8}, {0xF9, 8}});

    pugi::xml_node report = DeviceNode(doc).last_child();
    ASSERT_STREQ(report.name(), "DetectedDevice");
    EXPECT_STREQ(report.attribute("Id").value(), txtStampDevice.c_str());
    EXPECT_EQ(report.first_attribute().next_attribute(), pugi::xml_attribute());
    EXPECT_EQ(ChildNames(report), ReportNames(13));

    const struct {
        const char* name;
        const char* info;
    } expected[] = {
        {"Controller", "Id=11 Ver=1.2.3.0"},
        {"Module0", "IdConfig=30 Id=30 IdSub=0 Id66=0 Ver=1.0.7.9"},
        {"Module1", "IdConfig=0 Id=0 IdSub=0 Id66=0 Ver=0.0.0.0"}, // cleared after slot 0
        {"Module2", "IdConfig=c5 Id=c5 IdSub=2a Id66=0 Ver=2.0.10.1"},
        {"Module13", "IdConfig=0 Id=0 IdSub=0 Id66=0 Ver=0.0.0.0"},
    };
    for (const auto& e : expected) {
        pugi::xml_node node = report.child(e.name);
        EXPECT_STREQ(node.attribute("Info").value(), e.info) << e.name;
        EXPECT_STREQ(node.text().get(), "Ok") << e.name;
        EXPECT_EQ(node.first_attribute().next_attribute(), pugi::xml_attribute()) << e.name;
    }
    EXPECT_EQ(ScriptAnnotations(DeviceNode(doc)), 0);
    EXPECT_STREQ(DeviceNode(doc).next_sibling().name(), "Command"); // the report stays inside Device
}

TEST(KxbDevice, Module66InfoShowsItsSubId) {
    pugi::xml_document doc;
    ASSERT_TRUE(
        doc.load_string(Script("<Device><Controller><Module Id='0'><Version>xx.xx.xx</Version></Module>"
                               "</Controller><Module0><Module Id='6612'><Version>02.01.ce</Version>"
                               "</Module></Module0>" +
                               AnySlots(1, 13) + "</Device>")
                            .c_str()));
    FakeDevice device;
    device.Reply(0, {0x20, 0x01, 0x00, 0x00, 0x00});
    device.Reply(0, {0x66});
    device.Reply(0, {0x66, 0x02, 0x01, 0xCE, 0x12});

    EXPECT_EQ(WritePass(doc, device), 0);
    pugi::xml_node module0 = DeviceNode(doc).last_child().child("Module0");
    EXPECT_STREQ(module0.attribute("Info").value(), "IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0");
    EXPECT_STREQ(module0.text().get(), "Ok");
}

TEST(KxbDevice, MissingSlotElementIsNotOkAndEndsTheReads) {
    pugi::xml_document doc;
    ASSERT_TRUE(
        doc.load_string(Script("<Device><Controller><Module Id='11'><Version>01.02.03</Version></Module>"
                               "</Controller>" +
                               AnySlots(0, 4) + AnySlots(6, 13) + "</Device>")
                            .c_str()));
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    device.Reply(0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x32});
    device.Reply(0, {0x31, 0x01, 0x00, 0x00}); // slot 5

    EXPECT_EQ(WritePass(doc, device), 165);
    ExpectMessages(device, {{0xF7, 2}, {0x11, 2}, {0xF7, 14}}); // slot 6 at address 16 is not read
    pugi::xml_node report = DeviceNode(doc).last_child();
    EXPECT_EQ(ChildNames(report), ReportNames(5));
    for (int i = 0; i < 5; i++)
        EXPECT_STREQ(report.child(("Module" + std::to_string(i)).c_str()).text().get(), "Ok");
    EXPECT_STREQ(report.child("Module5").attribute("Info").value(),
                 "IdConfig=31 Id=31 IdSub=0 Id66=0 Ver=1.0.0.0");
    EXPECT_STREQ(report.child("Module5").text().get(), "Not ok");
}

TEST(KxbDevice, SlotsFourteenAndFifteenAreNeverExamined) {
    // Slot elements 14 and 15 that would mismatch or be malformed, and modules configured there.
    std::string script = txtStandardDevice;
    script.insert(script.find("</Device>"),
                  "<Module14><Module Id='99'><Version>09.09.09</Version></Module></Module14>"
                  "<Module15><Module Id='XX'><Version>1.2</Version></Module></Module15>");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(script).c_str()));
    EXPECT_EQ(CheckPass(doc), 0);

    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    Bytes config(16, 0x00);
    config[0] = 0x30;
    config[2] = 0xC5;
    config[14] = 0x30;
    config[15] = 0x30;
    device.Reply(0, config);
    device.Reply(0, {0x30, 0x01, 0x00, 0x07, 0x09});
    device.Reply(0, {0xC5, 0x02, 0x00, 0x10, 0x01});
    device.Reply(0, VelumBlock(0x2A));
    EXPECT_EQ(WritePass(doc, device), 0);
    for (const FakeMessage& m : device.sent) EXPECT_LT(m.dst, 32) << "message to slot 14 or 15";
    EXPECT_EQ(device.sent.size(), 5u);
    EXPECT_EQ(ChildNames(DeviceNode(doc).last_child()), ReportNames(13));
}

TEST(KxbDevice, ControllerReadFailureIsAnnotatedAndReadsNoModule) {
    const struct {
        int status;
        Bytes answer;
        const char* annotation;
    } cases[] = {
        {0x119, {0x11, 0x01, 0x02, 0x03}, "ERROR=119"},
        {0, {0x11, 0x01, 0x02}, "ERROR=ffffffff"}, // version answer too short
    };
    for (const auto& c : cases) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
        FakeDevice device;
        device.Reply(c.status, c.answer);

        EXPECT_EQ(WritePass(doc, device), 164) << c.annotation;
        EXPECT_EQ(device.sent.size(), 1u) << c.annotation;
        pugi::xml_node report = DeviceNode(doc).last_child();
        EXPECT_EQ(ChildNames(report), ReportNames(-1));
        pugi::xml_node controller = report.child("Controller");
        EXPECT_STREQ(controller.attribute(txtStampDevice.c_str()).value(), c.annotation);
        EXPECT_EQ(controller.attribute("Info"), pugi::xml_attribute()) << c.annotation;
        EXPECT_STREQ(controller.text().get(), "") << c.annotation;
    }
}

TEST(KxbDevice, ControllerFailingAfterConfigMessageIsAnnotated) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
    FakeDevice device;
    device.Reply(0, {0x11, 0x01, 0x02, 0x03});
    device.Reply(0x102);
    EXPECT_EQ(WritePass(doc, device), 164);
    EXPECT_STREQ(DeviceNode(doc).last_child().child("Controller").attribute(txtStampDevice.c_str()).value(),
                 "ERROR=102");
}

TEST(KxbDevice, ModuleReadFailureIsAnnotatedWithItsCode) {
    const struct {
        std::vector<FakeReply> module;
        const char* annotation;
    } cases[] = {
        {{{0x102, {0x30, 0x01, 0x00, 0x00}, -1}}, "ERROR=1"},
        {{{0, {0x30, 0x01, 0x00}, -1}}, "ERROR=2"},
        {{{0, {0x66, 0x02, 0x00, 0x4F}, -1}, {0, {0x06, 0x12}, -1}},
         "ERROR=3"}, // sub-id from another address
    };
    for (const auto& c : cases) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
        FakeDevice device;
        device.Reply(0, {0x11, 0x01, 0x02, 0x03});
        device.Reply(0, {0x30, 0x30});
        for (const FakeReply& r : c.module) device.Reply(r.status, r.answer, r.reportedLen);

        EXPECT_EQ(WritePass(doc, device), 164) << c.annotation;
        EXPECT_EQ(device.sent.size(), 2 + c.module.size()) << c.annotation; // slot 1 is not read
        pugi::xml_node report = DeviceNode(doc).last_child();
        EXPECT_EQ(ChildNames(report), ReportNames(0)) << c.annotation;
        EXPECT_STREQ(report.child("Controller").text().get(), "Ok");
        pugi::xml_node module0 = report.child("Module0");
        EXPECT_STREQ(module0.attribute(txtStampDevice.c_str()).value(), c.annotation);
        EXPECT_EQ(module0.attribute("Info"), pugi::xml_attribute()) << c.annotation;
        EXPECT_STREQ(module0.text().get(), "") << c.annotation;
    }
}

TEST(KxbDevice, ControllerMismatchIsNotOkBeforeAnyModuleRead) {
    std::string script = txtStandardDevice;
    script.replace(script.find("Id='11'"), 7, "Id='12'");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(script).c_str()));
    FakeDevice device;
    StandardKeyboard(device);

    EXPECT_EQ(WritePass(doc, device), 165);
    EXPECT_EQ(device.sent.size(), 2u);
    pugi::xml_node report = DeviceNode(doc).last_child();
    EXPECT_EQ(ChildNames(report), ReportNames(-1));
    EXPECT_STREQ(report.child("Controller").attribute("Info").value(), "Id=11 Ver=1.2.3.0");
    EXPECT_STREQ(report.child("Controller").text().get(), "Not ok");
}

TEST(KxbDevice, MalformedPatternOnAKeyboardIsNotOkWithoutParseError) {
    std::string script = txtStandardDevice;
    script.replace(script.find("<Module0>"), 9,
                   "<Module0><Module Id='31'><Version>01.0X.07</Version></Module>");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(script).c_str()));
    FakeDevice device;
    StandardKeyboard(device);

    EXPECT_EQ(WritePass(doc, device), 165);
    EXPECT_STREQ(DeviceNode(doc).last_child().child("Module0").text().get(), "Not ok");
    EXPECT_EQ(ScriptAnnotations(DeviceNode(doc)), 0);
}

TEST(KxbDevice, CheckPassAcceptsWellFormedScriptAndLeavesItUnchanged) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
    std::string before = Serialized(doc);
    // The all-zero record matches no candidate here: a mismatch is no error in the check pass.
    EXPECT_EQ(CheckPass(doc), 0);
    EXPECT_EQ(Serialized(doc), before);
}

TEST(KxbDevice, CheckPassAnnotatesTheElementHoldingAMalformedPattern) {
    const struct {
        const char* element;
        const char* candidates;
        const char* annotation;
    } cases[] = {
        {"Controller", "<Module Id='11'><Version>01.02.0G</Version></Module>", "PARSE_ERROR:Controller"},
        {"Controller", "<Module><Version>01.02.03</Version></Module>", "PARSE_ERROR:Controller"},
        {"Module0", "<Module Id='XX'><Version>xx.xx.xx</Version></Module>", "PARSE_ERROR:Module0"},
        {"Module3", "<Module Id='30'><Version>1.2.3</Version></Module>", "PARSE_ERROR:Module3"},
        {"Module5", "<Module><Version>xx.xx.xx</Version></Module>", "PARSE_ERROR:Module5"},
        {"Module13", "<Module Id='31'><Version>0X.00.00</Version></Module>", "PARSE_ERROR:Module13"},
    };
    for (const auto& c : cases) {
        std::string element = c.element;
        std::string script = txtStandardDevice;
        size_t begin = script.find("<" + element + ">");
        size_t end = script.find("</" + element + ">");
        script.replace(begin, end - begin, "<" + element + ">" + c.candidates);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(Script(script).c_str())) << script;

        EXPECT_EQ(CheckPass(doc), 160) << c.annotation;
        pugi::xml_node annotated = DeviceNode(doc).child(c.element);
        EXPECT_STREQ(annotated.attribute(txtStamp.c_str()).value(), c.annotation);
        EXPECT_EQ(ScriptAnnotations(DeviceNode(doc)), 1) << c.annotation;
        EXPECT_EQ(DeviceNode(doc).child("DetectedDevice"), pugi::xml_node()) << c.annotation;
    }
}

TEST(KxbDevice, MalformedPatternAfterAnAllZeroMatchOnlyShowsOnAKeyboard) {
    // The first candidate accepts the all-zero record of the check pass, but not the module read.
    std::string script = txtStandardDevice;
    script.replace(script.find("<Module0>"), 9,
                   "<Module0><Module Id='xx'><Version>00.00.00</Version></Module>"
                   "<Module Id='30'><Version>bad</Version></Module>");
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(script).c_str()));
    EXPECT_EQ(CheckPass(doc), 0);

    FakeDevice device;
    StandardKeyboard(device);
    EXPECT_EQ(WritePass(doc, device), 165);
    EXPECT_STREQ(DeviceNode(doc).last_child().child("Module0").text().get(), "Not ok");
    EXPECT_EQ(ScriptAnnotations(DeviceNode(doc)), 0);
}

TEST(KxbDevice, WithoutDeviceElementCheckPassesButNoKeyboardSuits) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script("").c_str()));
    std::string before = Serialized(doc);
    EXPECT_EQ(CheckPass(doc), 0);

    FakeDevice device;
    StandardKeyboard(device);
    EXPECT_EQ(WritePass(doc, device), 165);
    EXPECT_EQ(device.sent.size(), 2u); // the controller is still read
    EXPECT_EQ(Serialized(doc), before);

    FakeDevice failing;
    failing.Reply(0x119, {});
    EXPECT_EQ(WritePass(doc, failing), 164);
    EXPECT_EQ(Serialized(doc), before);
}

TEST(KxbDevice, LogDocumentUsedAgainAsScriptGetsItsReportAppended) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(Script(txtStandardDevice).c_str()));
    ASSERT_EQ(CheckPass(doc), 0);
    for (int k = 0; k < 2; k++) {
        FakeDevice device;
        StandardKeyboard(device);
        ASSERT_EQ(WritePass(doc, device, txtStamp + "_device" + std::to_string(k)), 0);
    }
    pugi::xml_document log;
    ASSERT_TRUE(log.load_string(Serialized(doc).c_str()));
    std::string oldReports = Serialized(log);

    EXPECT_EQ(CheckPass(log), 0);
    FakeDevice device;
    StandardKeyboard(device);
    EXPECT_EQ(WritePass(log, device, "t20261209000000_device0"), 0);

    std::vector<std::string> ids;
    for (pugi::xml_node report = DeviceNode(log).child("DetectedDevice"); report;
         report = report.next_sibling("DetectedDevice"))
        ids.push_back(report.attribute("Id").value());
    EXPECT_EQ(ids, (std::vector<std::string>{txtStamp + "_device0", txtStamp + "_device1",
                                             "t20261209000000_device0"}));
    EXPECT_STREQ(DeviceNode(log).last_child().attribute("Id").value(), "t20261209000000_device0");
    EXPECT_EQ(ChildNames(DeviceNode(log).last_child()), ReportNames(13));
    // The old reports are untouched.
    EXPECT_EQ(Serialized(log).find(oldReports.substr(0, oldReports.find("</Device>"))), 0u);
}

// A stop asked for before a keyboard is reached leaves that keyboard untouched: not even its
// controller is read. The stop handlers change the whole process: the test runs in a child.
TEST(KxbDeviceDeathTest, StopPendingAtTheStartSendsTheKeyboardNoRead) {
    EXPECT_EXIT(
        {
            InstallStopHandlers();
            raise(SIGINT);
            pugi::xml_document doc;
            doc.load_string(Script(txtStandardDevice).c_str());
            FakeDevice device;
            StandardKeyboard(device);
            int result = WritePass(doc, device);
            pugi::xml_node controller = DeviceNode(doc).last_child().child("Controller");
            std::fprintf(stderr, "result %d, %zu sent, Controller %s\n", result, device.sent.size(),
                         controller.attribute(txtStampDevice.c_str()).value());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "result -2, 0 sent, Controller interrupted");
}
