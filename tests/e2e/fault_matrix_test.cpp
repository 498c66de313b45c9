// The fault matrix: every message the program sends fails once on the first of two keyboards, and
// the run must record the failure where it happened, stop or go on as the message's rules say, and
// still write the second keyboard. One script with every element kind serves every row; a row only
// changes the Inject elements of keyboard 0 and what is expected.
#include "run_binary.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <sstream>

namespace {

// A controller with a type 66 module reporting its sub-id in a fifth version byte (slot 0, bus
// address 04), an RM52 module that needs the FF query (slot 1, 06) and a VELUM module whose sub-id
// is in its EEPROM block (slot 2, 08). Every element kind follows the Device element.
const char* kScript = R"(<XML_BIN_FILE>
  <Device>
    <Controller><Module Id="11"><Version>01.02.03</Version></Module></Controller>
    <Module0><Module Id="6612"><Version>02.01.ce</Version></Module></Module0>
    <Module1><Module Id="6621"><Version>02.00.4f</Version></Module></Module1>
    <Module2><Module Id="C5"><Version>01.02.05.01</Version></Module></Module2>
    <Module3><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module3>
    <Module4><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module4>
    <Module5><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module5>
    <Module6><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module6>
    <Module7><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module7>
    <Module8><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module8>
    <Module9><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module9>
    <Module10><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module10>
    <Module11><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module11>
    <Module12><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module12>
    <Module13><Module Id="xx"><Version>xx.xx.xx</Version></Module></Module13>
  </Device>
  <Command><DST>0</DST><CMD>40</CMD><Data>01 02</Data></Command>
  <IntEep>
    <PtrAddress>1000</PtrAddress>
    <Data Offset="10">01 02 03</Data>
    <Data Offset="20">04 05</Data>
  </IntEep>
  <IntEep_CommandPtr>
    <PtrDST>F</PtrDST>
    <PtrCMD>30</PtrCMD>
    <PtrData>01</PtrData>
    <AnswerByteAddressLow>1</AnswerByteAddressLow>
    <AnswerByteAddressHigh>2</AnswerByteAddressHigh>
    <Data Offset="0">0A 0B</Data>
    <Data Offset="8">0C</Data>
  </IntEep_CommandPtr>
  <BinMemory>
    <DST>8</DST>
    <CMD>5A</CMD>
    <Data Address="2000">11 22</Data>
    <Data Address="3000">33</Data>
  </BinMemory>
</XML_BIN_FILE>
)";

// One keyboard that suits the script; {inject} stands for the Inject elements of a row.
const char* kKeyboard = R"(  <Keyboard>
    <Controller><Version>11 01 02 03 00</Version><Config>66 66 C5</Config></Controller>
    <Module Slot="0"><Version>66 02 01 CE 12</Version></Module>
    <Module Slot="1"><Version>66 02 00 4F</Version><SubId>06 21</SubId></Module>
    <Module Slot="2">
      <Version>C5 01 02 05 01</Version>
      <Eeprom>AA 55 00 00 00 00 00 2B 00 00 00 00 00 00 00 00 00 00</Eeprom>
    </Module>
    <Memory Unit="2" Address="1000">00 40</Memory>
    <Answer Cmd="30" Dst="2">07 00 41</Answer>
{inject}  </Keyboard>
)";

// Without a fault keyboard 0 sends these 17 messages; the rows count against this list.
//  1 F7 02  controller version             10 17 02  IntEep block 1 (40 10)
//  2 11 02  configuration                  11 17 02  IntEep block 2 (40 20)
//  3 F7 04  module 0 version               12 30 02  IntEep_CommandPtr pointer command
//  4 F7 06  module 1 version               13 17 02  IntEep_CommandPtr block 1 (41 00)
//  5 FF 06  module 1 sub-id query          14 17 02  IntEep_CommandPtr block 2 (41 08)
//  6 F7 08  module 2 version               15 5A 08  BinMemory block 1 (20 00)
//  7 F9 08  module 2 sub-id block          16 5A 08  BinMemory block 2 (30 00)
//  8 40 04  Command                        17 F1 02  reset
//  9 16 02  IntEep pointer read
const int MESSAGES_ALL = 17;

const char* kCommunicationError = " ERROR: Device communication error";
const char* kWriteError = " ERROR: Device write error";
const char* kNotSuitable = " Device not suitable - nothing changed.";
const char* kDone = " Done.";

const int EXIT_OK = 0;
const int EXIT_COMMUNICATION = 164;
const int EXIT_COMPATIBILITY = 165;
const int EXIT_WRITE = 166;

// The Info of an empty or unread slot.
const char* kInfoNothing = "IdConfig=0 Id=0 IdSub=0 Id66=0 Ver=0.0.0.0";
// The VELUM module when its sub-id block could not be used: the sub-id stays 0.
const char* kInfoVelumNoSubId = "IdConfig=c5 Id=c5 IdSub=0 Id66=0 Ver=1.2.5.1";

struct FaultRow {
    const char* name;       // the test's name: what fails and what follows
    const char* inject;     // the Inject elements of keyboard 0
    const char* node;       // path of the node that records the outcome (see FindNode)
    const char* annotation; // its run annotation of keyboard 0; "" for none
    const char* info;       // its Info attribute, "" when it must have none; nullptr: not checked
    const char* text;       // its text, "" when it must have none; nullptr: not checked
    const char* otherNode;  // a second node whose annotation shows what else happened, or nullptr
    const char* otherAnnotation;
    const char* console;     // the outcome line of keyboard 0
    int exitStatus;          // the run's exit status: keyboard 0 is the last keyboard that failed
    int nSent;               // messages keyboard 0 receives
    const char* lastMessage; // the last of them in the trace, up to its status
};

const FaultRow kRows[] = {
    // Controller version, F7 to 02: any failure is a communication error (library status kept,
    // a short answer reads -1); no message is repeated.
    {"ControllerVersionStatusIsCommunicationError", "<Inject Cmd=\"F7\" Dst=\"2\" Status=\"3\"/>",
     "Device/DetectedDevice/Controller", "ERROR=3", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 1, "cmd=F7 dst=02 data=[] -> 3"},
    {"ControllerVersionShortAnswerIsMinusOne", "<Inject Cmd=\"F7\" Dst=\"2\">11 01 02</Inject>",
     "Device/DetectedDevice/Controller", "ERROR=ffffffff", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 1, "cmd=F7 dst=02 data=[] -> 0"},
    {"ControllerVersionEmptyAnswerIsMinusOne", "<Inject Cmd=\"F7\" Dst=\"2\"/>",
     "Device/DetectedDevice/Controller", "ERROR=ffffffff", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 1, "cmd=F7 dst=02 data=[] -> 0"},
    {"ControllerVersionBusyIsNotRepeated", "<Inject Cmd=\"F7\" Dst=\"2\" Status=\"119\"/>",
     "Device/DetectedDevice/Controller", "ERROR=119", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 1, "cmd=F7 dst=02 data=[] -> 119"},

    // Configuration, 11 to 02: a failed message is a communication error; a short table is no
    // error, the slots it does not reach count as empty and no longer suit the script.
    {"ConfigurationStatusIsCommunicationError", "<Inject Cmd=\"11\" Dst=\"2\" Status=\"102\"/>",
     "Device/DetectedDevice/Controller", "ERROR=102", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 2, "cmd=11 dst=02 data=[] -> 102"},
    {"ConfigurationEmptyAnswerLeavesSlotZeroUnsuitable", "<Inject Cmd=\"11\" Dst=\"2\"/>",
     "Device/DetectedDevice/Module0", "", kInfoNothing, "Not ok", nullptr, nullptr, kNotSuitable,
     EXIT_COMPATIBILITY, 2, "cmd=11 dst=02 data=[] -> 0"},
    {"ConfigurationShortAnswerLeavesSlotTwoUnreadAndUnsuitable",
     "<Inject Cmd=\"11\" Dst=\"2\">66 66</Inject>", "Device/DetectedDevice/Module2", "", kInfoNothing,
     "Not ok", nullptr, nullptr, kNotSuitable, EXIT_COMPATIBILITY, 5, "cmd=FF dst=06 data=[] -> 0"},

    // Module version, F7 to a module: a failed message reads 1, a short answer 2.
    {"Module0VersionStatusIsErrorOne", "<Inject Cmd=\"F7\" Dst=\"4\" Status=\"102\"/>",
     "Device/DetectedDevice/Module0", "ERROR=1", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 3, "cmd=F7 dst=04 data=[] -> 102"},
    {"Module0VersionShortAnswerIsErrorTwo", "<Inject Cmd=\"F7\" Dst=\"4\">66 02 01</Inject>",
     "Device/DetectedDevice/Module0", "ERROR=2", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 3, "cmd=F7 dst=04 data=[] -> 0"},
    {"Module0VersionEmptyAnswerIsErrorTwo", "<Inject Cmd=\"F7\" Dst=\"4\"/>", "Device/DetectedDevice/Module0",
     "ERROR=2", "", "", nullptr, nullptr, kCommunicationError, EXIT_COMMUNICATION, 3,
     "cmd=F7 dst=04 data=[] -> 0"},
    {"Module1VersionStatusIsErrorOne", "<Inject Cmd=\"F7\" Dst=\"6\" Status=\"3\"/>",
     "Device/DetectedDevice/Module1", "ERROR=1", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 4, "cmd=F7 dst=06 data=[] -> 3"},
    {"Module1VersionShortAnswerIsErrorTwo", "<Inject Cmd=\"F7\" Dst=\"6\">66 02</Inject>",
     "Device/DetectedDevice/Module1", "ERROR=2", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 4, "cmd=F7 dst=06 data=[] -> 0"},
    {"Module2VersionStatusIsErrorOne", "<Inject Cmd=\"F7\" Dst=\"8\" Status=\"3\"/>",
     "Device/DetectedDevice/Module2", "ERROR=1", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 6, "cmd=F7 dst=08 data=[] -> 3"},
    {"Module2VersionEmptyAnswerIsErrorTwo", "<Inject Cmd=\"F7\" Dst=\"8\"/>", "Device/DetectedDevice/Module2",
     "ERROR=2", "", "", nullptr, nullptr, kCommunicationError, EXIT_COMMUNICATION, 6,
     "cmd=F7 dst=08 data=[] -> 0"},

    // RM52 sub-id query, FF to 06: only a two-byte answer naming the module's own address counts.
    {"SubIdQueryStatusIsErrorThree", "<Inject Cmd=\"FF\" Dst=\"6\" Status=\"102\"/>",
     "Device/DetectedDevice/Module1", "ERROR=3", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 5, "cmd=FF dst=06 data=[] -> 102"},
    {"SubIdQueryEmptyAnswerIsErrorThree", "<Inject Cmd=\"FF\" Dst=\"6\"/>", "Device/DetectedDevice/Module1",
     "ERROR=3", "", "", nullptr, nullptr, kCommunicationError, EXIT_COMMUNICATION, 5,
     "cmd=FF dst=06 data=[] -> 0"},
    {"SubIdQueryOneByteAnswerIsErrorThree", "<Inject Cmd=\"FF\" Dst=\"6\">06</Inject>",
     "Device/DetectedDevice/Module1", "ERROR=3", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 5, "cmd=FF dst=06 data=[] -> 0"},
    {"SubIdQueryThreeByteAnswerIsErrorThree", "<Inject Cmd=\"FF\" Dst=\"6\">06 21 00</Inject>",
     "Device/DetectedDevice/Module1", "ERROR=3", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 5, "cmd=FF dst=06 data=[] -> 0"},
    {"SubIdQueryAnswerFromOtherAddressIsErrorThree", "<Inject Cmd=\"FF\" Dst=\"6\">04 21</Inject>",
     "Device/DetectedDevice/Module1", "ERROR=3", "", "", nullptr, nullptr, kCommunicationError,
     EXIT_COMMUNICATION, 5, "cmd=FF dst=06 data=[] -> 0"},

    // VELUM sub-id block, F9 to 08: an unusable block is no error; the sub-id stays 0 and the
    // keyboard is written to the end.
    {"VelumSubIdBlockStatusIsNoError", "<Inject Cmd=\"F9\" Dst=\"8\" Status=\"102\"/>",
     "Device/DetectedDevice/Module2", "", kInfoVelumNoSubId, "Ok", "BinMemory/Data[2]", "result=0", kDone,
     EXIT_OK, MESSAGES_ALL, "cmd=F1 dst=02 data=[] -> 0"},
    {"VelumSubIdBlockOfSeventeenBytesIsNoError",
     "<Inject Cmd=\"F9\" Dst=\"8\">AA 55 00 00 00 00 00 2B 00 00 00 00 00 00 00 00 00</Inject>",
     "Device/DetectedDevice/Module2", "", kInfoVelumNoSubId, "Ok", "BinMemory/Data[2]", "result=0", kDone,
     EXIT_OK, MESSAGES_ALL, "cmd=F1 dst=02 data=[] -> 0"},
    {"VelumSubIdBlockEmptyIsNoError", "<Inject Cmd=\"F9\" Dst=\"8\"/>", "Device/DetectedDevice/Module2", "",
     kInfoVelumNoSubId, "Ok", "BinMemory/Data[2]", "result=0", kDone, EXIT_OK, MESSAGES_ALL,
     "cmd=F1 dst=02 data=[] -> 0"},
    {"VelumSubIdBlockWithoutSignatureIsNoError",
     "<Inject Cmd=\"F9\" Dst=\"8\">55 AA 00 00 00 00 00 2B 00 00 00 00 00 00 00 00 00 00</Inject>",
     "Device/DetectedDevice/Module2", "", kInfoVelumNoSubId, "Ok", "BinMemory/Data[2]", "result=0", kDone,
     EXIT_OK, MESSAGES_ALL, "cmd=F1 dst=02 data=[] -> 0"},

    // Command, 40 to 04: repeated only while busy, at most 30 times.
    {"CommandStatusIsWriteError", "<Inject Cmd=\"40\" Dst=\"4\" Status=\"3\"/>", "Command", "ERROR=3",
     nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 8, "cmd=40 dst=04 data=[01 02] -> 3"},
    {"CommandNegativeStatusIsWrittenAsTwosComplement", "<Inject Cmd=\"40\" Dst=\"4\" Status=\"-5\"/>",
     "Command", "ERROR=fffffffb", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 8,
     "cmd=40 dst=04 data=[01 02] -> fffffffb"},
    {"CommandBusyThirtyTimesIsErrorBusy", "<Inject Cmd=\"40\" Dst=\"4\" Status=\"119\"/>", "Command",
     "ERROR=119", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 7 + 30,
     "cmd=40 dst=04 data=[01 02] -> 119"},
    {"CommandBusyTwentyNineTimesSucceedsOnTheLastAttempt",
     "<Inject Cmd=\"40\" Dst=\"4\" Count=\"1D\" Status=\"119\"/>", "Command", "result=0", nullptr, nullptr,
     "BinMemory/Data[2]", "result=0", kDone, EXIT_OK, MESSAGES_ALL + 29, "cmd=F1 dst=02 data=[] -> 0"},
    {"CommandBusyTwiceSucceedsOnTheThirdAttempt", "<Inject Cmd=\"40\" Dst=\"4\" Count=\"2\" Status=\"119\"/>",
     "Command", "result=0", nullptr, nullptr, "IntEep", "result=0", kDone, EXIT_OK, MESSAGES_ALL + 2,
     "cmd=F1 dst=02 data=[] -> 0"},
    {"CommandBusyTwiceThenStatusIsThatStatus",
     "<Inject Cmd=\"40\" Dst=\"4\" Count=\"2\" Status=\"119\"/>"
     "<Inject Cmd=\"40\" Dst=\"4\" Skip=\"2\" Count=\"1\" Status=\"3\"/>",
     "Command", "ERROR=3", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 7 + 3,
     "cmd=40 dst=04 data=[01 02] -> 3"},

    // IntEep pointer read, 16 to 02: a failed read or fewer than two bytes end the element.
    {"IntEepPointerReadStatusIsWriteError", "<Inject Cmd=\"16\" Dst=\"2\" Status=\"102\"/>", "IntEep",
     "ERROR=102", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 9,
     "cmd=16 dst=02 data=[00 10 02] -> 102"},
    {"IntEepPointerReadOneByteIsErrorZero", "<Inject Cmd=\"16\" Dst=\"2\">00</Inject>", "IntEep", "ERROR=0",
     nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 9, "cmd=16 dst=02 data=[00 10 02] -> 0"},
    {"IntEepPointerReadEmptyIsErrorZero", "<Inject Cmd=\"16\" Dst=\"2\"/>", "IntEep", "ERROR=0", nullptr,
     nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 9, "cmd=16 dst=02 data=[00 10 02] -> 0"},
    {"IntEepPointerReadBusyIsNotRepeated", "<Inject Cmd=\"16\" Dst=\"2\" Status=\"119\"/>", "IntEep",
     "ERROR=119", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 9,
     "cmd=16 dst=02 data=[00 10 02] -> 119"},
    {"IntEepPointerZeroSkipsItsBlocks", "<Inject Cmd=\"16\" Dst=\"2\">00 00</Inject>", "IntEep/Data[1]",
     "skipped", nullptr, nullptr, "IntEep", "result=0", kDone, EXIT_OK, MESSAGES_ALL - 2,
     "cmd=F1 dst=02 data=[] -> 0"},
    {"KeyboardStoppingToAnswerEndsAtIntEepPointerRead", "<Inject Skip=\"8\" Status=\"102\"/>", "IntEep",
     "ERROR=102", nullptr, nullptr, "Command", "result=0", kWriteError, EXIT_WRITE, 9,
     "cmd=16 dst=02 data=[00 10 02] -> 102"},

    // IntEep block writes, 17 to 02: a failed block ends the element and the pass.
    {"IntEepFirstBlockStatusIsWriteError", "<Inject Cmd=\"17\" Dst=\"2\" Count=\"1\" Status=\"3\"/>",
     "IntEep/Data[1]", "ERROR=3", nullptr, nullptr, "IntEep", "result=0", kWriteError, EXIT_WRITE, 10,
     "cmd=17 dst=02 data=[10 40 01 02 03] -> 3"},
    {"IntEepSecondBlockStatusIsWriteError",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"1\" Count=\"1\" Status=\"-5\"/>", "IntEep/Data[2]",
     "ERROR=fffffffb", nullptr, nullptr, "IntEep/Data[1]", "result=0", kWriteError, EXIT_WRITE, 11,
     "cmd=17 dst=02 data=[20 40 04 05] -> fffffffb"},
    {"IntEepBlockBusyIsNotRepeated", "<Inject Cmd=\"17\" Dst=\"2\" Count=\"1\" Status=\"119\"/>",
     "IntEep/Data[1]", "ERROR=119", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 10,
     "cmd=17 dst=02 data=[10 40 01 02 03] -> 119"},

    // IntEep_CommandPtr pointer command, 30 to 02: the answer must reach both address indices;
    // the annotation carries the answer length.
    {"CommandPtrPointerStatusIsWriteError", "<Inject Cmd=\"30\" Dst=\"2\" Status=\"102\"/>",
     "IntEep_CommandPtr", "ERROR=102;responselen=0", nullptr, nullptr, nullptr, nullptr, kWriteError,
     EXIT_WRITE, 12, "cmd=30 dst=02 data=[01] -> 102"},
    {"CommandPtrPointerStatusWithFullAnswerIsWriteError",
     "<Inject Cmd=\"30\" Dst=\"2\" Status=\"3\">07 00 41</Inject>", "IntEep_CommandPtr",
     "ERROR=3;responselen=3", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 12,
     "cmd=30 dst=02 data=[01] -> 3"},
    {"CommandPtrPointerAnswerShortOfHighIndexIsErrorZero", "<Inject Cmd=\"30\" Dst=\"2\">07 00</Inject>",
     "IntEep_CommandPtr", "ERROR=0;responselen=2", nullptr, nullptr, nullptr, nullptr, kWriteError,
     EXIT_WRITE, 12, "cmd=30 dst=02 data=[01] -> 0"},
    {"CommandPtrPointerEmptyAnswerIsErrorZero", "<Inject Cmd=\"30\" Dst=\"2\"/>", "IntEep_CommandPtr",
     "ERROR=0;responselen=0", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 12,
     "cmd=30 dst=02 data=[01] -> 0"},
    {"CommandPtrPointerBusyIsNotRepeated", "<Inject Cmd=\"30\" Dst=\"2\" Status=\"119\"/>",
     "IntEep_CommandPtr", "ERROR=119;responselen=0", nullptr, nullptr, nullptr, nullptr, kWriteError,
     EXIT_WRITE, 12, "cmd=30 dst=02 data=[01] -> 119"},

    // IntEep_CommandPtr block writes, the third and fourth 17 to 02: a failed block is recorded,
    // the element's other block is still written, and then the pass ends without a reset.
    {"CommandPtrFirstBlockFailureWritesTheSecondThenEndsThePass",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"2\" Count=\"1\" Status=\"3\"/>", "IntEep_CommandPtr/Data[2]",
     "result=0", nullptr, nullptr, "IntEep_CommandPtr/Data[1]", "ERROR=3", kWriteError, EXIT_WRITE, 14,
     "cmd=17 dst=02 data=[08 41 0C] -> 0"},
    {"CommandPtrSecondBlockFailureEndsThePass",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"3\" Count=\"1\" Status=\"-5\"/>", "IntEep_CommandPtr/Data[2]",
     "ERROR=fffffffb", nullptr, nullptr, "IntEep_CommandPtr/Data[1]", "result=0", kWriteError, EXIT_WRITE, 14,
     "cmd=17 dst=02 data=[08 41 0C] -> fffffffb"},

    // BinMemory blocks, type 5A to 08 as the script gives them: a failed block ends the pass.
    {"BinMemoryFirstBlockStatusIsWriteError", "<Inject Cmd=\"5A\" Dst=\"8\" Count=\"1\" Status=\"3\"/>",
     "BinMemory/Data[1]", "ERROR=3", nullptr, nullptr, "IntEep_CommandPtr/Data[2]", "result=0", kWriteError,
     EXIT_WRITE, 15, "cmd=5A dst=08 data=[00 20 11 22] -> 3"},
    {"BinMemorySecondBlockStatusIsWriteError",
     "<Inject Cmd=\"5A\" Dst=\"8\" Skip=\"1\" Count=\"1\" Status=\"102\"/>", "BinMemory/Data[2]", "ERROR=102",
     nullptr, nullptr, "BinMemory/Data[1]", "result=0", kWriteError, EXIT_WRITE, 16,
     "cmd=5A dst=08 data=[00 30 33] -> 102"},
    {"BinMemoryBlockBusyIsNotRepeated", "<Inject Cmd=\"5A\" Dst=\"8\" Count=\"1\" Status=\"119\"/>",
     "BinMemory/Data[1]", "ERROR=119", nullptr, nullptr, nullptr, nullptr, kWriteError, EXIT_WRITE, 15,
     "cmd=5A dst=08 data=[00 20 11 22] -> 119"},

    // Reset, F1 to 02: its status is ignored.
    {"ResetStatusIsIgnored", "<Inject Cmd=\"F1\" Dst=\"2\" Status=\"3\"/>", "BinMemory/Data[2]", "result=0",
     nullptr, nullptr, "Command", "result=0", kDone, EXIT_OK, MESSAGES_ALL, "cmd=F1 dst=02 data=[] -> 3"},
};

// Names a row in the test output instead of dumping its bytes.
void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.name;
}

// What keyboard 1, which nothing disturbs, must leave in the log.
struct NodeExpectation {
    const char* node;
    const char* annotation;
    const char* info;
    const char* text;
};

const NodeExpectation kUndisturbed[] = {
    {"Device/DetectedDevice/Controller", "", "Id=11 Ver=1.2.3.0", "Ok"},
    {"Device/DetectedDevice/Module0", "", "IdConfig=66 Id=66 IdSub=0 Id66=12 Ver=2.1.ce.0", "Ok"},
    {"Device/DetectedDevice/Module1", "", "IdConfig=66 Id=66 IdSub=0 Id66=6621 Ver=2.0.4f.0", "Ok"},
    {"Device/DetectedDevice/Module2", "", "IdConfig=c5 Id=c5 IdSub=2b Id66=0 Ver=1.2.5.1", "Ok"},
    {"Device/DetectedDevice/Module13", "", kInfoNothing, "Ok"},
    {"Command", "result=0", nullptr, nullptr},
    {"IntEep", "result=0", nullptr, nullptr},
    {"IntEep/Data[1]", "result=0", nullptr, nullptr},
    {"IntEep/Data[2]", "result=0", nullptr, nullptr},
    {"IntEep_CommandPtr", "result=0;responselen=3", nullptr, nullptr},
    {"IntEep_CommandPtr/Data[1]", "result=0", nullptr, nullptr},
    {"IntEep_CommandPtr/Data[2]", "result=0", nullptr, nullptr},
    {"BinMemory/Data[1]", "result=0", nullptr, nullptr},
    {"BinMemory/Data[2]", "result=0", nullptr, nullptr},
};

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// The node at path below the root: steps separated by "/", "Name[n]" is the n-th child of that
// name (from 1), and DetectedDevice is the report whose Id is the keyboard's annotation name.
pugi::xml_node FindNode(pugi::xml_node root, const std::string& path, const std::string& timestampDevice) {
    pugi::xml_node node = root;
    std::istringstream steps(path);
    std::string step;
    while (node && std::getline(steps, step, '/')) {
        int nWanted = 1;
        size_t bracket = step.find('[');
        if (bracket != std::string::npos) {
            nWanted = std::stoi(step.substr(bracket + 1));
            step = step.substr(0, bracket);
        }
        pugi::xml_node found;
        int nSeen = 0;
        for (pugi::xml_node child = node.child(step.c_str()); child;
             child = child.next_sibling(step.c_str())) {
            if (step == "DetectedDevice" && timestampDevice != child.attribute("Id").value()) continue;
            if (++nSeen == nWanted) {
                found = child;
                break;
            }
        }
        node = found;
    }
    return node;
}

// The values of every attribute of node named timestampDevice, joined by "|".
std::string Annotations(pugi::xml_node node, const std::string& timestampDevice) {
    std::string joined;
    for (pugi::xml_attribute attribute : node.attributes()) {
        if (timestampDevice != attribute.name()) continue;
        joined += (joined.empty() ? "" : "|") + std::string(attribute.value());
    }
    return joined;
}

void ExpectNode(pugi::xml_node root, const std::string& timestampDevice, const char* path,
                const char* annotation, const char* info, const char* text) {
    SCOPED_TRACE(std::string(path) + " of " + timestampDevice);
    pugi::xml_node node = FindNode(root, path, timestampDevice);
    ASSERT_TRUE(node) << "no such node in the log";
    EXPECT_EQ(Annotations(node, timestampDevice), annotation);
    if (info != nullptr) {
        EXPECT_EQ(node.attribute("Info").empty(), *info == '\0');
        EXPECT_STREQ(node.attribute("Info").value(), info);
    }
    if (text != nullptr) {
        EXPECT_STREQ(node.text().get(), text);
    }
}

// The element nodes after node in document order (its own children included) that carry an
// annotation named timestampDevice.
std::vector<std::string> AnnotatedAfter(pugi::xml_node root, pugi::xml_node node,
                                        const std::string& timestampDevice) {
    std::vector<std::string> found;
    bool bAfter = false;
    std::vector<pugi::xml_node> pending = {root};
    while (!pending.empty()) {
        pugi::xml_node current = pending.back();
        pending.pop_back();
        if (bAfter && current.attribute(timestampDevice.c_str())) found.push_back(current.path());
        if (current == node) bAfter = true;
        std::vector<pugi::xml_node> children;
        for (pugi::xml_node child = current.first_child(); child; child = child.next_sibling())
            if (child.type() == pugi::node_element) children.push_back(child);
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return found;
}

// The last line of keyboard index's block on the console, after the last progress display.
std::string OutcomeLine(const std::string& out, int index) {
    std::string header = "\ndevice" + std::to_string(index) + ":\n";
    size_t begin = out.find(header);
    if (begin == std::string::npos) return "<no block for device" + std::to_string(index) + ">";
    begin += header.size();
    size_t end = out.find("\ndevice" + std::to_string(index + 1) + ":", begin);
    std::istringstream lines(out.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    std::string line;
    std::string last;
    while (std::getline(lines, line)) {
        if (!line.empty()) last = line;
    }
    size_t cr = last.rfind('\r');
    return cr == std::string::npos ? last : last.substr(cr + 1);
}

// The messages keyboard index received, as trace lines without time and keyboard.
std::vector<std::string> MessagesOf(const std::string& trace, int index) {
    std::string prefix = "kb" + std::to_string(index) + " SendCommand ";
    std::vector<std::string> messages;
    std::istringstream lines(StripTraceTimes(trace));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) == 0) messages.push_back(line.substr(prefix.size()));
    }
    return messages;
}

// True when message is expected, or expected followed by the answer the message asked for.
bool MessageIs(const std::string& message, const std::string& expected) {
    return message == expected || message.rfind(expected + " answer=[", 0) == 0;
}

// A run of the script in a fresh folder, with its library trace.
struct InjectedRun {
    std::string dir;
    RunOutcome run;
    std::string trace;
};

// Runs the script on keyboard 0 with the Inject elements inject and on an undisturbed keyboard 1.
InjectedRun RunWithInject(const char* inject) {
    InjectedRun injected;
    injected.dir = MakeTempDir();
    if (injected.dir.empty()) return injected;
    const std::string& dir = injected.dir;
    WriteFile(dir + "/script.kxb", kScript);
    WriteFile(dir + "/keyboards.xml", "<KavelSimulation>\n" + ReplaceAll(kKeyboard, "{inject}", inject) +
                                          ReplaceAll(kKeyboard, "{inject}", "") + "</KavelSimulation>\n");
    injected.run = RunKavelwrite(
        {"script.kxb", "--logfile"},
        {{"KAVELHID_SIMULATION", dir + "/keyboards.xml"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
    injected.trace = ReadFile(dir + "/trace");
    return injected;
}

// What a failed row shows of its run.
std::string Shown(const InjectedRun& injected) {
    return "stdout:\n" + ShowCarriageReturns(injected.run.out) + "stderr:\n" + injected.run.err + "trace:\n" +
           injected.trace;
}

// Loads the one log file of the run in dir into log; returns the run stamp, or "" without one log.
std::string LoadLog(const std::string& dir, pugi::xml_document* log) {
    std::vector<std::string> logs = FindLogFiles(dir, "script.kxb");
    EXPECT_EQ(logs.size(), 1u);
    if (logs.size() != 1 || !log->load_file((dir + "/" + logs[0]).c_str())) return std::string();
    return logs[0].substr(std::string("script.kxb_").size());
}

// The line of node in the file it was loaded from, counted from 1.
int LineOf(const std::string& path, pugi::xml_node node) {
    std::string text = ReadFile(path);
    ptrdiff_t nOffset = node.offset_debug();
    if (nOffset < 0 || static_cast<size_t>(nOffset) > text.size()) return -1;
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + nOffset, '\n'));
}

// A row's run, made before the test looks at it; its folder is kept when the row fails.
template <typename Row> class Matrix : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        injected = RunWithInject(this->GetParam().inject);
        ASSERT_FALSE(injected.dir.empty());
    }
    void TearDown() override {
        if (!this->HasFailure()) RemoveTree(injected.dir);
    }
    // Keyboard 0 received nSent messages, the last one being lastMessage; returns them.
    std::vector<std::string> ExpectSent(int nSent, const char* lastMessage) {
        std::vector<std::string> sent0 = MessagesOf(injected.trace, 0);
        EXPECT_EQ(static_cast<int>(sent0.size()), nSent);
        EXPECT_TRUE(!sent0.empty() && MessageIs(sent0.back(), lastMessage))
            << (sent0.empty() ? "nothing sent" : sent0.back());
        return sent0;
    }
    // The keyboards that kxb log finds in the run's log, the log's only run.
    nlohmann::json LogKeyboards(const std::string& stampTime) {
        RunOutcome read = RunKxb({"log", "--json", "script.kxb_" + stampTime}, {}, injected.dir);
        EXPECT_EQ(read.exitStatus, 0) << read.err;
        nlohmann::json report = nlohmann::json::parse(read.out, nullptr, false);
        if (report.is_discarded() || report["runs"].size() != 1) {
            ADD_FAILURE() << "kxb log did not find one run:\n" << read.out << read.err;
            return nlohmann::json::array();
        }
        return report["runs"][0]["keyboards"];
    }
    InjectedRun injected;
};

class FaultMatrix : public Matrix<FaultRow> {};

TEST_P(FaultMatrix, RecordsFailureWhereItHappenedAndWritesTheNextKeyboard) {
    const FaultRow& row = GetParam();
    SCOPED_TRACE(Shown(injected));
    const RunOutcome& run = injected.run;
    const std::string& trace = injected.trace;

    EXPECT_EQ(run.exitStatus, row.exitStatus);
    EXPECT_NE(run.out.find("2 Kavel device(s) detected\n"), std::string::npos);
    EXPECT_EQ(OutcomeLine(run.out, 0), row.console);
    EXPECT_EQ(OutcomeLine(run.out, 1), kDone);

    // Keyboard 0: the failing message is the last one when the failure ends the pass, and the
    // keyboard is not reset; otherwise the reset comes last.
    bool bEndsPass = row.exitStatus != EXIT_OK;
    std::vector<std::string> sent0 = ExpectSent(row.nSent, row.lastMessage);
    int nResets = 0;
    for (const std::string& message : sent0) nResets += message.rfind("cmd=F1 ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(nResets, bEndsPass ? 0 : 1);

    // Keyboard 1 is written to the end and reset.
    std::vector<std::string> sent1 = MessagesOf(trace, 1);
    EXPECT_EQ(static_cast<int>(sent1.size()), MESSAGES_ALL);
    ASSERT_FALSE(sent1.empty());
    EXPECT_EQ(sent1.back(), "cmd=F1 dst=02 data=[] -> 0");

    pugi::xml_document log;
    std::string stampTime = LoadLog(injected.dir, &log);
    ASSERT_FALSE(stampTime.empty());
    std::string device0 = stampTime + "_device0";
    std::string device1 = stampTime + "_device1";
    pugi::xml_node root = log.child("XML_BIN_FILE");

    ExpectNode(root, device0, row.node, row.annotation, row.info, row.text);
    if (row.otherNode != nullptr)
        ExpectNode(root, device0, row.otherNode, row.otherAnnotation, nullptr, nullptr);
    if (bEndsPass) {
        pugi::xml_node node = FindNode(root, row.node, device0);
        std::vector<std::string> later = AnnotatedAfter(root, node, device0);
        std::string sLater;
        for (const std::string& path : later) sLater += " " + path;
        EXPECT_TRUE(later.empty()) << "annotated after the failure:" << sLater;
        // The report stops at the unit whose read failed or did not suit.
        if (std::string(node.parent().name()) == "DetectedDevice") {
            EXPECT_FALSE(node.next_sibling());
        }
    }

    for (const NodeExpectation& expected : kUndisturbed)
        ExpectNode(root, device1, expected.node, expected.annotation, expected.info, expected.text);

    // kxb reads from the log what kavelwrite printed for each keyboard.
    const nlohmann::json keyboards = LogKeyboards(stampTime);
    ASSERT_EQ(keyboards.size(), 2u);
    EXPECT_EQ(keyboards[0]["outcome"], row.console);
    EXPECT_EQ(keyboards[0]["status"], row.exitStatus);
    EXPECT_EQ(keyboards[1]["outcome"], kDone);
    // A pass that ended early stopped at the annotation that ended it.
    const nlohmann::json& stopped = keyboards[0]["stopped"];
    ASSERT_EQ(stopped.is_null(), !bEndsPass);
    if (bEndsPass) {
        std::string sStopped = stopped["annotation"];
        EXPECT_TRUE(sStopped == row.annotation || (row.otherAnnotation && sStopped == row.otherAnnotation) ||
                    (row.text != nullptr && sStopped == row.text))
            << sStopped;
    }
}

INSTANTIATE_TEST_SUITE_P(Fault, FaultMatrix, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return info.param.name; });

// The stop matrix: a signal arrives while keyboard 0 takes one message (the Inject gives the
// message's usual answer, so only the signal differs). The message completes, the node whose
// message was due next is the one annotated "interrupted", nothing more is sent, keyboard 1 is not
// opened and the log is saved.
struct StopRow {
    const char* name;
    const char* inject;      // the Inject element of keyboard 0 that raises the signal
    const char* node;        // path of the node that records the stop ("" the root: the reset was due)
    int nSent;               // messages keyboard 0 receives
    const char* lastMessage; // the last of them in the trace, up to its status
    int signal;
    const char* failure; // the annotation of a message that failed on its own, or nullptr
};

const StopRow kStopRows[] = {
    // The controller's two reads finish together; the stop comes before module 0 is read.
    {"AtControllerVersionBeforeModule0", "<Inject Cmd=\"F7\" Dst=\"2\" Signal=\"2\">11 01 02 03 00</Inject>",
     "Device/DetectedDevice/Module0", 2, "cmd=11 dst=02 data=[] -> 0", 2, nullptr},
    {"AtModule1VersionAfterItsSubIdBeforeModule2",
     "<Inject Cmd=\"F7\" Dst=\"6\" Signal=\"2\">66 02 00 4F</Inject>", "Device/DetectedDevice/Module2", 5,
     "cmd=FF dst=06 data=[] -> 0", 2, nullptr},
    {"AtModule2VersionAfterItsSubIdBlockBeforeCommand",
     "<Inject Cmd=\"F7\" Dst=\"8\" Signal=\"2\">C5 01 02 05 01</Inject>", "Command", 7,
     "cmd=F9 dst=08 data=[00 80 12] -> 0", 2, nullptr},
    {"AtCommandBeforeIntEepPointer", "<Inject Cmd=\"40\" Dst=\"4\" Signal=\"2\"/>", "IntEep", 8,
     "cmd=40 dst=04 data=[01 02] -> 0", 2, nullptr},
    {"AtBusyCommandBeforeItsNextAttempt", "<Inject Cmd=\"40\" Dst=\"4\" Status=\"119\" Signal=\"2\"/>",
     "Command", 8, "cmd=40 dst=04 data=[01 02] -> 119", 2, nullptr},
    {"AtIntEepPointerBeforeFirstBlock", "<Inject Cmd=\"16\" Dst=\"2\" Signal=\"2\">00 40</Inject>",
     "IntEep/Data[1]", 9, "cmd=16 dst=02 data=[00 10 02] -> 0", 2, nullptr},
    {"AtIntEepFirstBlockBeforeSecond", "<Inject Cmd=\"17\" Dst=\"2\" Count=\"1\" Signal=\"2\"/>",
     "IntEep/Data[2]", 10, "cmd=17 dst=02 data=[10 40 01 02 03] -> 0", 2, nullptr},
    {"AtIntEepLastBlockBeforeCommandPtrPointer",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"1\" Count=\"1\" Signal=\"2\"/>", "IntEep_CommandPtr", 11,
     "cmd=17 dst=02 data=[20 40 04 05] -> 0", 2, nullptr},
    {"AtCommandPtrPointerBeforeFirstBlock", "<Inject Cmd=\"30\" Dst=\"2\" Signal=\"2\">07 00 41</Inject>",
     "IntEep_CommandPtr/Data[1]", 12, "cmd=30 dst=02 data=[01] -> 0", 2, nullptr},
    {"AtCommandPtrFirstBlockBeforeSecond",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"2\" Count=\"1\" Signal=\"2\"/>", "IntEep_CommandPtr/Data[2]", 13,
     "cmd=17 dst=02 data=[00 41 0A 0B] -> 0", 2, nullptr},
    {"AtCommandPtrLastBlockBeforeBinMemory",
     "<Inject Cmd=\"17\" Dst=\"2\" Skip=\"3\" Count=\"1\" Signal=\"2\"/>", "BinMemory/Data[1]", 14,
     "cmd=17 dst=02 data=[08 41 0C] -> 0", 2, nullptr},
    {"AtBinMemoryFirstBlockBeforeSecond", "<Inject Cmd=\"5A\" Dst=\"8\" Count=\"1\" Signal=\"2\"/>",
     "BinMemory/Data[2]", 15, "cmd=5A dst=08 data=[00 20 11 22] -> 0", 2, nullptr},
    {"AtLastBlockBeforeTheReset", "<Inject Cmd=\"5A\" Dst=\"8\" Skip=\"1\" Signal=\"2\"/>", "", 16,
     "cmd=5A dst=08 data=[00 30 33] -> 0", 2, nullptr},
    // A message that fails on its own while a hang-up arrives is reported as the failure it is.
    {"HangUpAtFailingCommandKeepsItsError", "<Inject Cmd=\"40\" Dst=\"4\" Status=\"3\" Signal=\"1\"/>",
     "Command", 8, "cmd=40 dst=04 data=[01 02] -> 3", 1, "ERROR=3"},
};

void PrintTo(const StopRow& row, std::ostream* out) {
    *out << row.name;
}

class StopMatrix : public Matrix<StopRow> {};

TEST_P(StopMatrix, AnnotatesTheNodeThatWasDueSendsNothingMoreAndSavesTheLog) {
    const StopRow& row = GetParam();
    SCOPED_TRACE(Shown(injected));
    const RunOutcome& run = injected.run;

    const char* txtAnnotation = row.failure == nullptr ? "interrupted" : row.failure;
    EXPECT_EQ(run.exitStatus, 128 + row.signal);
    // The run's last line names the signal; keyboard 0's block before it ends with its outcome.
    std::string txtLast = "\nERROR: Interrupted by signal " + std::to_string(row.signal) + "\n";
    ASSERT_GE(run.out.size(), txtLast.size());
    EXPECT_EQ(run.out.substr(run.out.size() - txtLast.size()), txtLast);
    EXPECT_EQ(OutcomeLine(run.out.substr(0, run.out.size() - txtLast.size()), 0),
              row.failure == nullptr ? " ERROR: Interrupted - keyboard not reset." : kWriteError);
    EXPECT_EQ(run.out.find("\ndevice1:"), std::string::npos);
    EXPECT_EQ(injected.trace.find(" kb1 "), std::string::npos) << "keyboard 1 was opened";
    ExpectSent(row.nSent, row.lastMessage);

    pugi::xml_document log;
    std::string stampTime = LoadLog(injected.dir, &log);
    ASSERT_FALSE(stampTime.empty());
    std::string device0 = stampTime + "_device0";
    pugi::xml_node root = log.child("XML_BIN_FILE");
    // A report unit that a stop kept from being read has neither Info nor text.
    bool bUnit = std::string(row.node).find("DetectedDevice") != std::string::npos;
    ExpectNode(root, device0, row.node, txtAnnotation, bUnit ? "" : nullptr, bUnit ? "" : nullptr);
    pugi::xml_node node = FindNode(root, row.node, device0);
    if (node != root) {
        std::vector<std::string> later = AnnotatedAfter(root, node, device0);
        EXPECT_TRUE(later.empty()) << "annotated after the stop: " << (later.empty() ? "" : later[0]);
    }
    EXPECT_EQ(log.select_nodes("//*[@*='interrupted']").size(), row.failure == nullptr ? 1u : 0u);

    // kxb reads the stop from the log: keyboard 0 stopped at that node without its reset, and no
    // other keyboard was reached.
    const nlohmann::json keyboards = LogKeyboards(stampTime);
    ASSERT_EQ(keyboards.size(), 1u);
    EXPECT_EQ(keyboards[0]["interrupted"], row.failure == nullptr);
    EXPECT_EQ(keyboards[0]["reset"], false);
    EXPECT_EQ(keyboards[0]["outcome"], OutcomeLine(run.out.substr(0, run.out.size() - txtLast.size()), 0));
    ASSERT_TRUE(keyboards[0]["stopped"].is_object());
    EXPECT_EQ(keyboards[0]["stopped"]["annotation"], txtAnnotation);
    EXPECT_EQ(keyboards[0]["stopped"]["element"], std::string(node.name()));
    EXPECT_EQ(keyboards[0]["stopped"]["line"], LineOf(injected.dir + "/script.kxb_" + stampTime, node));
}

INSTANTIATE_TEST_SUITE_P(Stop, StopMatrix, ::testing::ValuesIn(kStopRows),
                         [](const ::testing::TestParamInfo<StopRow>& info) { return info.param.name; });

} // namespace
