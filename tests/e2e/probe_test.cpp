// kxb probe against virtual keyboards, proved by kavelwrite itself: the Device element that probe
// prints suits exactly the keyboards it read, and the twin that probe writes is identified by
// kavelwrite exactly as the keyboards it was made of.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <sstream>

namespace {

// Two keyboards of the same make with other firmware: a controller and a module of every family
// the reads tell apart, and a module in slot 14, which the Device element never examines.
const char* kTwoKeyboards = R"(<KavelSimulation>
  <Keyboard>
    <Controller><Version>11 01 02 03 00</Version><Config>66 66 66 C5 CF 00 00 00 00 00 00 00 00 00 30</Config></Controller>
    <Module Slot="0"><Version>66 02 01 CE 12</Version></Module>
    <Module Slot="1"><Version>66 02 00 4F</Version><SubId>06 21</SubId></Module>
    <Module Slot="2"><Version>66 01 03 CE</Version><SubId>08 35</SubId></Module>
    <Module Slot="3"><Version>C5 01 02 05 01</Version><Eeprom>AA 55 00 00 00 00 00 2B 00 00 00 00 00 00 00 00 00 00</Eeprom></Module>
    <Module Slot="4"><Version>CF 01 00 0A 03</Version></Module>
    <Module Slot="E"><Version>30 01 00 00</Version></Module>
  </Keyboard>
  <Keyboard>
    <Controller><Version>11 01 04 00 02</Version><Config>66 66 66 C3</Config></Controller>
    <Module Slot="0"><Version>66 02 02 CE 12</Version></Module>
    <Module Slot="1"><Version>66 02 00 CE</Version><SubId>06 22</SubId></Module>
    <Module Slot="2"><Version>66 01 03 4F</Version><SubId>08 35</SubId></Module>
    <Module Slot="3"><Version>C3 01 02 06 00</Version><Eeprom>AA 55 00 00 00 2C 00 00 00 00 00 00 00 00 00 00 00 00</Eeprom></Module>
  </Keyboard>
</KavelSimulation>
)";

// Keyboards that fail in every way the reads tell, around two that are read whole (one with a
// six-byte controller version, a long configuration and a VELUM block without signature; one
// whose slot 14 does not answer, which only probe asks).
const char* kFailingKeyboards = R"(<KavelSimulation>
  <LibraryVersion>2.7.1</LibraryVersion>
  <Keyboard>
    <Controller><Version>11 01 02 03 04 99</Version><Config>66 66 66 C5 C5 CF 00 00 00 00 00 00 00 00 00 00 44 44</Config></Controller>
    <Module Slot="0"><Version>66 01 02 03 12</Version></Module>
    <Module Slot="1"><Version>66 02 00 4F</Version><SubId>06 34</SubId></Module>
    <Module Slot="2"><Version>66 01 03 CE</Version><SubId>08 56</SubId></Module>
    <Module Slot="3"><Version>C5 01 00 07 02</Version><Eeprom>AA 55 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31</Eeprom></Module>
    <Module Slot="4"><Version>C5 01 00 09</Version><Eeprom>55 AA 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 31</Eeprom></Module>
    <Module Slot="5"><Version>CF 01 00 0A</Version></Module>
  </Keyboard>
  <Keyboard><Open>5</Open></Keyboard>
  <Keyboard><EnumerateModules>FFFFFFF9</EnumerateModules></Keyboard>
  <Keyboard><Controller><Version>11 01 02 03</Version></Controller><Inject Cmd="F7" Dst="2" Status="119"/></Keyboard>
  <Keyboard><Controller><Version>11 01 02</Version></Controller></Keyboard>
  <Keyboard><Controller><Version>11 01 02 03</Version><Config>30</Config></Controller><Inject Cmd="11" Status="3"/></Keyboard>
  <Keyboard>
    <Controller><Version>11 01 02 03</Version><Config>30 C5</Config></Controller>
    <Module Slot="0"><Version>30 01 00 00</Version></Module>
    <Module Slot="1"><Eeprom>AA 55 00 00 00 00 00 2B 00 00 00 00 00 00 00 00 00 00</Eeprom></Module>
  </Keyboard>
  <Keyboard><Controller><Version>11 01 02 03</Version><Config>C5</Config></Controller><Module Slot="0"><Version>C5 01</Version></Module></Keyboard>
  <Keyboard><Controller><Version>11 01 02 03</Version><Config>66</Config></Controller><Module Slot="0"><Version>66 02 00 4F</Version><SubId>04 12 00</SubId></Module></Keyboard>
  <Keyboard>
    <Controller><Version>20 01 04 0A 00</Version><Config>C3 00 00 00 00 00 00 00 00 00 00 00 00 00 30</Config></Controller>
    <Module Slot="0"><Version>C3 01 02 05 01</Version><Eeprom>AA 55 00 00 00 2B 00 00 00 00 00 00 00 00 00 00 00 00</Eeprom></Module>
  </Keyboard>
</KavelSimulation>
)";

// What probe ends each of kFailingKeyboards with.
const int kFailingStatuses[] = {0, 162, 163, 164, 164, 164, 164, 164, 164, 164};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << "not in the simulation: " << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

struct KxbProbe : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { RemoveTree(dir); }

    // Runs kxb with the keyboards of a simulation text; a trace is written to dir/NAME.trace.
    RunOutcome Kxb(const std::vector<std::string>& args, const std::string& simulation,
                   const std::string& name) {
        WriteFile(dir + "/" + name + ".xml", simulation);
        RunOutcome run = RunKxb(args,
                                {{"KAVELHID_SIMULATION", dir + "/" + name + ".xml"},
                                 {"KAVELHID_TRACE", dir + "/" + name + ".trace"}},
                                dir);
        EXPECT_EQ(run.signal, 0) << "kxb was killed by a signal";
        return run;
    }
    // Runs kavelwrite --logfile on script text against a simulation text; returns the run and
    // stores the log file's text in *log.
    RunOutcome Kavelwrite(const std::string& script, const std::string& simulation, const std::string& name,
                          std::string* log) {
        WriteFile(dir + "/" + name + ".kxb", script);
        WriteFile(dir + "/" + name + ".keyboards.xml", simulation);
        RunOutcome run = RunKavelwrite({name + ".kxb", "--logfile"},
                                       {{"KAVELHID_SIMULATION", dir + "/" + name + ".keyboards.xml"}}, dir);
        EXPECT_EQ(run.signal, 0) << "kavelwrite was killed by a signal";
        std::vector<std::string> logs = FindLogFiles(dir, name + ".kxb");
        EXPECT_EQ(logs.size(), 1u);
        if (log != nullptr) *log = logs.empty() ? std::string() : ReadFile(dir + "/" + logs[0]);
        return run;
    }
    std::string dir;
};

// The DetectedDevice reports of a log, one string each, run stamps masked.
std::vector<std::string> Reports(const std::string& log) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(log.c_str()));
    std::vector<std::string> reports;
    for (pugi::xml_node report : doc.child("XML_BIN_FILE").child("Device").children("DetectedDevice")) {
        std::ostringstream text;
        report.print(text, "\t");
        reports.push_back(MaskStamps(text.str()));
    }
    return reports;
}

// The script a user makes of probe's Device element: it and one Command.
std::string ScriptOf(const std::string& deviceElement) {
    return "<XML_BIN_FILE>\n" + deviceElement +
           "<Command><DST>F</DST><CMD>30</CMD></Command>\n</XML_BIN_FILE>\n";
}

int CountLines(const std::string& text, const std::string& line) {
    int nCount = 0;
    std::istringstream lines(text);
    for (std::string each; std::getline(lines, each);) nCount += each == line ? 1 : 0;
    return nCount;
}

TEST_F(KxbProbe, DeviceElementSuitsBothKeyboardsAndProbeSendsOnlyIdentificationReads) {
    RunOutcome probe = Kxb({"probe", "--device-element"}, kTwoKeyboards, "probe");
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    EXPECT_EQ(probe.err, "");
    EXPECT_EQ(probe.out.rfind("<Device>", 0), 0u) << "not only a Device element:\n" << probe.out;

    // Only the reads' messages: version, configuration, sub-id query and sub-id block.
    std::istringstream trace(StripTraceTimes(ReadFile(dir + "/probe.trace")));
    int nMessages = 0;
    for (std::string line; std::getline(trace, line);) {
        if (line.find(" SendCommand ") == std::string::npos) continue;
        nMessages++;
        std::string sCmd = line.substr(line.find("cmd=") + 4, 2);
        EXPECT_TRUE(sCmd == "F7" || sCmd == "11" || sCmd == "FF" || sCmd == "F9") << line;
    }
    // Keyboard 0: 2 to the controller, 6 versions (slot 14 too), 2 FF, 1 F9; keyboard 1: 2, 4, 2, 1.
    EXPECT_EQ(nMessages, 20);

    std::string log;
    RunOutcome run = Kavelwrite(ScriptOf(probe.out), kTwoKeyboards, "script", &log);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_EQ(CountLines(run.out, " Done."), 2) << run.out;
    EXPECT_EQ(log.find("Not ok"), std::string::npos);
}

struct AlteredByte {
    const char* name;
    const char* from; // a line of keyboard 1 in kTwoKeyboards
    const char* to;   // the same line with one version byte changed
};

void PrintTo(const AlteredByte& altered, std::ostream* os) {
    *os << altered.name;
}

class KxbProbeAlteredKeyboard : public KxbProbe, public ::testing::WithParamInterface<AlteredByte> {};

TEST_P(KxbProbeAlteredKeyboard, MakesThatKeyboardUnsuitable) {
    RunOutcome probe = Kxb({"probe", "--device-element"}, kTwoKeyboards, "probe");
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    std::string altered = Replace(kTwoKeyboards, GetParam().from, GetParam().to);
    RunOutcome run = Kavelwrite(ScriptOf(probe.out), altered, "script", nullptr);
    EXPECT_EQ(run.exitStatus, 165) << run.out;
    EXPECT_EQ(CountLines(run.out, " Done."), 1) << run.out;
    EXPECT_NE(run.out.find("device1:\n Device not suitable - nothing changed.\n"), std::string::npos)
        << run.out;
}

const AlteredByte kAlteredBytes[] = {
    {"ControllerMinor", "<Version>11 01 04 00 02</Version>", "<Version>11 01 05 00 02</Version>"},
    {"VelumFirmwareType", "<Version>C3 01 02 06 00</Version>", "<Version>C3 01 02 06 01</Version>"},
    // Build 4F is RM52 firmware too: only keyboard 0's sub-id goes with it.
    {"Rm52Build", "<Version>66 02 00 CE</Version>", "<Version>66 02 00 4F</Version>"},
};

INSTANTIATE_TEST_SUITE_P(Probe, KxbProbeAlteredKeyboard, ::testing::ValuesIn(kAlteredBytes),
                         [](const ::testing::TestParamInfo<AlteredByte>& info) { return info.param.name; });

TEST_F(KxbProbe, TwinIsIdentifiedAsTheKeyboardsAndProbesToItself) {
    RunOutcome twin = Kxb({"probe", "--simulation"}, kFailingKeyboards, "keyboards");
    EXPECT_EQ(twin.exitStatus, 164);
    ASSERT_NE(twin.out, "");

    // A write to a bus address where no unit answers ends every pass before the reset wait.
    std::string script = "<XML_BIN_FILE>" + AnyDeviceElement() +
                         "<BinMemory><DST>3F</DST><CMD>17</CMD><Data Address=\"0\">00</Data></BinMemory>"
                         "</XML_BIN_FILE>\n";
    std::string realLog;
    std::string twinLog;
    RunOutcome real = Kavelwrite(script, kFailingKeyboards, "real", &realLog);
    RunOutcome onTwin = Kavelwrite(script, twin.out, "twin", &twinLog);
    EXPECT_EQ(onTwin.exitStatus, real.exitStatus);
    EXPECT_EQ(MaskStamps(onTwin.out), MaskStamps(real.out));
    EXPECT_EQ(onTwin.err, "");
    std::vector<std::string> realReports = Reports(realLog);
    EXPECT_EQ(realReports.size(), 8u) << "a report for every keyboard that opened and enumerated";
    EXPECT_EQ(Reports(twinLog), realReports);

    // Probe sees the twin as the keyboards, and makes the same twin of it.
    RunOutcome text = Kxb({"probe"}, kFailingKeyboards, "text");
    RunOutcome twinText = Kxb({"probe"}, twin.out, "twin-text");
    EXPECT_EQ(twinText.exitStatus, text.exitStatus);
    EXPECT_EQ(twinText.out, text.out);
    RunOutcome twinOfTwin = Kxb({"probe", "--simulation"}, twin.out, "twin-of-twin");
    EXPECT_EQ(twinOfTwin.out, twin.out);

    RunOutcome json = Kxb({"probe", "--json"}, kFailingKeyboards, "json");
    std::string statuses;
    for (int nStatus : kFailingStatuses) statuses += "\"status\": " + std::to_string(nStatus) + ",\n";
    std::string found;
    std::istringstream lines(json.out);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("\"status\": ");
        if (at != std::string::npos) found += line.substr(at) + "\n";
    }
    EXPECT_EQ(found, statuses);
}

// A controller that answers its version and then fails the configuration read: its twin fails that
// read alone, so that the twin is sent the same reads and gives the same answers.
TEST_F(KxbProbe, TwinOfAFailedConfigurationReadStillAnswersTheVersion) {
    const char* keyboard = "<KavelSimulation><Keyboard><Controller><Version>11 01 02 03 00</Version>"
                           "<Config>30</Config></Controller><Inject Cmd=\"11\" Status=\"3\"/></Keyboard>"
                           "</KavelSimulation>";
    RunOutcome twin = Kxb({"probe", "--simulation"}, keyboard, "keyboard");
    EXPECT_EQ(twin.exitStatus, 164);
    RunOutcome onTwin = Kxb({"probe", "--simulation"}, twin.out, "twin");
    EXPECT_EQ(onTwin.exitStatus, 164);
    EXPECT_EQ(StripTraceTimes(ReadFile(dir + "/twin.trace")),
              StripTraceTimes(ReadFile(dir + "/keyboard.trace")));
}

// The modules of the JSON document are the configured slots, as the text shows them.
TEST_F(KxbProbe, JsonListsOnlyTheConfiguredSlots) {
    RunOutcome probe = Kxb({"probe", "--json"}, kTwoKeyboards, "probe");
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    nlohmann::json json = nlohmann::json::parse(probe.out);
    std::vector<std::vector<int>> slots;
    for (const auto& keyboard : json["keyboards"]) {
        slots.emplace_back();
        for (const auto& module : keyboard["modules"]) slots.back().push_back(module["slot"].get<int>());
    }
    EXPECT_EQ(slots, (std::vector<std::vector<int>>{{0, 1, 2, 3, 4, 14}, {0, 1, 2, 3}}));
}

// One document at a time: asking for two is a usage error, not a choice made for the user.
TEST_F(KxbProbe, TwoDocumentsAtOnceAreAUsageError) {
    RunOutcome probe = Kxb({"probe", "--json", "--device-element"}, kTwoKeyboards, "probe");
    EXPECT_EQ(probe.exitStatus, 2);
    EXPECT_EQ(probe.out, "");
}

TEST_F(KxbProbe, NegativeCountIsKeptInTheTwin) {
    const char* keyboards = "<KavelSimulation><Count>-1</Count><Keyboard/></KavelSimulation>";
    RunOutcome twin = Kxb({"probe", "--simulation"}, keyboards, "keyboards");
    EXPECT_EQ(twin.exitStatus, 161);
    EXPECT_EQ(twin.err, "ERROR: No Kavel device detected\n");
    RunOutcome run = Kavelwrite("<XML_BIN_FILE/>", twin.out, "script", nullptr);
    EXPECT_EQ(run.exitStatus, 161);
    EXPECT_NE(run.out.find("ERROR: No Kavel device detected"), std::string::npos) << run.out;
}

} // namespace
