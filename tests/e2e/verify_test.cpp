// kavelwrite --verify: a keyboard whose memory did not take a write is named, not reset and fails
// the run; the read-back reads exactly the bytes written, once each, wherever their address came
// from, and nothing but memory reads stands between the last write and the reset.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

namespace {

// A controller whose IntEep pointer at 10 holds 4000 and whose pointer command 30 answers 5234;
// bLosing keyboards answer their first memory write with status 0 and store nothing.
std::string Keyboards(const std::string& losing) {
    std::string text = "<KavelSimulation>";
    for (char c : losing) {
        text +=
            "<Keyboard><Controller><Version>11 01 02 03</Version></Controller>"
            "<Memory Unit=\"2\" Address=\"10\">00 40</Memory><Answer Cmd=\"30\" Dst=\"2\">00 34 12</Answer>";
        text += c == '1' ? "<Inject Cmd=\"17\" Dst=\"2\" Count=\"1\"/>" : "";
        text += "</Keyboard>";
    }
    return text + "</KavelSimulation>";
}

// A command and a message that is no memory write, then blocks that overlap, one longer than a read
// can ask for, one round the top of memory, one at a pointer command's address.
std::string Script() {
    std::string longBlock;
    for (int i = 0; i < 300; i++) longBlock += (i ? " " : "") + std::string(i % 2 ? "5A" : "A5");
    return "<XML_BIN_FILE>\n" + AnyDeviceElement() +
           "\n<Command><DST>F</DST><CMD>31</CMD></Command>"
           "<BinMemory><DST>2</DST><CMD>32</CMD><Data Address=\"6000\">77</Data></BinMemory>\n"
           "<BinMemory><DST>2</DST><CMD>17</CMD>\n<Data Address=\"1000\">11 22 33</Data>\n"
           "<Data Address=\"3F00\">" +
           longBlock +
           "</Data>\n<Data Address=\"3F10\">01 02</Data>\n<Data Address=\"FFFE\">C1 C2 "
           "C3</Data></BinMemory>\n"
           "<IntEep><PtrAddress>10</PtrAddress><Data Offset=\"8\">44</Data></IntEep>\n"
           "<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressLow>1"
           "</AnswerByteAddressLow><AnswerByteAddressHigh>2</AnswerByteAddressHigh><Data Offset=\"0\">55 66"
           "</Data></IntEep_CommandPtr>\n</XML_BIN_FILE>\n";
}

struct Verify : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        WriteFile(dir + "/s.kxb", Script());
    }
    void TearDown() override { RemoveTree(dir); }
    RunOutcome Run(const std::string& losing, std::vector<std::string> args) {
        WriteFile(dir + "/k.xml", Keyboards(losing));
        std::remove((dir + "/trace").c_str());
        args.push_back("s.kxb");
        RunOutcome run = RunKavelwrite(
            args, {{"KAVELHID_SIMULATION", dir + "/k.xml"}, {"KAVELHID_TRACE", dir + "/trace"}}, dir);
        trace = StripTraceTimes(ReadFile(dir + "/trace"));
        return run;
    }
    std::string dir;
    std::string trace;
};

TEST_F(Verify, ALostWriteIsNamedAndItsKeyboardNotReset) {
    RunOutcome run = Run("1", {"--verify"});
    EXPECT_EQ(run.exitStatus, 167) << run.out;
    EXPECT_NE(
        run.out.find(
            " s.kxb:5:2: device0: differ: Data: unit 2, 3 bytes at 1000: 3 bytes differ, the "
            "first at 1000: the keyboard holds 00, the script leaves 11\n ERROR: Device verify error\n"),
        std::string::npos)
        << run.out;
    EXPECT_EQ(trace.find("cmd=F1"), std::string::npos) << trace;
    // Without the read-back the same keyboard is taken for written.
    EXPECT_EQ(Run("1", {}).exitStatus, 0);
    EXPECT_NE(trace.find("cmd=F1"), std::string::npos);
}

TEST_F(Verify, ReadsEveryByteWrittenOnceInPiecesThenResets) {
    RunOutcome run = Run("0", {"--verify"});
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    size_t nVerified = run.out.find(" Verified: 308 bytes in 6 blocks, 2 messages not verified\n");
    ASSERT_NE(nVerified, std::string::npos) << run.out;
    // The check pass counted the read-back's steps: after the line the reset wait's steps show the
    // display up to 100 (38 lines, its last step shows none) before the block's closing 100.
    std::string after = run.out.substr(nVerified);
    std::regex progress(" Writing progress: ([0-9]+) %\r");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(after.begin(), after.end(), progress), std::sregex_iterator()),
        39);
    EXPECT_NE(after.find(" Writing progress: 100 %\r Writing progress: 100 %\r\n Done."), std::string::npos)
        << after;
    // Every address written, and every address read after the last write.
    std::multiset<int> written;
    std::multiset<int> read;
    size_t nLastWrite = trace.rfind("cmd=17");
    ASSERT_NE(nLastWrite, std::string::npos);
    std::regex message("SendCommand cmd=(..) dst=02 data=\\[(..) (..) ?([^\\]]*)\\]");
    for (std::sregex_iterator at(trace.begin(), trace.end(), message), end; at != end; ++at) {
        const std::smatch& m = *at;
        int nAddress = std::stoi(m[3].str() + m[2].str(), nullptr, 16);
        bool bAfter = static_cast<size_t>(m.position(0)) > nLastWrite;
        if (m[1] == "17") {
            for (long i = 0; i < (m[4].length() + 1) / 3; i++) written.insert((nAddress + int(i)) % 0x10000);
        } else if (bAfter && m[1] == "16") {
            int nLength = std::stoi(m[4], nullptr, 16);
            EXPECT_LE(nLength, 255);
            for (int i = 0; i < nLength; i++) read.insert(nAddress + i);
        } else if (bAfter) {
            EXPECT_EQ(m[1], "F1") << "only memory reads stand between the last write and the reset";
        }
    }
    // Overlapping writes leave each address once; the read asks for each address once, 3F00 .. 402B
    // in two pieces and the run round the top of memory in two.
    std::set<int> once(written.begin(), written.end());
    EXPECT_EQ(read, std::multiset<int>(once.begin(), once.end()));
    EXPECT_NE(trace.find("cmd=16 dst=02 data=[34 52 02]"), std::string::npos)
        << "the pointer command's block";
    EXPECT_NE(trace.find("cmd=16 dst=02 data=[FE FF 02]"), std::string::npos);
    EXPECT_NE(trace.find("cmd=16 dst=02 data=[00 00 01]"), std::string::npos);
}

TEST_F(Verify, WithOverlappingResetsAKeyboardThatFailsItsReadBackIsNotResetNorWaitedFor) {
    RunOutcome run = Run("010", {"--overlap-resets", "--verify"});
    EXPECT_EQ(run.exitStatus, 167) << run.out;
    for (int i : {0, 1, 2}) {
        bool bReset = trace.find("kb" + std::to_string(i) + " SendCommand cmd=F1") != std::string::npos;
        EXPECT_EQ(bReset, i != 1) << trace;
    }
    EXPECT_EQ(run.out.find("Waiting"), std::string::npos) << "the last keyboard waits for its own reset";
    EXPECT_NE(run.out.find("\nWritten and verified: 2 of 3 keyboards; failed: device1 (167)\n"),
              std::string::npos)
        << run.out;
}

} // namespace

// A stop between two reads of the read-back leaves a log that is still a valid script: the stop is
// annotated under the read-back's own name, beside the write's result.
TEST(VerifyStop, IsAnnotatedBesideTheWriteAndTheKeyboardIsNotReset) {
    std::string dir = MakeTempDir();
    WriteFile(dir + "/k.xml",
              "<KavelSimulation><Keyboard><Controller><Version>11 01 02 03</Version></Controller>"
              "<Inject Cmd=\"16\" Count=\"1\" Signal=\"2\">11</Inject></Keyboard></KavelSimulation>");
    WriteFile(dir + "/s.kxb", "<XML_BIN_FILE>" + AnyDeviceElement() +
                                  "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"1000\">11</Data>"
                                  "<Data Address=\"2000\">22</Data></BinMemory></XML_BIN_FILE>");
    RunOutcome run =
        RunKavelwrite({"s.kxb", "--verify", "--logfile"}, {{"KAVELHID_SIMULATION", dir + "/k.xml"}}, dir);
    std::vector<std::string> logs = FindLogFiles(dir, "s.kxb");
    std::string log = logs.size() == 1 ? MaskStamps(ReadFile(dir + "/" + logs[0])) : "";
    RemoveTree(dir);
    EXPECT_EQ(run.exitStatus, 130) << run.out;
    EXPECT_NE(run.out.find(" ERROR: Interrupted - keyboard not reset."), std::string::npos) << run.out;
    EXPECT_NE(
        log.find("<Data Address=\"2000\" STAMP_device0=\"result=0\" STAMP_device0_verify=\"interrupted\">"),
        std::string::npos)
        << log;
}
