// kxb verify and kxb backup against virtual keyboards that kavelwrite wrote: what verify reads back
// is what kavelwrite left, one changed byte is found where it is, a failed read is never taken for a
// match, and a backup written after the script puts every byte back.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <cstdlib>
#include <map>
#include <sstream>

namespace {

// A keyboard with a type 66 module, the IntEep pointers 10 (base 4000) and 20 (0), an answer to
// the pointer command 30 (start address 5234), and bytes of its own where the script writes.
std::string Keyboard(const std::string& controllerBuild, const std::string& fill) {
    return "<Keyboard><Controller><Version>11 01 02 " + controllerBuild +
           " 00</Version><Config>66</Config></Controller>"
           "<Module Slot=\"0\"><Version>66 02 01 CE 12</Version></Module>"
           "<Memory Unit=\"2\" Address=\"10\">00 40</Memory><Memory Unit=\"2\" Address=\"20\">00 00</Memory>"
           "<Memory Unit=\"2\" Address=\"4000\">" +
           fill + " " + fill + " " + fill + "</Memory><Memory Unit=\"4\" Address=\"FFFE\">" + fill +
           " C1 C2</Memory><Answer Cmd=\"30\" Dst=\"2\">00 34 12</Answer></Keyboard>";
}

std::string Simulation(const std::string& keyboards) {
    return "<KavelSimulation>" + keyboards + "</KavelSimulation>\n";
}

// 300 bytes from FFF0 on the module: they wrap round to 011B, take two reads of 255 and 29 bytes
// besides the 16 below the top, and a later block overwrites three of them.
std::string LongBlock() {
    std::string text;
    for (int i = 0; i < 300; i++) {
        char txtByte[4];
        std::snprintf(txtByte, sizeof txtByte, "%02X", i & 0xFF);
        text += (i == 0 ? "" : " ") + std::string(txtByte);
    }
    return text;
}

// Every kind of element: a command, overlapping IntEep blocks, a block behind a pointer that holds
// 0, a pointer command's block, module blocks, and a BinMemory message that is no memory write.
std::string Script() {
    return "<XML_BIN_FILE>\n" + AnyDeviceElement() +
           "\n<Command><DST>F</DST><CMD>30</CMD></Command>\n"
           "<IntEep><PtrAddress>10</PtrAddress>\n"
           "<Data Offset=\"0\">11 22 33 44</Data>\n<Data Offset=\"2\">AA BB CC</Data></IntEep>\n"
           "<IntEep><PtrAddress>20</PtrAddress>\n<Data Offset=\"0\">55</Data></IntEep>\n"
           "<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressLow>1"
           "</AnswerByteAddressLow><AnswerByteAddressHigh>2</AnswerByteAddressHigh>\n"
           "<Data Offset=\"4\">A1 A2 A3</Data></IntEep_CommandPtr>\n"
           "<BinMemory><DST>4</DST><CMD>17</CMD>\n"
           "<Data Address=\"FFF0\">" +
           LongBlock() +
           "</Data>\n<Data Address=\"10\">01 02 03</Data></BinMemory>\n"
           "<BinMemory><DST>2</DST><CMD>30</CMD>\n<Data Address=\"6000\">99</Data></BinMemory>\n"
           "</XML_BIN_FILE>\n";
}

// A script whose first writer is a memory block, at the lowest address of the controller.
std::string MemoryFirstScript() {
    return "<XML_BIN_FILE>" + AnyDeviceElement() +
           "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"0\">01 02 03</Data></BinMemory>"
           "</XML_BIN_FILE>\n";
}

// "LINE:COLUMN" of the first place where text holds what.
std::string PlaceOf(const std::string& text, const std::string& what) {
    size_t at = text.find(what);
    size_t lineStart = text.rfind('\n', at);
    int nLine = 1;
    for (size_t i = 0; i < at; i++) nLine += text[i] == '\n' ? 1 : 0;
    return std::to_string(nLine) + ":" +
           std::to_string(lineStart == std::string::npos ? at + 1 : at - lineStart);
}

// Every unit's memory of every keyboard in a simulation, as 64 KiB that read 00 where never set.
std::map<std::pair<int, int>, std::vector<int>> MemoryOf(const std::string& simulation) {
    std::map<std::pair<int, int>, std::vector<int>> memory;
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(simulation.c_str()));
    int nKeyboard = 0;
    for (pugi::xml_node keyboard : doc.child("KavelSimulation").children("Keyboard")) {
        for (pugi::xml_node element : keyboard.children("Memory")) {
            int nUnit = static_cast<int>(std::strtol(element.attribute("Unit").value(), nullptr, 16));
            long lAddress = std::strtol(element.attribute("Address").value(), nullptr, 16);
            std::vector<int>& bytes = memory[{nKeyboard, nUnit}];
            bytes.resize(0x10000, 0);
            std::istringstream list(element.child_value());
            for (std::string byte; list >> byte; lAddress++)
                bytes[lAddress & 0xFFFF] = static_cast<int>(std::strtol(byte.c_str(), nullptr, 16));
        }
        nKeyboard++;
    }
    return memory;
}

struct KxbReadBack : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        WriteFile(dir + "/script.kxb", Script());
    }
    void TearDown() override { RemoveTree(dir); }

    // Runs kavelwrite on a script in dir against a simulation there, saving it as saved.
    void Write(const std::string& script, const std::string& simulation, const std::string& saved,
               int nExit) {
        RunOutcome run = RunKavelwrite({script},
                                       {{"KAVELHID_SIMULATION", dir + "/" + simulation},
                                        {"KAVELHID_SIMULATION_SAVE", dir + "/" + saved}},
                                       dir);
        EXPECT_EQ(run.exitStatus, nExit) << run.out;
    }
    RunOutcome Kxb(const std::vector<std::string>& args, const std::string& simulation) {
        return RunKxb(
            args, {{"KAVELHID_SIMULATION", dir + "/" + simulation}, {"KAVELHID_TRACE", dir + "/kxb.trace"}},
            dir);
    }
    std::string dir;
};

TEST_F(KxbReadBack, VerifyReadsBackWhatKavelwriteWroteAndFindsOneChangedByte) {
    WriteFile(dir + "/keyboard.xml", Simulation(Keyboard("03", "A0")));
    Write("script.kxb", "keyboard.xml", "written.xml", 0);

    RunOutcome verify = Kxb({"verify", "script.kxb"}, "written.xml");
    EXPECT_EQ(verify.exitStatus, 0) << verify.out << verify.err;
    EXPECT_NE(
        verify.out.find("device0: holds the script: blocks: 4 match, 0 differ, 3 not verified, 1 skipped, 0 "
                        "unreadable; bytes: 305 match, 0 differ\n"),
        std::string::npos)
        << verify.out;
    // Reads only, and the script's memory in pieces of at most 255 bytes, none across the top.
    std::string sReads;
    std::istringstream trace(StripTraceTimes(ReadFile(dir + "/kxb.trace")));
    for (std::string line; std::getline(trace, line);) {
        if (line.find(" SendCommand ") == std::string::npos) continue;
        std::string sCmd = line.substr(line.find("cmd=") + 4, 2);
        EXPECT_TRUE(sCmd == "F7" || sCmd == "11" || sCmd == "FF" || sCmd == "F9" || sCmd == "16") << line;
        if (sCmd == "16")
            sReads += line.substr(line.find("cmd="), line.find(" ->") - line.find("cmd=")) + "\n";
    }
    EXPECT_EQ(sReads, "cmd=16 dst=02 data=[10 00 02]\ncmd=16 dst=02 data=[20 00 02]\n"
                      "cmd=16 dst=02 data=[00 40 05]\ncmd=16 dst=04 data=[00 00 FF]\n"
                      "cmd=16 dst=04 data=[FF 00 1D]\ncmd=16 dst=04 data=[F0 FF 10]\n");

    RunOutcome sent = Kxb({"verify", "--send-pointer-commands", "script.kxb"}, "written.xml");
    EXPECT_EQ(sent.exitStatus, 0) << sent.out;
    EXPECT_NE(
        sent.out.find("blocks: 5 match, 0 differ, 2 not verified, 1 skipped, 0 unreadable; bytes: 308 match"),
        std::string::npos)
        << sent.out;

    // One byte of the wrapped block, in its second read, changed on the keyboard.
    std::string written = ReadFile(dir + "/written.xml");
    size_t at = written.find("<Memory Unit=\"4\" Address=\"0\">");
    ASSERT_NE(at, std::string::npos) << written;
    written.replace(written.find('>', at) + 1 + 3 * 0x100, 2, "EE");
    WriteFile(dir + "/changed.xml", written);
    RunOutcome changed = Kxb({"verify", "script.kxb"}, "changed.xml");
    EXPECT_EQ(changed.exitStatus, 167);
    EXPECT_NE(
        changed.out.find("script.kxb:" + PlaceOf(Script(), "Data Address=\"FFF0\"") +
                         ": device0: differ: Data: unit 4, 300 bytes at FFF0: 1 byte differs, the first at "
                         "100: the keyboard holds EE, the script leaves 10\n"),
        std::string::npos)
        << changed.out;
    EXPECT_NE(
        changed.out.find("blocks: 3 match, 1 differ, 3 not verified, 1 skipped, 0 unreadable; bytes: 304 "
                         "match, 1 differ"),
        std::string::npos)
        << changed.out;
}

// The first block of a script is read back like every other: a keyboard that holds it holds the script.
TEST_F(KxbReadBack, VerifyReadsTheFirstBlockOfAScriptThatBeginsWithOne) {
    WriteFile(dir + "/first.kxb", MemoryFirstScript());
    WriteFile(dir + "/keyboard.xml", Simulation(Keyboard("03", "A0")));
    Write("first.kxb", "keyboard.xml", "written.xml", 0);
    RunOutcome verify = Kxb({"verify", "first.kxb"}, "written.xml");
    EXPECT_EQ(verify.exitStatus, 0);
    EXPECT_EQ(verify.out,
              "1 Kavel device(s) detected\ndevice0: holds the script: blocks: 1 match, 0 differ, 0 not "
              "verified, 0 skipped, 0 unreadable; bytes: 3 match, 0 differ\n");
}

// A read that fails or answers short ends the keyboard with 164: what it should have read is never
// called a match, and what was read before it is still judged.
TEST_F(KxbReadBack, FailedReadsEndTheKeyboardAsUnreadable) {
    const struct {
        const char* what;
        const char* inject;
        const char* line;
        const char* summary;
    } cases[] = {
        {"second read of the module", "<Inject Cmd=\"16\" Dst=\"4\" Skip=\"1\" Count=\"1\" Status=\"102\"/>",
         "unreadable: Data: unit 4, 300 bytes at FFF0: not read: the read of 29 bytes at FF on unit 4: "
         "ERROR=102;responselen=0\n",
         "device0: ERROR: Device communication error: blocks: 3 match, 0 differ, 3 not verified, 1 skipped, "
         "1 "
         "unreadable; bytes: 8 match"},
        {"short pointer read", "<Inject Cmd=\"16\" Dst=\"2\" Count=\"1\">00</Inject>",
         "unreadable: IntEep: unit 2, 2 bytes at 10: the pointer read: ERROR=0\n",
         "device0: ERROR: Device communication error: blocks: 0 match, 0 differ, 1 not verified, 0 skipped, "
         "1 "
         "unreadable"},
    };
    WriteFile(dir + "/keyboard.xml", Simulation(Keyboard("03", "A0")));
    Write("script.kxb", "keyboard.xml", "written.xml", 0);
    std::string written = ReadFile(dir + "/written.xml");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string failing = written;
        failing.replace(failing.find("</Keyboard>"), 0, c.inject);
        WriteFile(dir + "/failing.xml", failing);
        RunOutcome verify = Kxb({"verify", "script.kxb"}, "failing.xml");
        EXPECT_EQ(verify.exitStatus, 164);
        EXPECT_NE(verify.out.find(c.line), std::string::npos) << verify.out;
        EXPECT_NE(verify.out.find(c.summary), std::string::npos) << verify.out;
    }
}

TEST_F(KxbReadBack, BackupWrittenAfterTheScriptPutsBackEveryByteOfItsKeyboardOnly) {
    // Two keyboards that the script suits, told apart by their controller's build.
    WriteFile(dir + "/before.xml", Simulation(Keyboard("03", "A0") + Keyboard("04", "B0")));
    RunOutcome unnamed = Kxb({"backup", "script.kxb"}, "before.xml");
    EXPECT_EQ(unnamed.exitStatus, 2);
    EXPECT_NE(unnamed.err.find("2 keyboards are attached: name one with --keyboard N"), std::string::npos);

    RunOutcome backup =
        Kxb({"backup", "--keyboard", "1", "--send-pointer-commands", "--output", "backup.kxb", "script.kxb"},
            "before.xml");
    // The message 30 block cannot be backed up; the command is named but lacks nothing.
    EXPECT_EQ(backup.exitStatus, 167);
    EXPECT_EQ(backup.err,
              "script.kxb:" + PlaceOf(Script(), "Command>") +
                  ": device1: not undone: Command: a command has effects, not bytes: a backup cannot "
                  "take it back\nscript.kxb:" +
                  PlaceOf(Script(), "Data Address=\"6000\"") +
                  ": device1: not backed up: Data: message type 30 is not the memory write 17: kxb "
                  "cannot tell where it leaves bytes\n");
    EXPECT_NE(ReadFile(dir + "/backup.kxb").find("<!-- not backed up: script.kxb:"), std::string::npos);

    Write("script.kxb", "before.xml", "written.xml", 0);
    // Keyboard 0 does not suit keyboard 1's backup and keeps what the script wrote.
    Write("backup.kxb", "written.xml", "restored.xml", 165);
    auto before = MemoryOf(ReadFile(dir + "/before.xml"));
    auto written = MemoryOf(ReadFile(dir + "/written.xml"));
    auto restored = MemoryOf(ReadFile(dir + "/restored.xml"));
    for (int nUnit : {2, 4}) {
        SCOPED_TRACE("unit " + std::to_string(nUnit));
        std::pair<int, int> first(0, nUnit), second(1, nUnit);
        EXPECT_NE(written[second], before[second]);
        EXPECT_EQ(restored[second], before[second]);
        EXPECT_EQ(restored[first], written[first]);
    }
}

// Keyboard 0, the first index kavelwrite prints, can be named: its backup is the one it has alone.
TEST_F(KxbReadBack, BackupOfKeyboardZeroOfTwoIsItsBackupAlone) {
    WriteFile(dir + "/first.kxb", MemoryFirstScript());
    WriteFile(dir + "/alone.xml", Simulation(Keyboard("03", "A0")));
    WriteFile(dir + "/two.xml", Simulation(Keyboard("03", "A0") + Keyboard("04", "B0")));
    RunOutcome alone = Kxb({"backup", "first.kxb"}, "alone.xml");
    ASSERT_EQ(alone.exitStatus, 0) << alone.err;
    RunOutcome named = Kxb({"backup", "--keyboard", "0", "first.kxb"}, "two.xml");
    EXPECT_EQ(named.exitStatus, 0) << named.err;
    EXPECT_EQ(named.out, alone.out);
}

// What verify and backup refuse ends with a usage error's status and says why on standard error.
TEST_F(KxbReadBack, RefusedOptionsAndArgumentsEndWithTheirStatus) {
    const struct {
        std::vector<std::string> args;
        const char* keyboards;
        int nExit;
        const char* message;
    } cases[] = {
        {{"verify", "--bogus", "script.kxb"}, "one.xml", 2, "Usage: kxb verify"},
        {{"backup", "--bogus", "script.kxb"}, "one.xml", 2, "Usage: kxb backup"},
        {{"verify"}, "one.xml", 168, "kxb verify: no script named\n"},
        {{"backup"}, "one.xml", 168, "kxb backup: no script named\n"},
        {{"verify", "script.kxb", "other.kxb"}, "one.xml", 2, "one script at a time, not also 'other.kxb'\n"},
        {{"backup", "--keyboard", "3", "script.kxb"}, "one.xml", 2, "3: 1 keyboard is attached\n"},
        {{"backup", "--keyboard", "3", "script.kxb"}, "two.xml", 2, "3: 2 keyboards are attached\n"},
        {{"backup", "--output", "./script.kxb", "script.kxb"}, "one.xml", 2, "names the script it backs up"},
    };
    WriteFile(dir + "/one.xml", Simulation(Keyboard("03", "A0")));
    WriteFile(dir + "/two.xml", Simulation(Keyboard("03", "A0") + Keyboard("04", "B0")));
    for (const auto& c : cases) {
        std::string sArgs;
        for (const std::string& arg : c.args) sArgs += " " + arg;
        SCOPED_TRACE("kxb" + sArgs + " with " + c.keyboards);
        RunOutcome run = Kxb(c.args, c.keyboards);
        EXPECT_EQ(run.exitStatus, c.nExit);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadFile(dir + "/script.kxb").find("kxb backup of"), std::string::npos)
        << "the script was replaced";
}

} // namespace
