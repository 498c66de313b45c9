// The writer: every kind of line, byte for byte, as the trace and the recorder write them.
#include "recording.h"

#include <gtest/gtest.h>

namespace {

TEST(RecordingWrite, CallLinesWithoutData) {
    std::string sLines;
    RecordingAppendEnumerate(&sLines, 0, 2);
    RecordingAppendEnumerate(&sLines, 1234, -1);
    RecordingAppendKeyboardCall(&sLines, CALL_OPEN, 7, 0, 0);
    RecordingAppendKeyboardCall(&sLines, CALL_OPEN, 7, 12, -1);
    RecordingAppendKeyboardCall(&sLines, CALL_ENUMERATE_MODULES, 8, 1, 0x119);
    RecordingAppendKeyboardCall(&sLines, CALL_CLOSE, 9, 1, 5);
    const int arVersion[3] = {-2, 0, 31};
    RecordingAppendLibraryVersion(&sLines, 0, arVersion, -1);
    RecordingAppendRelease(&sLines, 10);
    EXPECT_EQ(sLines,
              "0 Enumerate count=2\n1234 Enumerate count=-1\n7 kb0 Open -> 0\n7 kb12 Open -> ffffffff\n"
              "8 kb1 EnumerateModules -> 119\n9 kb1 Close -> 5\n0 LibraryVersion -2.0.31 -> ffffffff\n"
              "10 Release\n");
}

struct SendCase {
    unsigned char cmd;
    unsigned char dst;
    std::vector<unsigned char> pData;
    int nStatus;
    bool bAnswerAsked;
    std::vector<unsigned char> pAnswer;
    const char* txtLine;
};

TEST(RecordingWrite, SendCommandLineShowsAnswerOnlyWhenAsked) {
    // clang-format off
    const SendCase cases[] = {
        {0xF7, 0x02, {}, 0, true, {0x11, 0x01, 0x02, 0x03},
         "5 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01 02 03]\n"},
        {0x17, 0x02, {0x10, 0x40, 0x01}, 0, false, {}, "5 kb0 SendCommand cmd=17 dst=02 data=[10 40 01] -> 0\n"},
        {0x16, 0x22, {0x00, 0x10, 0x04}, 0x102, true, {},
         "5 kb0 SendCommand cmd=16 dst=22 data=[00 10 04] -> 102 answer=[]\n"},
        {0x0a, 0x04, {0xab}, -1, false, {}, "5 kb0 SendCommand cmd=0A dst=04 data=[AB] -> ffffffff\n"},
    };
    // clang-format on
    for (const SendCase& c : cases) {
        std::string sLine;
        RecordingAppendSendCommand(&sLine, 5, 0, c.cmd, c.dst, c.pData.data(), c.pData.size(), c.nStatus,
                                   c.bAnswerAsked, c.pAnswer.data(), c.pAnswer.size());
        EXPECT_EQ(sLine, c.txtLine);
    }
}

TEST(RecordingWrite, AnswerLineSaysTheReportedLengthOnlyWhereItIsNotWhatWasDelivered) {
    const struct {
        int nCapacity;
        int nReported;
        const char* txtLine;
    } cases[] = {
        {255, 4, "3 kb2 Answer capacity=255\n"},
        {2, 5, "3 kb2 Answer capacity=2 reported=5\n"},
        {8, -1, "3 kb2 Answer capacity=8 reported=-1\n"},
        {0, 0, "3 kb2 Answer capacity=0\n"},
    };
    for (const auto& c : cases) {
        std::string sLine;
        RecordingAppendAnswer(&sLine, 3, 2, c.nCapacity, c.nReported);
        EXPECT_EQ(sLine, c.txtLine);
    }
}

TEST(RecordingWrite, HeaderAndEndLines) {
    std::string sLines;
    RecordingAppendHeader(&sLines, "kxb 0.0.4 verify", " verify s.kxb", "2026-12-09T04:09:18Z");
    RecordingAppendEnd(&sLines, 0, 0);
    RecordingAppendEnd(&sLines, 130, 2);
    EXPECT_EQ(sLines, "# kavelhid recording 1\n# program: kxb 0.0.4 verify\n# arguments: verify s.kxb\n"
                      "# started: 2026-12-09T04:09:18Z\n# ended: exit status 0\n"
                      "# stopped by signal 2: exit status 130\n");
}

} // namespace
