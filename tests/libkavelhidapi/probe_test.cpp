// The library as a program sees it: vk_probe runs in a process of its own with the library's
// environment variables set, and its standard output, standard error, trace and saved
// simulation are checked.
#include "probe_run.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vkprobe;

const char* const txtSimulation = R"(<?xml version="1.0"?>
<KavelSimulation>
  <LibraryVersion>2.3.4</LibraryVersion>
  <Keyboard>
    <Controller>
      <Version>11 01 02 03 00</Version>
      <Config>66 C5 00</Config>
    </Controller>
    <Module Slot="0"><Version>66 02 00 4F</Version><SubId>04 12</SubId></Module>
    <Memory Unit="2" Address="1000">00 40</Memory>
    <Inject Cmd="17" Dst="2" Skip="1" Count="1" Status="119"/>
  </Keyboard>
  <Keyboard><Open>5</Open></Keyboard>
</KavelSimulation>
)";

TEST_F(ProbeTest, WithoutSimulationFindsNoKeyboardAndSaysNothing) {
    ProbeRun run = Probe("", Path("trace"), Path("saved.xml"), "");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "version 1.0.0\ncount-before 0\nenumerate 0\ncount 0\ndevice-at-count null\ndevice 0 null\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Untimed(ReadFile(Path("trace"))), std::vector<std::string>{"Enumerate count=0"});
    EXPECT_FALSE(Exists(Path("saved.xml")));
}

struct InvalidFileCase {
    const char* name;
    const char* xml;
    const char* what;
};

TEST_F(ProbeTest, InvalidFileGivesCountMinusOneAndOneLineOnStandardError) {
    const InvalidFileCase cases[] = {
        {"XML syntax", "<KavelSimulation><Keyboard></KavelSimulation>", "at byte offset"},
        {"broken rule", "<KavelSimulation><Keyboard><Typo/></Keyboard></KavelSimulation>",
         "unknown element <Typo> in <Keyboard> at byte offset 28"},
        {"empty file", "", "No document element found"},
    };
    for (const InvalidFileCase& c : cases) {
        std::string sSimulation = Path("invalid.xml");
        WriteFile(sSimulation, c.xml);
        std::remove(Path("trace").c_str());
        ProbeRun run = Probe(sSimulation, Path("trace"), Path("saved.xml"), "F7:02");
        EXPECT_EQ(run.exitCode, 0) << c.name;
        // Everything on standard output is the probe's own.
        EXPECT_EQ(run.out, "version 1.0.0\ncount-before -1\nenumerate ffffffff\ncount -1\ndevice-at-count "
                           "null\ndevice 0 null\n")
            << c.name;
        std::vector<std::string> errors = Lines(run.err);
        ASSERT_EQ(errors.size(), 1u) << c.name << ": " << run.err;
        EXPECT_EQ(errors[0].rfind("libkavelhidapi: " + sSimulation + ": ", 0), 0u)
            << c.name << ": " << errors[0];
        EXPECT_NE(errors[0].find(c.what), std::string::npos) << c.name << ": " << errors[0];
        EXPECT_EQ(Untimed(ReadFile(Path("trace"))), std::vector<std::string>{"Enumerate count=-1"}) << c.name;
        EXPECT_FALSE(Exists(Path("saved.xml"))) << c.name;
    }
}

TEST_F(ProbeTest, MissingFileGivesCountMinusOne) {
    ProbeRun run = Probe(Path("absent.xml"), "", "", "");
    EXPECT_NE(run.out.find("count -1\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "libkavelhidapi: " + Path("absent.xml") + ": File was not found\n");
}

TEST_F(ProbeTest, ValidRunAnswersTracesAndSaves) {
    WriteFile(Path("sim.xml"), txtSimulation);
    ProbeRun run =
        Probe(Path("sim.xml"), Path("trace"), Path("saved.xml"),
              "F7:02 11:02:: F7:04::2 17:02:FEFF0102:- 17:02:000099:- 16:02:FEFF04 16:02:001002:1 30:08");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "version 2.3.4\n"
                       "count-before 0\n"
                       "enumerate 0\n"
                       "count 2\n"
                       "device-at-count null\n"
                       "open 0\n"
                       "modules 0\n"
                       "send F7 02 -> 0 answer=[11 01 02 03 00]\n"
                       "send 11 02 -> 0 answer=[66 C5 00]\n"
                       "send F7 04 -> 0 answer=[66 02]\n"
                       "send 17 02 -> 0\n"
                       "send 17 02 -> 119\n"
                       "send 16 02 -> 0 answer=[01 02 00 00]\n"
                       "send 16 02 -> 0 answer=[00]\n"
                       "send 30 08 -> 102 answer=[]\n"
                       "done\n");
    const std::vector<std::string> expected = {
        "Enumerate count=2",
        "kb0 Open -> 0",
        "kb0 EnumerateModules -> 0",
        "kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03 00]",
        "kb0 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[66 C5 00]",
        "kb0 SendCommand cmd=F7 dst=04 data=[] -> 0 answer=[66 02]",
        "kb0 SendCommand cmd=17 dst=02 data=[FE FF 01 02] -> 0",
        "kb0 SendCommand cmd=17 dst=02 data=[00 00 99] -> 119",
        "kb0 SendCommand cmd=16 dst=02 data=[FE FF 04] -> 0 answer=[01 02 00 00]",
        "kb0 SendCommand cmd=16 dst=02 data=[00 10 02] -> 0 answer=[00]",
        "kb0 SendCommand cmd=30 dst=08 data=[] -> 102 answer=[]",
    };
    EXPECT_EQ(Untimed(ReadFile(Path("trace"))), expected);

    // The saved simulation feeds the next run: the write is there, the injected one is not, and
    // the Inject still takes over the second write of that run.
    ASSERT_TRUE(Exists(Path("saved.xml")));
    ProbeRun next =
        Probe(Path("saved.xml"), Path("trace"), "", "16:02:FEFF04 16:02:001002 17:02:0000:- 17:02:0000:-");
    EXPECT_EQ(next.err, "");
    EXPECT_NE(next.out.find("send 16 02 -> 0 answer=[01 02 00 00]\nsend 16 02 -> 0 answer=[00 40]\n"
                            "send 17 02 -> 0\nsend 17 02 -> 119\n"),
              std::string::npos)
        << next.out;
    // The trace of the second run is appended to that of the first.
    std::vector<std::string> both = Untimed(ReadFile(Path("trace")));
    ASSERT_EQ(both.size(), expected.size() + 7);
    EXPECT_EQ(both[expected.size()], "Enumerate count=2");
}

TEST_F(ProbeTest, InjectedSignalIsRaisedAfterTheTraceLineAndTheCallThenReturnsAsInjected) {
    // Window change (1C) is ignored by default, so that call returns; termination (F) ends the probe.
    WriteFile(Path("sim.xml"),
              "<KavelSimulation><Keyboard><Inject Cmd='F7' Status='5' Signal='1C'>AA</Inject>"
              "<Inject Cmd='11' Signal='F'/></Keyboard></KavelSimulation>");
    ProbeRun run = Probe(Path("sim.xml"), Path("trace"), "", "F7:02 11:02 F7:02");
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.out.find("send F7 02 -> 5 answer=[AA]\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("send 11"), std::string::npos) << run.out;
    std::vector<std::string> trace = Untimed(ReadFile(Path("trace")));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "kb0 SendCommand cmd=11 dst=02 data=[] -> 0 answer=[]");
}

TEST_F(ProbeTest, OpenStatusFromTheFileKeepsTheKeyboardClosed) {
    WriteFile(Path("sim.xml"), txtSimulation);
    ProbeRun run = Probe(Path("sim.xml"), Path("trace"), "", "-k 1 F7:02");
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("open 5\nsend F7 02 -> 101 answer=[]\ndone\n"), std::string::npos) << run.out;
    std::vector<std::string> trace = Untimed(ReadFile(Path("trace")));
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(trace[1], "kb1 Open -> 5");
    EXPECT_EQ(trace[2], "kb1 SendCommand cmd=F7 dst=02 data=[] -> 101 answer=[]");
}

TEST_F(ProbeTest, MessagesBeforeOpenGet101) {
    WriteFile(Path("sim.xml"), txtSimulation);
    ProbeRun run = Probe(Path("sim.xml"), "", "", "-n F7:02 17:02:0000:-");
    EXPECT_NE(run.out.find("count 2\ndevice-at-count null\nsend F7 02 -> 101 answer=[]\nsend 17 02 -> 101\n"),
              std::string::npos)
        << run.out;
}

TEST_F(ProbeTest, CountElementOverridesTheNumberOfKeyboards) {
    WriteFile(Path("minus.xml"), "<KavelSimulation><Count>-1</Count><Keyboard/></KavelSimulation>");
    ProbeRun minus = Probe(Path("minus.xml"), "", "", "");
    EXPECT_EQ(minus.err, "");
    EXPECT_NE(minus.out.find("count-before 0\nenumerate 0\ncount -1\ndevice-at-count null\ndevice 0 null\n"),
              std::string::npos)
        << minus.out;
    WriteFile(Path("one.xml"), "<KavelSimulation><Count>1</Count><Keyboard/><Keyboard/></KavelSimulation>");
    ProbeRun one = Probe(Path("one.xml"), "", "", "-k 1");
    EXPECT_NE(one.out.find("count 1\ndevice-at-count null\ndevice 1 null\n"), std::string::npos) << one.out;
}

// Delays of 0 or of an hour: what the probe finds does not depend on how fast it runs.
TEST_F(ProbeTest, StationWritesBatchOneFindsBatchTwoAndSavesBoth) {
    WriteFile(Path("sim.xml"),
              "<KavelSimulation><Batch><Keyboard/><Keyboard PlugAfter='36EE80'/></Batch>"
              "<Batch><Keyboard><Memory Unit='2' Address='0'>01</Memory></Keyboard><Keyboard/>"
              "</Batch></KavelSimulation>");
    ProbeRun run = Probe(Path("sim.xml"), Path("trace"), Path("saved.xml"), "-b 2 -a 1 17:02:001055:-");
    EXPECT_EQ(run.out, "version 1.0.0\nlook 1\nlook 1\ncount-before 0\nenumerate 0\ncount 1\n"
                       "device-at-count null\nopen 0\nmodules 0\nsend 17 02 -> 0\nlook 2\ndone\n");
    std::vector<std::string> trace = Untimed(ReadFile(Path("trace")));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), "Enumerate count=1"), 3) << ReadFile(Path("trace"));
    EXPECT_EQ(trace.back(), "Enumerate count=2");
    // Each keyboard's memory is saved in its own batch.
    EXPECT_NE(ReadFile(Path("saved.xml"))
                  .find("<Batch>\n\t\t<Keyboard>\n\t\t\t<Memory Unit=\"2\" Address=\"1000\">55</Memory>\n\t\t"
                        "</Keyboard>\n\t\t<Keyboard PlugAfter=\"36EE80\" />\n\t</Batch>\n\t<Batch>\n\t\t"
                        "<Keyboard>\n\t\t\t<Memory Unit=\"2\" Address=\"0\">01</Memory>"),
              std::string::npos)
        << ReadFile(Path("saved.xml"));
}

TEST_F(ProbeTest, FailedSaveGivesOneLineOnStandardError) {
    WriteFile(Path("sim.xml"), txtSimulation);
    ProbeRun run = Probe(Path("sim.xml"), "", Path("no-such-directory/saved.xml"), "");
    EXPECT_NE(run.out.find("done\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err,
              "libkavelhidapi: " + Path("no-such-directory/saved.xml") + ": cannot save the simulation\n");
}

} // namespace
