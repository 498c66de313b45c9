// The replay: reading recordings, and a program's run answered from one (through vk_probe).
#include "probe_run.h"
#include "virtual_keyboard.h"

#include <regex>

using namespace kavelvk;
using namespace vkprobe;

namespace {

TEST(Recording, ReadsEveryKindOfLineAndSkipsComments) {
    const std::string sText = "# kavelhid recording 1\n"
                              "0 LibraryVersion -2.0.31 -> ffffffff\n"
                              "0 Enumerate count=-1\n"
                              "12 kb3 Open -> 119\n"
                              "12 kb3 EnumerateModules -> 0\n"
                              "13 kb3 Answer capacity=4 reported=-2\n"
                              "13 kb3 SendCommand cmd=F7 dst=0A data=[00 10 FF] -> 0 answer=[]\n"
                              "14 kb3 SendCommand cmd=17 dst=02 data=[] -> 102\n"
                              "15 kb3 Close -> 5\n"
                              "15 Release\n"
                              "# ended: exit status 0\n";
    Recording recording;
    std::string sError;
    ASSERT_TRUE(recording.LoadText(sText, &sError)) << sError;
    EXPECT_TRUE(recording.bExtended);
    const std::vector<RecordedCall>& calls = recording.calls;
    ASSERT_EQ(calls.size(), 8u);
    const CallKind kinds[] = {
        CallKind::LibraryVersion, CallKind::Enumerate,   CallKind::Open,  CallKind::EnumerateModules,
        CallKind::SendCommand,    CallKind::SendCommand, CallKind::Close, CallKind::Release};
    for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].kind, kinds[i]) << i;
    EXPECT_EQ(std::vector<int>(calls[0].version, calls[0].version + 3), (std::vector<int>{-2, 0, 31}));
    EXPECT_EQ(calls[0].status, -1);
    EXPECT_EQ(calls[1].count, -1);
    EXPECT_EQ(calls[2].keyboard, 3);
    EXPECT_EQ(calls[2].status, 0x119);
    const RecordedCall& answered = calls[4];
    EXPECT_EQ(answered.lineNumber, 7u);
    EXPECT_EQ(recording.Line(answered), "13 kb3 SendCommand cmd=F7 dst=0A data=[00 10 FF] -> 0 answer=[]");
    EXPECT_EQ(answered.cmd, 0xF7);
    EXPECT_EQ(answered.dst, 0x0A);
    EXPECT_EQ(answered.data, (std::vector<std::uint8_t>{0x00, 0x10, 0xFF}));
    EXPECT_TRUE(answered.bAnswerAsked && answered.bHasCapacity && answered.bHasReported);
    EXPECT_EQ(answered.capacity, 4);
    EXPECT_EQ(answered.reported, -2);
    EXPECT_FALSE(calls[5].bAnswerAsked || calls[5].bHasCapacity);
    EXPECT_EQ(calls[6].status, 5);

    // A trace has none of the lines that only a recording holds.
    ASSERT_TRUE(recording.LoadText("0 Enumerate count=1\n0 kb0 Open -> 0\n", &sError)) << sError;
    EXPECT_FALSE(recording.bExtended);
}

struct BadRecordingCase {
    const char* text;
    const char* error;
};

TEST(Recording, RefusesEveryMalformedLineNamingItsNumber) {
    const std::string sSend = "0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01]\n";
    const BadRecordingCase cases[] = {
        {"0 Enumerate count=1\nhello\n", "line 2: not a call line, a comment or an Answer line: \"hello\""},
        {"# header\n\n", "line 2: not a call line, a comment or an Answer line: \"\""},
        {"0 kb0 Opne -> 0\n", "line 1: not a call line, a comment or an Answer line: \"0 kb0 Opne -> 0\""},
        {"01 Release\n", "line 1: the time is not a decimal number as the trace writes it: \"01\""},
        {"99999999999999999999 Release\n", "line 1: the time is out of range: \"99999999999999999999\""},
        {"0 Release \n", "line 1: Release: unexpected text after the call: \" \""},
        {"0 Enumerate count=-0\n",
         "line 1: Enumerate: count is not a decimal number as the trace writes it: \"-0\""},
        {"0 Enumerate count=2147483648\n", "line 1: Enumerate: count is out of range: \"2147483648\""},
        {"0 Enumerate counts=1\n", "line 1: Enumerate: expected count=, found \"counts=1\""},
        {"0 kb01 Open -> 0\n",
         "line 1: Open: the keyboard index is not a decimal number as the trace writes it: \"01\""},
        {"0 kb0 Open -> 0x1\n",
         "line 1: Open: the status is not lowercase hex without leading zeros: \"0x1\""},
        {"0 kb0 Close -> FF\n",
         "line 1: Close: the status is not lowercase hex without leading zeros: \"FF\""},
        {"0 kb0 EnumerateModules -> 100000000\n",
         "line 1: EnumerateModules: the status is out of range: \"100000000\""},
        {"0 kb0 Open => 0\n", "line 1: Open: expected ->, found \"=>\""},
        {"0 kb0 Open ->\n", "line 1: Open: expected a status, found the end of the line"},
        {"0 kb0 Open -> 0\r\n",
         "line 1: Open: the status is not lowercase hex without leading zeros: \"0\\x0D\""},
        {"0 kb0 SendCommand cmd=f7 dst=02 data=[] -> 0\n",
         "line 1: SendCommand: cmd is not two uppercase hex digits: \"f7\""},
        {"0 kb0 SendCommand cmd=F7 dst=2 data=[] -> 0\n",
         "line 1: SendCommand: dst is not two uppercase hex digits: \"2\""},
        {"0 kb0 SendCommand cmd=F7 dst=02 data=[0a] -> 0\n",
         "line 1: SendCommand: data is not a byte list in uppercase hex: \"0a\""},
        {"0 kb0 SendCommand cmd=F7 dst=02 data=[AA  BB] -> 0\n",
         "line 1: SendCommand: data is not a byte list in uppercase hex: \"AA  BB\""},
        {"0 kb0 SendCommand cmd=F7 dst=02 data=[AA -> 0\n",
         "line 1: SendCommand: data does not end with ] before a blank or the line's end"},
        {"0 kb0 SendCommand cmd=F7 dst=02 -> 0\n", "line 1: SendCommand: expected data=[, found \"->\""},
        {"0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 reply=[]\n",
         "line 1: SendCommand: expected answer=[, found \"reply=[]\""},
        {"0 LibraryVersion 1.2 -> 0\n",
         "line 1: LibraryVersion: the version is not three decimal numbers a.b.c: \"1.2\""},
        {"0 LibraryVersion 1.2.+3 -> 0\n", "line 1: LibraryVersion: a part of the version is not a decimal "
                                           "number as the trace writes it: \"+3\""},
        {"0 kb0 Answer size=5\n", "line 1: Answer: expected capacity=, found \"size=5\""},
        {"0 kb0 Answer capacity=5\n",
         "line 1: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer"},
        {"0 kb0 Answer capacity=5\n# note\n",
         "line 1: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer"},
        {"0 kb0 Answer capacity=5\n0 kb1 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[]\n",
         "line 1: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer"},
        {"0 kb0 Answer capacity=5\n0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0\n",
         "line 1: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer"},
        {"0 kb0 Answer capacity=1\n",
         "line 1: the answer on the next line holds 2 bytes, not the 1 that capacity=1 deliver"},
        {"0 kb0 Answer capacity=9 reported=1\n", "line 1: the answer on the next line holds 2 bytes, not the "
                                                 "1 that capacity=9 and reported=1 deliver"},
    };
    for (const BadRecordingCase& c : cases) {
        // A case that ends on an Answer line of capacity 1 or 9 is completed by sSend.
        std::string sText = c.text;
        if (std::regex_search(sText, std::regex("capacity=[19].*\n$"))) sText += sSend;
        Recording recording;
        std::string sError;
        EXPECT_FALSE(recording.LoadText(sText, &sError)) << c.text;
        EXPECT_EQ(sError, c.error) << c.text;
        EXPECT_TRUE(recording.calls.empty()) << c.text;
    }
}

TEST(Recording, IgnoresALastLineCutOffInMidWrite) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"0 Enumerate count=1\n0 kb0 Op", 1},
        {"0 Enumerate count=1\nnot a line at all", 1},
        // The cut-off call takes its Answer line with it.
        {"0 Enumerate count=1\n0 kb0 Answer capacity=5\n0 kb0 SendCommand cmd=F7", 1},
        {"0 Enumerate count=1\n0 kb0 Open -> 0\n", 2},
    };
    for (const auto& c : cases) {
        Recording recording;
        std::string sError;
        EXPECT_TRUE(recording.LoadText(c.first, &sError)) << c.first << ": " << sError;
        EXPECT_EQ(recording.calls.size(), c.second) << c.first;
    }
}

// Times in a "got" line are the run's own; they are replaced by T.
std::string WithoutGotTime(const std::string& text) {
    return std::regex_replace(text, std::regex("got [0-9]+ "), "got T ");
}

class ReplayProbeTest : public ProbeTest {
protected:
    ProbeRun Replay(const std::string& recording, const std::string& args, const std::string& trace = "") {
        WriteFile(Path("run.rec"), recording);
        return Probe(Path("absent.xml"), trace, Path("saved.xml"), args, Path("run.rec"));
    }
};

const char* const txtRecording =
    "# kavelhid recording 1\n"
    "0 LibraryVersion 2.3.4 -> 7\n"
    "0 Enumerate count=2000000000\n"
    "3 kb1999999999 Open -> 0\n"
    "3 kb1999999999 EnumerateModules -> ffffffff\n"
    "4 kb1999999999 Answer capacity=255\n"
    "4 kb1999999999 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03 00]\n"
    "4 kb1999999999 Answer capacity=2 reported=5\n"
    "4 kb1999999999 SendCommand cmd=30 dst=04 data=[01] -> 0 answer=[AA BB]\n"
    "5 kb1999999999 Answer capacity=8 reported=-1\n"
    "5 kb1999999999 SendCommand cmd=30 dst=04 data=[02] -> 119 answer=[]\n"
    "5 kb1999999999 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 C5 00]\n"
    "6 kb1999999999 SendCommand cmd=17 dst=02 data=[00 10 AA] -> ffffffff\n"
    "6 kb1999999999 Close -> 5\n"
    "6 Release\n";
const char* const txtArgs = "-k 1999999999 -c F7:02::2 30:04:01 30:04:02 11:02::2 17:02:0010AA:-";

TEST_F(ReplayProbeTest, AgreeingRunGetsWhatWasRecordedAndIsTracedButNotSaved) {
    ProbeRun run = Replay(txtRecording, txtArgs, Path("trace"));
    EXPECT_EQ(run.exitCode, 0);
    // The simulation named beside the recording is not read: it would be missing.
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "version 2.3.4 -> 7\ncount-before 0\nenumerate 0\ncount 2000000000\ndevice-at-count null\n"
              "open 0\nmodules ffffffff\n"
              "send F7 02 -> 0 answer=[11 01]\n"
              "send 30 04 -> 0 answer=[AA BB EE EE EE]\n"
              "send 30 04 -> 119 answer=[] length=-1\n"
              "send 11 02 -> 0 answer=[66 C5]\n"
              "send 17 02 -> ffffffff\nclose 5\ndone\n");
    EXPECT_EQ(
        Untimed(ReadFile(Path("trace"))),
        (std::vector<std::string>{"Enumerate count=2000000000", "kb1999999999 Open -> 0",
                                  "kb1999999999 EnumerateModules -> ffffffff",
                                  "kb1999999999 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01]",
                                  "kb1999999999 SendCommand cmd=30 dst=04 data=[01] -> 0 answer=[AA BB]",
                                  "kb1999999999 SendCommand cmd=30 dst=04 data=[02] -> 119 answer=[]",
                                  "kb1999999999 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 C5]",
                                  "kb1999999999 SendCommand cmd=17 dst=02 data=[00 10 AA] -> ffffffff"}));
    EXPECT_FALSE(Exists(Path("saved.xml")));
}

struct DivergenceCase {
    std::string recording;
    const char* args;
    const char* tail;
    const char* err;
};

TEST_F(ReplayProbeTest, FirstDifferenceIsToldOnceAndEveryCallAfterItFailsWith104) {
    const std::string sOpened = "version 2.3.4 -> 7\ncount-before 0\nenumerate 0\ncount 2000000000\n"
                                "device-at-count null\nopen 0\nmodules ffffffff\n";
    const std::string sFull = txtRecording;
    // The recording of a run that ended without closing and releasing.
    const std::string sCut = sFull.substr(0, sFull.rfind("6 kb1999999999 Close"));
    const DivergenceCase cases[] = {
        {sFull, "-k 1999999999 -c F7:02::2 30:04:09 30:04:02 11:02::2",
         "send F7 02 -> 0 answer=[11 01]\nsend 30 04 -> 104 answer=[]\nsend 30 04 -> 104 answer=[]\n"
         "send 11 02 -> 104 answer=[]\nclose 104\ndone\n",
         "kavelhid replay: call 6 differs: recorded 4 kb1999999999 SendCommand cmd=30 dst=04 data=[01] -> 0 "
         "answer=[AA BB], got T kb1999999999 SendCommand cmd=30 dst=04 data=[09] -> 104 answer=[]\n"},
        {sFull, "-k 1999999999 F7:02::-", "send F7 02 -> 104\ndone\n",
         "kavelhid replay: call 5 differs: recorded 4 kb1999999999 SendCommand cmd=F7 dst=02 data=[] -> 0 "
         "answer=[11 01 02 03 00], got T kb1999999999 SendCommand cmd=F7 dst=02 data=[] -> 104\n"},
        {sFull, "-k 1999999999 F7:02", "send F7 02 -> 0 answer=[11 01 02 03 00]\ndone\n",
         "kavelhid replay: call 6 differs: recorded 4 kb1999999999 SendCommand cmd=30 dst=04 data=[01] -> 0 "
         "answer=[AA BB], got T Release\n"},
        {sCut, txtArgs, "send 17 02 -> ffffffff\nclose 104\ndone\n",
         "kavelhid replay: call 10 differs: recorded the end of the recording, got T kb1999999999 Close -> "
         "104\n"},
    };
    for (const DivergenceCase& c : cases) {
        ProbeRun run = Replay(c.recording, c.args);
        EXPECT_EQ(WithoutGotTime(run.err), c.err) << c.args;
        EXPECT_EQ(run.out.substr(0, sOpened.size()), sOpened) << c.args;
        const std::string sTail = c.tail;
        EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), sTail.size())), sTail) << c.args;
    }

    // A keyboard other than the recorded one fails at its first call, and so does each call after.
    ProbeRun other = Replay(sFull, "-k 1 F7:02");
    EXPECT_EQ(other.out,
              sOpened.substr(0, sOpened.find("open")) + "open 104\nsend F7 02 -> 104 answer=[]\ndone\n");
    EXPECT_EQ(WithoutGotTime(other.err),
              "kavelhid replay: call 3 differs: recorded 3 kb1999999999 Open -> 0, "
              "got T kb1 Open -> 104\n");

    // A call of every kind is told as the trace would write it: here the module enumeration.
    ProbeRun unenumerated = Replay("0 LibraryVersion 2.3.4 -> 7\n0 Enumerate count=1\n0 kb0 Open -> 0\n", "");
    EXPECT_EQ(WithoutGotTime(unenumerated.err),
              "kavelhid replay: call 4 differs: recorded the end of the recording, "
              "got T kb0 EnumerateModules -> 104\n");

    // Without a recorded version query the first call differs: the default version, and a failed scan.
    ProbeRun first = Replay("0 Enumerate count=1\n0 Release\n", "");
    EXPECT_EQ(first.out,
              "version 1.0.0 -> 104\ncount-before 0\nenumerate 104\ncount -1\ndevice-at-count null\n"
              "device 0 null\n");
    EXPECT_EQ(first.err,
              "kavelhid replay: call 1 differs: recorded 0 Enumerate count=1, got 0 LibraryVersion "
              "1.0.0 -> 104\n");
}

TEST_F(ReplayProbeTest, RunThatEndsBeforeTheRecordingSaysHowManyCallsWereLeft) {
    ProbeRun run = Replay(txtRecording, "-x -k 1999999999 F7:02::2 30:04:01");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err,
              "kavelhid replay: the run ended before the recording: 5 of its 11 calls were not made\n");
}

TEST_F(ReplayProbeTest, UnreadableRecordingFindsNoKeyboardAsAnInvalidSimulationDoes) {
    const std::string sInvalid = "version 1.0.0\ncount-before -1\nenumerate ffffffff\ncount -1\n"
                                 "device-at-count null\ndevice 0 null\n";
    ProbeRun missing = Probe("", "", "", "", Path("absent.rec"));
    EXPECT_EQ(missing.out, sInvalid);
    EXPECT_EQ(missing.err, "libkavelhidapi: " + Path("absent.rec") +
                               ": cannot open the recording: No such file or directory\n");
    ProbeRun bad = Replay("0 LibraryVersion 1.0.0 -> 0\n# comment\n0 Enumerate count=x\n", "");
    EXPECT_EQ(bad.out, sInvalid);
    EXPECT_EQ(bad.err,
              "libkavelhidapi: " + Path("run.rec") +
                  ": line 3: Enumerate: count is not a decimal number as the trace writes it: \"x\"\n");
}

TEST_F(ReplayProbeTest, TraceOfARunReplaysThatRun) {
    WriteFile(Path("sim.xml"), "<KavelSimulation><Keyboard><Controller><Version>11 01 02 03 00</Version>"
                               "</Controller><Inject Cmd='17' Count='1' Status='119'/></Keyboard><Keyboard/>"
                               "</KavelSimulation>");
    const std::string sArgs = "F7:02::3 17:02:0010AA:- 17:02:0010AA:- 16:02:001002";
    ProbeRun original = Probe(Path("sim.xml"), Path("trace"), "", sArgs);
    ASSERT_EQ(original.err, "");
    // A trace does not show the version query or the release: they are not compared.
    ProbeRun replayed = Replay(ReadFile(Path("trace")), sArgs, Path("again"));
    EXPECT_EQ(replayed.err, "");
    EXPECT_EQ(replayed.out, original.out);
    EXPECT_EQ(Untimed(ReadFile(Path("again"))), Untimed(ReadFile(Path("trace"))));
}

TEST_F(ReplayProbeTest, StationOfManyEnumeratorsReplays) {
    // Two looks, the batch written by the third enumerator, a look at the empty bus.
    ProbeRun run =
        Replay("# kavelhid recording 1\n0 LibraryVersion 1.0.0 -> 0\n0 Enumerate count=2\n"
               "0 Release\n0 Enumerate count=2\n0 Release\n0 Enumerate count=2\n0 kb1 Open -> 0\n"
               "0 kb1 EnumerateModules -> 0\n0 kb1 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11]\n"
               "1 Release\n0 Enumerate count=0\n0 Release\n",
               "-b 2 -a 1 -k 1 F7:02");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "version 1.0.0\nlook 2\nlook 2\ncount-before 0\nenumerate 0\ncount 2\n"
              "device-at-count null\nopen 0\nmodules 0\nsend F7 02 -> 0 answer=[11]\nlook 0\ndone\n");
}

} // namespace
