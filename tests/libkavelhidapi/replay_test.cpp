// The replay: a program's run answered from a recording (through vk_probe).
#include "probe_run.h"
#include "virtual_keyboard.h"

#include <regex>

using namespace kavelvk;
using namespace vkprobe;

namespace {

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

const char* const txtRecording = "# kavelhid recording 1\n"
                                 "0 LibraryVersion 2.3.4 -> 7\n"
                                 "0 Enumerate count=4096\n"
                                 "3 kb4095 Open -> 0\n"
                                 "3 kb4095 EnumerateModules -> ffffffff\n"
                                 "4 kb4095 Answer capacity=255\n"
                                 "4 kb4095 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03 00]\n"
                                 "4 kb4095 Answer capacity=2 reported=5\n"
                                 "4 kb4095 SendCommand cmd=30 dst=04 data=[01] -> 0 answer=[AA BB]\n"
                                 "5 kb4095 Answer capacity=8 reported=-1\n"
                                 "5 kb4095 SendCommand cmd=30 dst=04 data=[02] -> 119 answer=[]\n"
                                 "5 kb4095 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 C5 00]\n"
                                 "6 kb4095 SendCommand cmd=17 dst=02 data=[00 10 AA] -> ffffffff\n"
                                 "6 kb4095 Close -> 5\n"
                                 "6 Release\n"
                                 "# ended: exit status 0\n";
const char* const txtArgs = "-k 4095 -c F7:02::2 30:04:01 30:04:02 11:02::2 17:02:0010AA:-";

TEST_F(ReplayProbeTest, AgreeingRunGetsWhatWasRecordedAndIsTracedButNotSaved) {
    ProbeRun run = Replay(txtRecording, txtArgs, Path("trace"));
    EXPECT_EQ(run.exitCode, 0);
    // The simulation named beside the recording is not read: it would be missing.
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "version 2.3.4 -> 7\ncount-before 0\nenumerate 0\ncount 4096\ndevice-at-count null\n"
                       "open 0\nmodules ffffffff\n"
                       "send F7 02 -> 0 answer=[11 01]\n"
                       "send 30 04 -> 0 answer=[AA BB EE EE EE]\n"
                       "send 30 04 -> 119 answer=[] length=-1\n"
                       "send 11 02 -> 0 answer=[66 C5]\n"
                       "send 17 02 -> ffffffff\nclose 5\ndone\n");
    EXPECT_EQ(Untimed(ReadFile(Path("trace"))),
              (std::vector<std::string>{"Enumerate count=4096", "kb4095 Open -> 0",
                                        "kb4095 EnumerateModules -> ffffffff",
                                        "kb4095 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01]",
                                        "kb4095 SendCommand cmd=30 dst=04 data=[01] -> 0 answer=[AA BB]",
                                        "kb4095 SendCommand cmd=30 dst=04 data=[02] -> 119 answer=[]",
                                        "kb4095 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 C5]",
                                        "kb4095 SendCommand cmd=17 dst=02 data=[00 10 AA] -> ffffffff"}));
    EXPECT_FALSE(Exists(Path("saved.xml")));
}

struct DivergenceCase {
    std::string recording;
    const char* args;
    const char* tail;
    const char* err;
};

TEST_F(ReplayProbeTest, FirstDifferenceIsToldOnceAndEveryCallAfterItFailsWith104) {
    const std::string sOpened = "version 2.3.4 -> 7\ncount-before 0\nenumerate 0\ncount 4096\n"
                                "device-at-count null\nopen 0\nmodules ffffffff\n";
    const std::string sFull = txtRecording;
    // The recording of a run that ended without closing and releasing.
    const std::string sCut = sFull.substr(0, sFull.rfind("6 kb4095 Close"));
    const DivergenceCase cases[] = {
        {sFull, "-k 4095 -c F7:02::2 30:04:09 30:04:02 11:02::2",
         "send F7 02 -> 0 answer=[11 01]\nsend 30 04 -> 104 answer=[]\nsend 30 04 -> 104 answer=[]\n"
         "send 11 02 -> 104 answer=[]\nclose 104\ndone\n",
         "kavelhid replay: call 6 (line 9) differs: recorded 4 kb4095 SendCommand cmd=30 dst=04 data=[01] -> "
         "0 "
         "answer=[AA BB], got T kb4095 SendCommand cmd=30 dst=04 data=[09] -> 104 answer=[]\n"},
        {sFull, "-k 4095 F7:02::-", "send F7 02 -> 104\ndone\n",
         "kavelhid replay: call 5 (line 7) differs: recorded 4 kb4095 SendCommand cmd=F7 dst=02 data=[] -> 0 "
         "answer=[11 01 02 03 00], got T kb4095 SendCommand cmd=F7 dst=02 data=[] -> 104\n"},
        {sFull, "-k 4095 F7:02", "send F7 02 -> 0 answer=[11 01 02 03 00]\ndone\n",
         "kavelhid replay: call 6 (line 9) differs: recorded 4 kb4095 SendCommand cmd=30 dst=04 data=[01] -> "
         "0 "
         "answer=[AA BB], got T Release\n"},
        {sCut, txtArgs, "send 17 02 -> ffffffff\nclose 104\ndone\n",
         "kavelhid replay: the recording has no line saying how its run ended; its last whole line is line "
         "13\n"
         "kavelhid replay: call 10 differs: recorded the end of the recording, got T kb4095 Close -> "
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
              "kavelhid replay: call 3 (line 4) differs: recorded 3 kb4095 Open -> 0, "
              "got T kb1 Open -> 104\n");

    // A recorded Release is named as the recording writes it.
    ProbeRun released = Replay("0 LibraryVersion 2.3.4 -> 7\n0 Enumerate count=1\n0 Release\n", "");
    EXPECT_EQ(WithoutGotTime(released.err),
              "kavelhid replay: call 3 (line 3) differs: recorded 0 Release, got T kb0 Open -> 104\n");

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
              "kavelhid replay: call 1 (line 1) differs: recorded 0 Enumerate count=1, got 0 LibraryVersion "
              "1.0.0 -> 104\n");
}

TEST_F(ReplayProbeTest, DifferenceQuotesOnlyTheStartOfALongLineAndNamesAnotherProgram) {
    std::string sData;
    for (int i = 0; i < 400; i++) sData += i == 0 ? "AA" : " AA";
    const std::string sLine = "0 kb0 SendCommand cmd=17 dst=02 data=[" + sData + "] -> 0";
    ProbeRun run = Replay("# kavelhid recording 1\n# program: kxb 0.0.4 verify\n0 Enumerate count=1\n"
                          "0 kb0 Open -> 0\n0 kb0 EnumerateModules -> 0\n" +
                              sLine + "\n# ended: exit status 0\n",
                          "-x F7:02");
    EXPECT_EQ(WithoutGotTime(run.err),
              "kavelhid replay: call 4 (line 6) differs (the recording is of kxb "
              "verify, this is vk_probe): recorded " +
                  sLine.substr(0, 200) + "... (" + std::to_string(sLine.size()) +
                  " bytes), got T kb0 SendCommand cmd=F7 dst=02 data=[] -> 104 answer=[]\n");
}

TEST_F(ReplayProbeTest, RunThatEndsBeforeTheRecordingSaysHowManyCallsWereLeft) {
    ProbeRun run = Replay(txtRecording, "-x -k 4095 F7:02::2 30:04:01");
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
    // A count beyond what a station holds would have the run open keyboards for hours.
    ProbeRun huge = Replay("# kavelhid recording 1\n0 Enumerate count=2000000000\n", "");
    EXPECT_EQ(huge.out, sInvalid);
    EXPECT_EQ(huge.err, "libkavelhidapi: " + Path("run.rec") +
                            ": line 2: Enumerate: count is beyond the 4096 keyboards a station holds: "
                            "\"2000000000\"\n");
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
               "1 Release\n0 Enumerate count=0\n0 Release\n# ended: exit status 0\n",
               "-b 2 -a 1 -k 1 F7:02");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "version 1.0.0\nlook 2\nlook 2\ncount-before 0\nenumerate 0\ncount 2\n"
              "device-at-count null\nopen 0\nmodules 0\nsend F7 02 -> 0 answer=[11]\nlook 0\ndone\n");
}

} // namespace
