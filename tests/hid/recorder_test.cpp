// The recorder and the reader of its recordings agree on every field of a call, also on what a
// library may answer that the virtual keyboard never does; the recorder replaces only a recording.
#include "hidlink.h"
#include "recording.h"

#include "fake_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

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
    Recording recording;
    std::string sError;
    ASSERT_EQ(RecordingRead(text, &recording, &sError), 0) << sError << text;
    EXPECT_EQ(RecordingIncompleteText(recording), "");
    const std::vector<RecordedCall>& calls = recording.calls;
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

TEST(Recorder, ReplacesOnlyAnEmptyFileOrARecording) {
    const std::string path = ::testing::TempDir() + "recorder-replace-" + std::to_string(getpid());
    char* argv[] = {nullptr};
    const struct {
        const char* txtBefore;
        int nStatus;
    } cases[] = {
        {"", 0},
        {"# kavelhid recording 1\n0 Release\n", 0},
        {"# kavelhid recording 2\n", 0},
        {"<XML_BIN_FILE/>\n", RECORDING_NOT_A_RECORDING},
        {"0 Enumerate count=1\n", RECORDING_NOT_A_RECORDING}, // a trace: another program's output
        {"# kavelhid", RECORDING_NOT_A_RECORDING},
    };
    for (const auto& c : cases) {
        std::ofstream(path) << c.txtBefore;
        EXPECT_EQ(RecordingStart(path, "kavelwrite 0.0.4", 0, argv), c.nStatus) << c.txtBefore;
        RecordingEnd(0, 0);
        std::string text = ReadAll(path);
        if (c.nStatus == 0) {
            EXPECT_EQ(text.substr(0, text.find('\n') + 1), "# kavelhid recording 1\n") << c.txtBefore;
        } else {
            EXPECT_EQ(text, c.txtBefore);
        }
    }
    std::remove(path.c_str());
    EXPECT_EQ(RecordingErrorText("x.kxb", RECORDING_NOT_A_RECORDING),
              "Recording file error: x.kxb: not a recording: it would be replaced");
}

TEST(Recorder, RefusesAPipeThatNoProgramReads) {
    const std::string path = ::testing::TempDir() + "recorder-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    char* argv[] = {nullptr};
    EXPECT_EQ(RecordingStart(path, "kavelwrite 0.0.4", 0, argv), RECORDING_NO_READER);
    std::remove(path.c_str());
}

} // namespace
