// Reading, checking and saving simulation files.
#include "virtual_keyboard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace kavelvk;

namespace {

const char* const txtFullSimulation = R"(<?xml version="1.0"?>
<!-- a keyboard with everything -->
<KavelSimulation>
  <LibraryVersion>1.4.2</LibraryVersion>
  <Count> 0x2</Count>
  <Keyboard>
    <Open>FFFFFFFF</Open>
    <EnumerateModules>-2</EnumerateModules>
    <Memory Unit="6" Address="FFFF">AB CD</Memory>
    <Controller>
      <Version>11 01 02 03 00</Version>
      <Config>66 C5 00</Config>
    </Controller>
    <Module Slot="0">
      <Version>66 02 00 4F</Version>
      <SubId>04 12</SubId>
    </Module>
    <Module Slot="1">
      <Eeprom><![CDATA[AA 55 00]]></Eeprom>
    </Module>
    <Memory Unit="2" Address="1000">00 40</Memory>
    <Answer Cmd="30" Dst="4">12 34 56</Answer>
    <Answer Cmd="30" Dst="4">99</Answer>
    <Inject Cmd="17" Dst="2" Skip="1" Count="2" Status="119"/>
    <Inject Signal=" 0x40">01</Inject>
  </Keyboard>
  <Keyboard/>
  <Keyboard>
    <!-- only a controller -->
  </Keyboard>
</KavelSimulation>
)";

TEST(Simulation, ReadsEveryPartOfAValidFile) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText(txtFullSimulation, &sError)) << sError;
    EXPECT_EQ(simulation.libraryVersion[0], 1);
    EXPECT_EQ(simulation.libraryVersion[1], 4);
    EXPECT_EQ(simulation.libraryVersion[2], 2);
    EXPECT_EQ(simulation.count, 2);
    ASSERT_EQ(simulation.keyboards.size(), 3u);

    Keyboard& keyboard = *simulation.keyboards[0];
    EXPECT_EQ(keyboard.openStatus, -1);
    EXPECT_EQ(keyboard.enumerateModulesStatus, -2);
    Unit* controller = keyboard.UnitAt(2);
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->version, (std::vector<std::uint8_t>{0x11, 0x01, 0x02, 0x03, 0x00}));
    EXPECT_TRUE(controller->bHasConfig);
    EXPECT_EQ(controller->config, (std::vector<std::uint8_t>{0x66, 0xC5, 0x00}));
    EXPECT_EQ(controller->ReadMemory(0x1000), 0x00);
    EXPECT_EQ(controller->ReadMemory(0x1001), 0x40);
    ASSERT_TRUE(controller->memory);
    EXPECT_TRUE(controller->memory->IsSet(0x1000));
    EXPECT_FALSE(controller->memory->IsSet(0x1002));

    Unit* module0 = keyboard.UnitAt(4);
    ASSERT_NE(module0, nullptr);
    EXPECT_EQ(module0->subId, (std::vector<std::uint8_t>{0x04, 0x12}));
    EXPECT_FALSE(module0->bHasEeprom);
    // The Memory element stands before its Module: it still belongs to that module and wraps.
    Unit* module1 = keyboard.UnitAt(6);
    ASSERT_NE(module1, nullptr);
    EXPECT_FALSE(module1->bHasVersion);
    EXPECT_EQ(module1->eeprom, (std::vector<std::uint8_t>{0xAA, 0x55, 0x00}));
    EXPECT_EQ(module1->ReadMemory(0xFFFF), 0xAB);
    EXPECT_EQ(module1->ReadMemory(0x0000), 0xCD);
    EXPECT_EQ(keyboard.UnitAt(8), nullptr);

    ASSERT_EQ(keyboard.answers.count(0x3004), 1u);
    EXPECT_EQ(keyboard.answers[0x3004], (std::vector<std::uint8_t>{0x12, 0x34, 0x56}));
    ASSERT_EQ(keyboard.injections.size(), 2u);
    const Injection& first = keyboard.injections[0];
    EXPECT_FALSE(first.bAnyCmd);
    EXPECT_EQ(first.cmd, 0x17);
    EXPECT_FALSE(first.bAnyDst);
    EXPECT_EQ(first.dst, 2);
    EXPECT_EQ(first.skip, 1u);
    EXPECT_FALSE(first.bEndless);
    EXPECT_EQ(first.count, 2u);
    EXPECT_EQ(first.status, 0x119);
    EXPECT_EQ(first.signal, 0);
    const Injection& second = keyboard.injections[1];
    EXPECT_TRUE(second.bAnyCmd);
    EXPECT_TRUE(second.bAnyDst);
    EXPECT_TRUE(second.bEndless);
    EXPECT_EQ(second.skip, 0u);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.signal, 64);
    EXPECT_EQ(second.answer, (std::vector<std::uint8_t>{0x01}));

    EXPECT_NE(simulation.keyboards[2]->UnitAt(2), nullptr);
    EXPECT_EQ(simulation.keyboards[2]->UnitAt(4), nullptr);
}

struct ValidCase {
    const char* name;
    const char* xml;
    int count;
};

TEST(Simulation, AcceptsValidVariants) {
    const ValidCase cases[] = {
        {"empty root", "<KavelSimulation/>", 0},
        {"default library version", "<KavelSimulation><Keyboard/></KavelSimulation>", 1},
        {"count -1", "<KavelSimulation><Count>-1</Count><Keyboard/></KavelSimulation>", -1},
        {"count zero", "<KavelSimulation><Count>0</Count><Keyboard/></KavelSimulation>", 0},
        {"count equal to keyboards",
         "<KavelSimulation><Count>2</Count><Keyboard/><Keyboard/></KavelSimulation>", 2},
        {"comments and blanks everywhere",
         "<!--a--><KavelSimulation> <!--b--> <Keyboard> <Controller> <Version><!--c-->11</Version> "
         "</Controller> </Keyboard> </KavelSimulation><!--d-->",
         1},
        {"empty byte lists",
         "<KavelSimulation><Keyboard><Controller><Version/><Config></Config></Controller>"
         "<Answer Cmd='1' Dst='2'/><Inject/><Memory Unit='2' Address='0'/></Keyboard></KavelSimulation>",
         1},
        {"numbers with blanks and prefixes",
         "<KavelSimulation><Keyboard><Open> 0x0</Open><Module Slot=' 0xF'/>"
         "<Memory Unit='0X22' Address='  ffff'>01</Memory><Inject Cmd='+a' Skip='0' Count='0'/>"
         "</Keyboard></KavelSimulation>",
         1},
        {"status as two's complement pattern",
         "<KavelSimulation><Keyboard><Open>80000000</Open><Inject Status='-80000000'/>"
         "</Keyboard></KavelSimulation>",
         1},
        {"processing instruction and doctype",
         "<?xml version='1.0'?><!DOCTYPE KavelSimulation><?note x?><KavelSimulation/>", 0},
    };
    for (const ValidCase& c : cases) {
        Simulation simulation;
        std::string sError;
        EXPECT_TRUE(simulation.LoadText(c.xml, &sError)) << c.name << ": " << sError;
        EXPECT_EQ(simulation.count, c.count) << c.name;
    }
}

TEST(Simulation, LibraryVersionDefaultsToOneZeroZero) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText("<KavelSimulation/>", &sError)) << sError;
    EXPECT_EQ(simulation.libraryVersion[0], 1);
    EXPECT_EQ(simulation.libraryVersion[1], 0);
    EXPECT_EQ(simulation.libraryVersion[2], 0);
}

struct InvalidCase {
    const char* name;
    const char* xml;
    // A part of the message that says what is wrong.
    const char* what;
};

TEST(Simulation, RejectsEveryBrokenRuleWithAOneLineMessage) {
    const InvalidCase cases[] = {
        {"XML syntax", "<KavelSimulation><Keyboard></KavelSimulation>", "at byte offset"},
        {"no element", "", "No document element found"},
        {"wrong root", "<Simulation/>", "<Simulation>, not <KavelSimulation>"},
        {"second root", "<KavelSimulation/><KavelSimulation/>", "second root"},
        {"attribute of root", "<KavelSimulation Version='1'/>",
         "unknown attribute Version of <KavelSimulation>"},
        {"unknown element in root", "<KavelSimulation><Keyboards/></KavelSimulation>",
         "unknown element <Keyboards> in <KavelSimulation>"},
        {"text in root", "<KavelSimulation>x</KavelSimulation>",
         "unexpected text \"x\" in <KavelSimulation>"},
        {"bad library version", "<KavelSimulation><LibraryVersion>1.4</LibraryVersion></KavelSimulation>",
         "<LibraryVersion>"},
        {"duplicate library version",
         "<KavelSimulation><LibraryVersion>1.0.0</LibraryVersion><LibraryVersion>1.0.0</LibraryVersion>"
         "</KavelSimulation>",
         "duplicate element <LibraryVersion>"},
        {"count above keyboards", "<KavelSimulation><Count>2</Count><Keyboard/></KavelSimulation>",
         "above the number of <Keyboard> elements"},
        {"count as status pattern", "<KavelSimulation><Count>FFFFFFFF</Count><Keyboard/></KavelSimulation>",
         "<Count>"},
        {"count not a number", "<KavelSimulation><Count>one</Count></KavelSimulation>", "<Count>"},
        {"count with trailing blank", "<KavelSimulation><Count>0 </Count></KavelSimulation>", "<Count>"},
        {"attribute of keyboard", "<KavelSimulation><Keyboard Index='0'/></KavelSimulation>",
         "unknown attribute Index of <Keyboard>"},
        {"unknown element in keyboard",
         "<KavelSimulation><Keyboard><Modul Slot='0'/></Keyboard></KavelSimulation>",
         "unknown element <Modul> in <Keyboard>"},
        {"text in keyboard", "<KavelSimulation><Keyboard> 0 </Keyboard></KavelSimulation>",
         "unexpected text \" 0 \" in <Keyboard>"},
        {"bad open status", "<KavelSimulation><Keyboard><Open>x</Open></Keyboard></KavelSimulation>",
         "<Open> is not a status"},
        {"blank open status", "<KavelSimulation><Keyboard><Open> </Open></Keyboard></KavelSimulation>",
         "<Open> is not a status"},
        {"status too large", "<KavelSimulation><Keyboard><Open>100000000</Open></Keyboard></KavelSimulation>",
         "<Open> is not a status"},
        {"duplicate open",
         "<KavelSimulation><Keyboard><Open>0</Open><Open>1</Open></Keyboard></KavelSimulation>",
         "duplicate element <Open>"},
        {"bad enumerate modules status",
         "<KavelSimulation><Keyboard><EnumerateModules>1 2</EnumerateModules></Keyboard></KavelSimulation>",
         "<EnumerateModules> is not a status"},
        {"duplicate controller",
         "<KavelSimulation><Keyboard><Controller/><Controller/></Keyboard></KavelSimulation>",
         "duplicate element <Controller>"},
        {"sub-id in controller",
         "<KavelSimulation><Keyboard><Controller><SubId>01</SubId></Controller></Keyboard></KavelSimulation>",
         "unknown element <SubId> in <Controller>"},
        {"text in controller",
         "<KavelSimulation><Keyboard><Controller>11</Controller></Keyboard></KavelSimulation>",
         "unexpected text \"11\" in <Controller>"},
        {"loose byte list",
         "<KavelSimulation><Keyboard><Controller><Version>11  01</Version></Controller></Keyboard>"
         "</KavelSimulation>",
         "the text of <Version> is not a byte list"},
        {"byte list with surrounding blanks",
         "<KavelSimulation><Keyboard><Controller><Version> 11</Version></Controller></Keyboard>"
         "</KavelSimulation>",
         "the text of <Version> is not a byte list"},
        {"blank byte list",
         "<KavelSimulation><Keyboard><Controller><Config> "
         "</Config></Controller></Keyboard></KavelSimulation>",
         "the text of <Config> is not a byte list"},
        {"split byte list",
         "<KavelSimulation><Keyboard><Controller><Version>11<!--x--> 01</Version></Controller></Keyboard>"
         "</KavelSimulation>",
         "the text of <Version> is split"},
        {"element inside version",
         "<KavelSimulation><Keyboard><Controller><Version><b/></Version></Controller></Keyboard>"
         "</KavelSimulation>",
         "unknown element <b> in <Version>"},
        {"attribute of version",
         "<KavelSimulation><Keyboard><Controller><Version "
         "Unit='2'/></Controller></Keyboard></KavelSimulation>",
         "unknown attribute Unit of <Version>"},
        {"duplicate version",
         "<KavelSimulation><Keyboard><Module "
         "Slot='0'><Version/><Version/></Module></Keyboard></KavelSimulation>",
         "duplicate element <Version>"},
        {"module without slot", "<KavelSimulation><Keyboard><Module/></Keyboard></KavelSimulation>",
         "missing attribute Slot of <Module>"},
        {"slot beyond F", "<KavelSimulation><Keyboard><Module Slot='10'/></Keyboard></KavelSimulation>",
         "Slot of <Module>"},
        {"negative slot", "<KavelSimulation><Keyboard><Module Slot='-1'/></Keyboard></KavelSimulation>",
         "Slot of <Module>"},
        {"duplicate slot",
         "<KavelSimulation><Keyboard><Module Slot='3'/><Module Slot='0x3'/></Keyboard></KavelSimulation>",
         "duplicate <Module> Slot 0x3"},
        {"config in module",
         "<KavelSimulation><Keyboard><Module Slot='0'><Config/></Module></Keyboard></KavelSimulation>",
         "unknown element <Config> in <Module>"},
        {"unknown attribute of module",
         "<KavelSimulation><Keyboard><Module Slot='0' Id='1'/></Keyboard></KavelSimulation>",
         "unknown attribute Id of <Module>"},
        {"memory of an absent module",
         "<KavelSimulation><Keyboard><Module Slot='0'/><Memory Unit='6' Address='0'>01</Memory></Keyboard>"
         "</KavelSimulation>",
         "Unit of <Memory> is neither the controller (2) nor a module"},
        {"memory of an odd unit",
         "<KavelSimulation><Keyboard><Memory Unit='3' Address='0'>01</Memory></Keyboard></KavelSimulation>",
         "Unit of <Memory> is neither"},
        {"memory without unit",
         "<KavelSimulation><Keyboard><Memory Address='0'>01</Memory></Keyboard></KavelSimulation>",
         "missing attribute Unit of <Memory>"},
        {"memory without address",
         "<KavelSimulation><Keyboard><Memory Unit='2'>01</Memory></Keyboard></KavelSimulation>",
         "missing attribute Address of <Memory>"},
        {"memory address beyond FFFF",
         "<KavelSimulation><Keyboard><Memory Unit='2' "
         "Address='10000'>01</Memory></Keyboard></KavelSimulation>",
         "Address of <Memory>"},
        {"memory bad bytes",
         "<KavelSimulation><Keyboard><Memory Unit='2' Address='0'>1 2</Memory></Keyboard></KavelSimulation>",
         "the text of <Memory> is not a byte list"},
        {"answer without cmd", "<KavelSimulation><Keyboard><Answer Dst='2'/></Keyboard></KavelSimulation>",
         "missing attribute Cmd of <Answer>"},
        {"answer without dst", "<KavelSimulation><Keyboard><Answer Cmd='30'/></Keyboard></KavelSimulation>",
         "missing attribute Dst of <Answer>"},
        {"answer cmd beyond FF",
         "<KavelSimulation><Keyboard><Answer Cmd='100' Dst='2'/></Keyboard></KavelSimulation>",
         "Cmd of <Answer>"},
        {"answer bad bytes",
         "<KavelSimulation><Keyboard><Answer Cmd='30' Dst='2'>123</Answer></Keyboard></KavelSimulation>",
         "the text of <Answer> is not a byte list"},
        {"inject unknown attribute",
         "<KavelSimulation><Keyboard><Inject Times='1'/></Keyboard></KavelSimulation>",
         "unknown attribute Times of <Inject>"},
        {"inject duplicate attribute",
         "<KavelSimulation><Keyboard><Inject Cmd='1' Cmd='2'/></Keyboard></KavelSimulation>",
         "duplicate attribute Cmd of <Inject>"},
        {"inject negative skip",
         "<KavelSimulation><Keyboard><Inject Skip='-1'/></Keyboard></KavelSimulation>", "Skip of <Inject>"},
        {"inject bad count", "<KavelSimulation><Keyboard><Inject Count='x'/></Keyboard></KavelSimulation>",
         "Count of <Inject>"},
        {"inject empty dst", "<KavelSimulation><Keyboard><Inject Dst=''/></Keyboard></KavelSimulation>",
         "Dst of <Inject>"},
        {"inject bad status",
         "<KavelSimulation><Keyboard><Inject Status='1FFFFFFFF'/></Keyboard></KavelSimulation>",
         "Status of <Inject> is not a status"},
        {"inject signal zero", "<KavelSimulation><Keyboard><Inject Signal='0'/></Keyboard></KavelSimulation>",
         "Signal of <Inject> is not a hexadecimal number 1..40"},
        {"inject signal beyond 40",
         "<KavelSimulation><Keyboard><Inject Signal='41'/></Keyboard></KavelSimulation>",
         "Signal of <Inject>"},
        {"inject bad bytes", "<KavelSimulation><Keyboard><Inject>AA,BB</Inject></Keyboard></KavelSimulation>",
         "the text of <Inject> is not a byte list"},
        {"keyboard after a batch", "<KavelSimulation><Batch><Keyboard/></Batch><Keyboard/></KavelSimulation>",
         "<Keyboard> outside a <Batch>: either every keyboard stands in a batch or none does at byte offset "
         "44"},
        {"batch after a keyboard", "<KavelSimulation><Keyboard/><Batch><Keyboard/></Batch></KavelSimulation>",
         "<Batch> beside a <Keyboard> outside batches"},
        {"count beside batches",
         "<KavelSimulation><Batch><Keyboard/></Batch><Count>1</Count></KavelSimulation>",
         "<Count> beside <Batch>"},
        {"count before batches",
         "<KavelSimulation><Count>1</Count><Batch><Keyboard/></Batch></KavelSimulation>",
         "<Batch> beside <Count>"},
        {"plug delay outside a batch", "<KavelSimulation><Keyboard PlugAfter='0'/></KavelSimulation>",
         "PlugAfter of <Keyboard> outside a <Batch>"},
        {"batch without keyboards", "<KavelSimulation><Batch> </Batch></KavelSimulation>",
         "<Batch> holds no <Keyboard>"},
        {"other element in a batch", "<KavelSimulation><Batch><Batch/></Batch></KavelSimulation>",
         "unknown element <Batch> in <Batch>"},
        {"unknown attribute of a batch",
         "<KavelSimulation><Batch Unplug='0'><Keyboard/></Batch></KavelSimulation>",
         "unknown attribute Unplug of <Batch>"},
        {"decimal delay", "<KavelSimulation><Batch PlugAfter='300ms'><Keyboard/></Batch></KavelSimulation>",
         "PlugAfter of <Batch> is not a hexadecimal number 0..7FFFFFFFFFFFFFFF: \"300ms\""},
        {"negative delay", "<KavelSimulation><Batch UnplugAfter='-1'><Keyboard/></Batch></KavelSimulation>",
         "UnplugAfter of <Batch>"},
        {"malformed keyboard delay",
         "<KavelSimulation><Batch><Keyboard PlugAfter='12C '/></Batch></KavelSimulation>",
         "PlugAfter of <Keyboard>"},
        {"control characters stay on one line",
         "<KavelSimulation><Keyboard><Open>1&#10;</Open></Keyboard></KavelSimulation>", "\"1\\x0A\""},
    };
    for (const InvalidCase& c : cases) {
        Simulation simulation;
        std::string sError;
        EXPECT_FALSE(simulation.LoadText(c.xml, &sError)) << c.name;
        EXPECT_NE(sError.find(c.what), std::string::npos) << c.name << ": " << sError;
        EXPECT_EQ(sError.find('\n'), std::string::npos) << c.name << ": " << sError;
    }
}

TEST(Simulation, RuleBreakMessageGivesTheByteOffsetOfTheElement) {
    const std::string sXml = "<KavelSimulation><Keyboard><Bad/></Keyboard></KavelSimulation>";
    Simulation simulation;
    std::string sError;
    ASSERT_FALSE(simulation.LoadText(sXml, &sError));
    // pugixml counts the offset of an element from its name, just after '<'.
    EXPECT_NE(sError.find("at byte offset " + std::to_string(sXml.find("Bad"))), std::string::npos) << sError;
}

TEST(Simulation, SyntaxErrorMessageGivesPugixmlDescriptionAndOffset) {
    Simulation simulation;
    std::string sError;
    ASSERT_FALSE(simulation.LoadText("<KavelSimulation><Keyboard></KavelSimulation>", &sError));
    pugi::xml_document document;
    pugi::xml_parse_result result = document.load_string("<KavelSimulation><Keyboard></KavelSimulation>");
    EXPECT_EQ(sError, std::string(result.description()) + " at byte offset " + std::to_string(result.offset));
}

TEST(Simulation, MissingFileIsInvalid) {
    Simulation simulation;
    std::string sError;
    EXPECT_FALSE(simulation.LoadFile("/nonexistent/vk-simulation.xml", &sError));
    EXPECT_EQ(sError, "File was not found");
    sError.clear();
    EXPECT_FALSE(simulation.LoadFile("/tmp", &sError));
    EXPECT_EQ(sError, "Is a folder, not a simulation file");
}

// Every byte of every unit, with whether it was ever set.
std::vector<int> MemoryImage(Simulation& simulation) {
    std::vector<int> image;
    for (const std::unique_ptr<Keyboard>& keyboard : simulation.keyboards) {
        for (const std::unique_ptr<Unit>& unit : keyboard->units) {
            if (!unit) {
                image.push_back(-1);
                continue;
            }
            for (std::size_t a = 0; a < MEMORY_SIZE; ++a) {
                bool bSet = unit->memory && unit->memory->IsSet(static_cast<std::uint16_t>(a));
                image.push_back(bSet ? 0x100 | unit->ReadMemory(static_cast<std::uint16_t>(a)) : 0);
            }
        }
    }
    return image;
}

const char* const txtSaveSimulation = R"(<KavelSimulation>
  <Keyboard>
    <!-- kept -->
    <Memory Unit="4" Address="20">01 02 03</Memory>
    <Module Slot="0"><Version>66 02 00 4F</Version></Module>
    <Module Slot="2"/>
    <Memory Unit="2" Address="10">00 40</Memory>
    <Answer Cmd="30" Dst="4">12 34</Answer>
    <Inject Cmd="17" Skip="5" Status="119"/>
  </Keyboard>
  <Keyboard><Open>5</Open></Keyboard>
</KavelSimulation>
)";

TEST(Simulation, SaveRewritesMemoryAsRunsAndKeepsEverythingElse) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText(txtSaveSimulation, &sError)) << sError;
    Keyboard& keyboard = *simulation.keyboards[0];
    const std::uint8_t arWrap[] = {0xE1, 0xE2, 0xE3, 0xE4};
    keyboard.UnitAt(2)->WriteMemory(0xFFFE, arWrap, 4);
    const std::uint8_t arJoin[] = {0xAA};
    keyboard.UnitAt(2)->WriteMemory(0x12, arJoin, 1);
    const std::uint8_t arModule[] = {0x0F};
    keyboard.UnitAt(8)->WriteMemory(0x0, arModule, 1);

    std::string sSaved = simulation.SaveText();
    pugi::xml_document saved;
    ASSERT_TRUE(saved.load_string(sSaved.c_str(), pugi::parse_default | pugi::parse_comments)) << sSaved;
    pugi::xml_node first = saved.child("KavelSimulation").child("Keyboard");
    std::vector<std::string> memories;
    for (pugi::xml_node memory : first.children("Memory")) {
        memories.push_back(std::string(memory.attribute("Unit").value()) + "@" +
                           memory.attribute("Address").value() + "=" + memory.child_value());
    }
    const std::vector<std::string> expected = {
        "2@0=E3 E4", "2@10=00 40 AA", "2@FFFE=E1 E2", "4@20=01 02 03", "8@0=0F",
    };
    EXPECT_EQ(memories, expected) << sSaved;
    // The Memory elements come last in their keyboard.
    EXPECT_STREQ(first.last_child().name(), "Memory");
    EXPECT_STREQ(first.child("Inject").next_sibling().name(), "Memory");
    EXPECT_STREQ(first.child("Inject").attribute("Skip").value(), "5");
    EXPECT_STREQ(first.child("Answer").child_value(), "12 34");
    EXPECT_EQ(first.first_child().type(), pugi::node_comment);
    EXPECT_STREQ(first.next_sibling("Keyboard").child_value("Open"), "5");
    EXPECT_FALSE(first.next_sibling("Keyboard").child("Memory"));
}

TEST(Simulation, SavedFileLoadsAgainWithTheSameMemory) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText(txtSaveSimulation, &sError)) << sError;
    Keyboard& keyboard = *simulation.keyboards[0];
    std::vector<std::uint8_t> block(300);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    keyboard.UnitAt(2)->WriteMemory(0xFF80, block.data(), block.size());
    keyboard.UnitAt(4)->WriteMemory(0x8000, block.data(), 1);

    std::string sPath = ::testing::TempDir() + "vk-save-roundtrip.xml";
    ASSERT_TRUE(simulation.Save(sPath));
    Simulation again;
    ASSERT_TRUE(again.LoadFile(sPath, &sError)) << sError;
    EXPECT_EQ(MemoryImage(again), MemoryImage(simulation));
    EXPECT_EQ(again.keyboards[0]->answers, simulation.keyboards[0]->answers);
    EXPECT_EQ(again.keyboards[1]->openStatus, 5);

    // Saving the reloaded simulation gives the same document again.
    EXPECT_EQ(again.SaveText(), simulation.SaveText());
    std::remove(sPath.c_str());
}

TEST(Simulation, SaveToAnUnwritablePathFails) {
    Simulation simulation;
    std::string sError;
    ASSERT_TRUE(simulation.LoadText("<KavelSimulation/>", &sError)) << sError;
    EXPECT_FALSE(simulation.Save("/nonexistent-directory/vk-save.xml"));
}

} // namespace
