// The one reader of recordings and traces: every kind of line, and one table of damaged and
// altered recordings, each with its verdict, as the replay and kxb twin both get it.
#include "recording.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string H = "# kavelhid recording 1\n# program: kavelwrite 0.0.4\n";
const std::string E = "# ended: exit status 0\n";
const std::string SEND = "0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[11 01]\n";
const std::string HEADER_EXPECTED =
    "line 1: expected the header \"# kavelhid recording 1\" or a call line, found ";
const std::string NOT_FOLLOWED =
    "line 1: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer";
const std::string NOT_FOLLOWED_3 =
    "line 3: the Answer line is not followed by a SendCommand line of kb0 that asks for an answer";

TEST(RecordingRead, ReadsEveryKindOfLineAndSkipsComments) {
    const std::string sText = H +
                              "0 LibraryVersion -2.0.31 -> ffffffff\n"
                              "0 Enumerate count=-1\n"
                              "12 kb3 Open -> 119\n"
                              "12 kb3 EnumerateModules -> 0\n"
                              "13 kb3 Answer capacity=4 reported=-2\n"
                              "13 kb3 SendCommand cmd=F7 dst=0A data=[00 10 FF] -> 0 answer=[]\n"
                              "14 kb3 SendCommand cmd=17 dst=02 data=[] -> a0f\n"
                              "15 kb3 Close -> 5\n"
                              "15 Release\n" +
                              E;
    Recording recording;
    std::string sError;
    ASSERT_EQ(RecordingRead(sText, &recording, &sError), 0) << sError;
    EXPECT_TRUE(recording.bHeader && recording.bExtended && recording.bEnded && !recording.bCut);
    EXPECT_EQ(RecordingProgramName(recording), "kavelwrite");
    const std::vector<RecordedCall>& calls = recording.calls;
    ASSERT_EQ(calls.size(), 8u);
    const int arKinds[] = {CALL_LIBRARY_VERSION, CALL_ENUMERATE,    CALL_OPEN,  CALL_ENUMERATE_MODULES,
                           CALL_SEND_COMMAND,    CALL_SEND_COMMAND, CALL_CLOSE, CALL_RELEASE};
    for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].nKind, arKinds[i]) << i;
    EXPECT_EQ(std::vector<int>(calls[0].arVersion, calls[0].arVersion + 3), (std::vector<int>{-2, 0, 31}));
    EXPECT_EQ(calls[0].nStatus, -1);
    EXPECT_EQ(calls[1].nCount, -1);
    EXPECT_EQ(calls[2].nKeyboard, 3);
    EXPECT_EQ(calls[2].nStatus, 0x119);
    const RecordedCall& answered = calls[4];
    EXPECT_EQ(answered.nLine, 8u);
    EXPECT_EQ(RecordingLine(recording, answered),
              "13 kb3 SendCommand cmd=F7 dst=0A data=[00 10 FF] -> 0 answer=[]");
    EXPECT_EQ(answered.cmd, 0xF7);
    EXPECT_EQ(answered.dst, 0x0A);
    EXPECT_EQ(answered.pData, (std::vector<unsigned char>{0x00, 0x10, 0xFF}));
    EXPECT_TRUE(answered.bAnswerAsked && answered.bCapacity && answered.bReported);
    EXPECT_EQ(answered.nCapacity, 4);
    EXPECT_EQ(answered.nReported, -2);
    EXPECT_FALSE(calls[5].bAnswerAsked || calls[5].bCapacity);
    EXPECT_EQ(calls[5].nStatus, 0xA0F);
    EXPECT_EQ(calls[6].nStatus, 5);
    // Each call line reads back as the writer writes it.
    for (const RecordedCall& call : calls) {
        std::string sWritten;
        RecordingAppendCall(&sWritten, call);
        EXPECT_EQ(sWritten, std::string(RecordingLine(recording, call)) + "\n");
    }

    // A trace has no header and none of the lines that only a recording holds.
    ASSERT_EQ(RecordingRead("0 Enumerate count=1\n0 kb0 Open -> 0\n", &recording, &sError), 0) << sError;
    EXPECT_FALSE(recording.bExtended || recording.bHeader);
    EXPECT_EQ(RecordingIncompleteText(recording), "");
}

struct ReadCase {
    std::string sText;
    std::string sError;      // empty: the recording is read
    std::size_t nCalls;      // the calls read
    std::string sIncomplete; // what a reader says of how it ends
};

const std::string NO_END = "the recording has no line saying how its run ended; its last whole line is line ";
const std::string CUT = "the recording is cut off after its last whole line, line ";

// Every case with its verdict: the error (with the line at fault), or the calls read and what is
// said of a recording that does not end as a whole run's does.
const ReadCase READ_CASES[] = {
    // The header, and how a plain trace is told apart: its first line is a call line.
    {H + "0 Release\n" + E, "", 1, ""},
    {"0 Release\n", "", 1, ""},
    {"0 Release\n# ended: exit status 0\n", "", 1, ""},
    {"# kavelhid recording 2\n0 Release\n",
     "line 1: a newer recording format, version 2: this program reads version 1", 0, ""},
    {"# kavelhid recording 99999999999999999999\n",
     "line 1: a newer recording format, version 99999999999999999999: this program reads version 1", 0, ""},
    {"# kavelhid recording 0\n0 Release\n", HEADER_EXPECTED + "\"# kavelhid recording 0\"", 0, ""},
    {"# kavelhid recording 01\n0 Release\n", HEADER_EXPECTED + "\"# kavelhid recording 01\"", 0, ""},
    {"# comment\n0 Release\n", HEADER_EXPECTED + "\"# comment\"", 0, ""},
    {"hello\n", HEADER_EXPECTED + "\"hello\"", 0, ""},
    {"-1 Enumerate count=1\n", HEADER_EXPECTED + "\"-1 Enumerate count=1\"", 0, ""},
    {"", HEADER_EXPECTED + "the end of the file", 0, ""},
    {"\xEF\xBB\xBF", HEADER_EXPECTED + "the end of the file", 0, ""},
    {"\n \n", HEADER_EXPECTED + "no line", 0, ""},
    {"0 kb0 Op", HEADER_EXPECTED + "a line cut off", 0, ""},
    // What mail and editors do is read as if it were not there.
    {"\xEF\xBB\xBF" + H + "0 Release\n" + E, "", 1, ""},
    {"# kavelhid recording 1\r\n0 kb0 Open -> 0\r\n0 Release\r\n# ended: exit status 0\r\n", "", 2, ""},
    {H + "0 kb0 Open -> 0 \t\n0 Release  \n" + E + "\n\n  \n\r\n", "", 2, ""},
    {H + "\n0 Release\n" + E, "line 3: not a call line, a comment or an Answer line: \"\"", 0, ""},
    {"0 kb0 SendCommand cmd=f7 dst=02 data=[] -> 0 answer=[]\n",
     "line 1: SendCommand: cmd is not two uppercase hex digits: \"f7\"", 0, ""},
    {"0 kb0 Open -> 0\r\r\n0 kb0 Open\t-> 0\n",
     "line 2: not a call line, a comment or an Answer line: \"0 kb0 Open\\x09-> 0\"", 0, ""},
    // A recording that a stopped run left: read as far as its last whole line, and said so.
    {H + "0 Enumerate count=1\n", "", 1, NO_END + "3"},
    {H + "0 Enumerate count=1\n" + E + "0 kb0 Open -> 0\n", "", 2, NO_END + "5"},
    {H + "0 Enumerate count=1\n0 kb0 Op", "", 1, CUT + "3"},
    {"0 Enumerate count=1\nnot a line at all", "", 1, CUT + "1"},
    {H + "0 Enumerate count=1\n" + E.substr(0, E.size() - 1), "", 1, CUT + "3"},
    // The cut-off call takes its Answer line with it.
    {H + "0 Enumerate count=1\n0 kb0 Answer capacity=5\n0 kb0 SendCommand cmd=F7", "", 1, CUT + "4"},
    // An Answer line belongs to the SendCommand line right after it, which shows what it lets through.
    {"0 kb0 Answer capacity=5\n", NOT_FOLLOWED, 0, ""},
    {H + "0 kb0 Answer capacity=5\n\n\n", NOT_FOLLOWED_3, 0, ""},
    {"0 kb0 Answer capacity=5\n# note\n" + SEND, NOT_FOLLOWED, 0, ""},
    {H + "0 kb0 Answer capacity=5\n# ended by signal 2\n", NOT_FOLLOWED_3, 0, ""},
    {"0 kb0 Answer capacity=5\n0 kb1 SendCommand cmd=F7 dst=02 data=[] -> 0 answer=[]\n", NOT_FOLLOWED, 0,
     ""},
    {"0 kb0 Answer capacity=5\n0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0\n", NOT_FOLLOWED, 0, ""},
    {"0 kb0 Answer capacity=5\n0 kb0 Answer capacity=5\n" + SEND, NOT_FOLLOWED, 0, ""},
    {"0 kb0 Answer capacity=1\n" + SEND,
     "line 1: the answer on the next line holds 2 bytes, not the 1 that capacity=1 deliver", 0, ""},
    {"0 kb0 Answer capacity=9 reported=1\n" + SEND,
     "line 1: the answer on the next line holds 2 bytes, not the 1 that capacity=9 and reported=1 deliver", 0,
     ""},
    {"0 kb0 Answer capacity=9 reported=-3\n" + SEND,
     "line 1: the answer on the next line holds 2 bytes, not the 0 that capacity=9 and reported=-3 deliver",
     0, ""},
    {"0 kb0 Answer capacity=2 reported=5\n" + SEND, "", 1, ""},
    {"0 kb0 Answer size=5\n", "line 1: Answer: expected capacity=, found \"size=5\"", 0, ""},
    // A station holds at most 4096 keyboards.
    {"0 Enumerate count=4096\n0 kb4095 Open -> 0\n", "", 2, ""},
    {"0 Enumerate count=4097\n",
     "line 1: Enumerate: count is beyond the 4096 keyboards a station holds: \"4097\"", 0, ""},
    {"0 kb4096 Open -> 0\n",
     "line 1: Open: the keyboard index is beyond the 4096 keyboards a station holds: \"4096\"", 0, ""},
    // Every field exactly as the writer writes it.
    {"0 Enumerate count=1\nhello\n", "line 2: not a call line, a comment or an Answer line: \"hello\"", 0,
     ""},
    {"0 kb0 Opne -> 0\n", "line 1: not a call line, a comment or an Answer line: \"0 kb0 Opne -> 0\"", 0, ""},
    {"01 Release\n", "line 1: the time is not a decimal number as the trace writes it: \"01\"", 0, ""},
    {"99999999999999999999 Release\n", "line 1: the time is out of range: \"99999999999999999999\"", 0, ""},
    {"0 Release x\n", "line 1: Release: unexpected text after the call: \" x\"", 0, ""},
    {"0 Enumerate count=-0\n",
     "line 1: Enumerate: count is not a decimal number as the trace writes it: \"-0\"", 0, ""},
    {"0 Enumerate count=2147483648\n", "line 1: Enumerate: count is out of range: \"2147483648\"", 0, ""},
    {"0 Enumerate counts=1\n", "line 1: Enumerate: expected count=, found \"counts=1\"", 0, ""},
    {"0 kb01 Open -> 0\n",
     "line 1: Open: the keyboard index is not a decimal number as the trace writes it: \"01\"", 0, ""},
    {"0 kb0 Open -> 0x1\n", "line 1: Open: the status is not lowercase hex without leading zeros: \"0x1\"", 0,
     ""},
    {"0 kb0 Open -> 00\n", "line 1: Open: the status is not lowercase hex without leading zeros: \"00\"", 0,
     ""},
    {"0 kb0 Close -> FF\n", "line 1: Close: the status is not lowercase hex without leading zeros: \"FF\"", 0,
     ""},
    {"0 kb0 EnumerateModules -> 100000000\n",
     "line 1: EnumerateModules: the status is out of range: \"100000000\"", 0, ""},
    {"0 kb0 Open => 0\n", "line 1: Open: expected ->, found \"=>\"", 0, ""},
    {"0 kb0 Open ->\n", "line 1: Open: expected a status, found the end of the line", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=2 data=[] -> 0\n",
     "line 1: SendCommand: dst is not two uppercase hex digits: \"2\"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[0a] -> 0\n",
     "line 1: SendCommand: data is not a byte list in uppercase hex: \"0a\"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[00 1] -> 0\n",
     "line 1: SendCommand: data is not a byte list in uppercase hex: \"00 1\"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[AA  BB] -> 0\n",
     "line 1: SendCommand: data is not a byte list in uppercase hex: \"AA  BB\"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[AA ] -> 0\n",
     "line 1: SendCommand: data is not a byte list in uppercase hex: \"AA \"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[AA -> 0\n",
     "line 1: SendCommand: data does not end with ] before a blank or the line's end", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 -> 0\n", "line 1: SendCommand: expected data=[, found \"->\"", 0, ""},
    {"0 kb0 SendCommand cmd=F7 dst=02 data=[] -> 0 reply=[]\n",
     "line 1: SendCommand: expected answer=[, found \"reply=[]\"", 0, ""},
    {"0 LibraryVersion 1.2 -> 0\n",
     "line 1: LibraryVersion: the version is not three decimal numbers a.b.c: \"1.2\"", 0, ""},
    {"0 LibraryVersion 1.2.+3 -> 0\n",
     "line 1: LibraryVersion: a part of the version is not a decimal number as the trace writes it: \"+3\"",
     0, ""},
};

TEST(RecordingRead, EachDamagedOrAlteredRecordingGetsItsVerdict) {
    for (const ReadCase& c : READ_CASES) {
        Recording recording;
        std::string sError;
        int nLine = RecordingRead(c.sText, &recording, &sError);
        if (!c.sError.empty()) {
            EXPECT_EQ(sError, c.sError) << c.sText;
            // The number returned is the line the message names.
            EXPECT_EQ("line " + std::to_string(nLine) + ":", c.sError.substr(0, c.sError.find(':') + 1))
                << c.sText;
            EXPECT_TRUE(recording.calls.empty()) << c.sText;
            continue;
        }
        EXPECT_EQ(nLine, 0) << c.sText << ": " << sError;
        EXPECT_EQ(recording.calls.size(), c.nCalls) << c.sText;
        EXPECT_EQ(RecordingIncompleteText(recording), c.sIncomplete) << c.sText;
    }
}

TEST(RecordingRead, AlteredCopyReadsAsTheOriginal) {
    const std::string sOriginal =
        H + "0 kb0 Answer capacity=2 reported=5\n" + SEND + "3 kb0 Close -> 0\n" + E;
    std::string sAltered = "\xEF\xBB\xBF";
    for (char c : sOriginal) sAltered += c == '\n' ? std::string(" \r\n") : std::string(1, c);
    Recording original;
    Recording altered;
    std::string sError;
    ASSERT_EQ(RecordingRead(sOriginal, &original, &sError), 0) << sError;
    ASSERT_EQ(RecordingRead(sAltered + "\r\n\r\n", &altered, &sError), 0) << sError;
    ASSERT_EQ(altered.calls.size(), original.calls.size());
    for (std::size_t i = 0; i < original.calls.size(); i++) {
        EXPECT_EQ(RecordingLine(altered, altered.calls[i]), RecordingLine(original, original.calls[i]));
        EXPECT_EQ(altered.calls[i].nLine, original.calls[i].nLine);
        EXPECT_EQ(altered.calls[i].nReported, original.calls[i].nReported);
    }
    EXPECT_EQ(RecordingIncompleteText(altered), "");
}

TEST(RecordingRead, ProgramNameIsTheNameAndTheVerb) {
    const std::pair<const char*, const char*> cases[] = {
        {"kavelwrite 0.0.4", "kavelwrite"},
        {"kxb 0.0.4 verify", "kxb verify"},
        {"kxb 0.0.4", "kxb"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Recording recording;
        recording.sProgram = c.first;
        EXPECT_EQ(RecordingProgramName(recording), c.second);
    }
}

TEST(RecordingRead, QuoteShowsControlCharactersAndCutsLongText) {
    EXPECT_EQ(RecordingQuote("a\tb", 10), "\"a\\x09b\"");
    EXPECT_EQ(RecordingQuote(std::string(300, 'A'), 200), "\"" + std::string(200, 'A') + "...\"");
}

TEST(RecordingLoadFile, RefusesAFolderAnEmptyFileAndAMissingOne) {
    const std::string sDir = ::testing::TempDir() + "recording-load-" + std::to_string(getpid());
    const std::string sEmpty = sDir + ".empty";
    std::ofstream(sEmpty).close();
    ASSERT_EQ(mkdir(sDir.c_str(), 0700), 0);
    const std::pair<std::string, std::string> cases[] = {
        {sDir, "cannot read the recording: Is a directory"},
        {sEmpty, "the recording is empty"},
        {sDir + "/absent", "cannot open the recording: No such file or directory"},
    };
    for (const auto& c : cases) {
        Recording recording;
        std::string sError;
        EXPECT_NE(RecordingLoadFile(c.first, &recording, &sError), 0) << c.first;
        EXPECT_EQ(sError, c.second);
    }
    rmdir(sDir.c_str());
    std::remove(sEmpty.c_str());
}

} // namespace
