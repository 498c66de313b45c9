// The recorder and the reader of its recordings agree on every field of a call, also on what a
// library may answer that the virtual keyboard never does; a damaged line is named.
#include "hidlink.h"

#include "fake_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Recorder, WritesWhatTheReaderReadsBackAndHowTheRunEnded) {
    const std::string path = ::testing::TempDir() + "recorder-" + std::to_string(getpid()) + ".rec";
    char txtArgument[] = "it's";
    char* argv[] = {txtArgument};
    ASSERT_EQ(RecordingStart(path, "kavelwrite 0.0.4", 1, argv), 0);
    FakeDevice fake;
    // A length told back beyond the room offered, an empty answer, and a failed message.
    fake.Reply(0, {0x11, 0x22, 0x33}, 300);
    fake.Reply(0, {});
    fake.Reply(0x119);
    KavelHidDevice* keyboard = RecordingKeyboard(&fake, 3);
    std::vector<unsigned char> pData = {0x10, 0x40, 0x02};
    MessageAnswer answer;
    SendForAnswer(keyboard, MID_MSGT_CMD_RD_MEM, MID_ADDR_MASTER, pData, &answer);
    SendForAnswer(keyboard, MID_MSGT_CMD_VERSION, 4, pData, &answer);
    SendWithoutAnswer(keyboard, 0x30, MID_ADDR_MASTER, pData);
    RecordingSignalEnd(2);
    EXPECT_EQ(RecordingEnd(130, 2), 0);
    std::string text = ReadAll(path);
    std::remove(path.c_str());

    EXPECT_EQ(text.substr(0, text.find("# started")),
              "# kavelhid recording 1\n# program: kavelwrite 0.0.4\n# arguments: 'it'\\''s'\n");
    EXPECT_NE(text.find("\n# ended by signal 2\n# stopped by signal 2: exit status 130\n"),
              std::string::npos);
    std::vector<RecordedCall> calls;
    std::string sError;
    ASSERT_EQ(ReadRecording(text, &calls, &sError), 0) << sError << text;
    ASSERT_EQ(calls.size(), 3u);
    // What the program may read of the first answer: the whole room, never beyond it.
    ASSERT_EQ(calls[0].pAnswer.size(), 255u);
    EXPECT_EQ(calls[0].pAnswer[2], 0x33);
    EXPECT_TRUE(calls[0].bReported && calls[0].nReported == 300 && calls[0].nCapacity == 255);
    EXPECT_TRUE(calls[1].pAnswer.empty() && !calls[1].bReported && calls[1].bCapacity);
    EXPECT_EQ(calls[1].dst, 4);
    EXPECT_TRUE(!calls[2].bAnswerAsked && !calls[2].bCapacity && calls[2].nStatus == 0x119);
    EXPECT_EQ(calls[2].pData, pData);
    EXPECT_EQ(calls[2].nKeyboard, 3);
}

TEST(ReadRecording, NamesTheFirstLineThatIsNoCall) {
    const struct {
        const char* txtText;
        int nLine;
    } cases[] = {
        {"0 Enumerate count=1\n0 kb0 Open -> 0\n0 kb0 SendCommand cmd=17 dst=02 data=[00 10] -> 0\n", 0},
        {"0 kb0 Open -> 00\n", 1},                                            // a status with a leading zero
        {"# comment\n0 kb0 SendCommand cmd=17 dst=02 data=[00 1] -> 0\n", 2}, // a byte of one digit
        {"0 kb0 SendCommand cmd=f7 dst=02 data=[] -> 0 answer=[]\n", 1},      // lower-case hex
        {"0 kb0 Answer capacity=255\n0 kb1 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[]\n", 1},
        {"0 kb0 Answer capacity=255\n0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0\n", 1},
        {"0 kb0 Open -> 0\n0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[1", 0}, // cut off by a kill
        {"-1 Enumerate count=1\n", 1},
    };
    for (const auto& c : cases) {
        std::vector<RecordedCall> calls;
        std::string sError;
        EXPECT_EQ(ReadRecording(c.txtText, &calls, &sError), c.nLine) << c.txtText;
    }
}

} // namespace
