// Scripts that a careless editor or a hostile generator could produce: every one must end in a
// load error (169), a check error (160) or a normal run, never in a crash, a runaway file or a
// read of anything outside the script.
#include "run_binary.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

namespace {

const std::string kLoadError = "ERROR: Kxb file load error: ";
const std::string kCheckError = "ERROR: Kxb file check error";
const std::string kPass = "Kxb file check: Pass";

std::string Nested(const std::string& name, long nLevels, const std::string& inner = "") {
    std::string text;
    text.reserve(static_cast<size_t>(nLevels) * (2 * name.size() + 5) + inner.size());
    for (long i = 0; i < nLevels; i++) text += "<" + name + ">";
    text += inner;
    for (long i = 0; i < nLevels; i++) text += "</" + name + ">";
    return text;
}

std::string Script(const std::string& body) {
    return "<XML_BIN_FILE><General/>" + body + "</XML_BIN_FILE>\n";
}

struct Hostile : public ::testing::Test {
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        script = dir + "/script.kxb";
    }
    void TearDown() override { RemoveTree(dir); }
    RunOutcome Run(const RunLimits& limits = RunLimits()) {
        RunOutcome run = RunKavelwrite({script, "--logfile"}, {}, dir, limits);
        EXPECT_EQ(run.signal, 0) << "kavelwrite was killed by a signal";
        EXPECT_EQ(run.err, "");
        return run;
    }
    void ExpectLoadError(const RunOutcome& run) {
        EXPECT_EQ(run.exitStatus, 169);
        EXPECT_NE(run.out.find(kLoadError + script + "\n"), std::string::npos) << run.out;
        EXPECT_TRUE(FindLogFiles(dir, "script.kxb").empty()) << "a load error writes no log file";
    }
    // Reads the one log of the last run and removes it: log names carry the second of the run,
    // so two runs in one test may or may not share a name.
    std::string Log() {
        std::vector<std::string> logs = FindLogFiles(dir, "script.kxb");
        EXPECT_EQ(logs.size(), 1u);
        std::string text = logs.empty() ? std::string() : ReadFile(dir + "/" + logs[0]);
        for (const std::string& log : logs) std::remove((dir + "/" + log).c_str());
        return text;
    }
    std::string dir;
    std::string script;
};

TEST_F(Hostile, FilesThatAreNoXmlDocumentAreLoadErrors) {
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"empty file", ""},
        {"white space only", " \n\t\n"},
        {"binary garbage", std::string("\x00\xff\xfe\x01<\x02\x80\x7f", 8) + std::string(4096, '\xa5')},
        {"unclosed root", "<XML_BIN_FILE><General>"},
        {"two roots are fine for pugixml but text only is not", "just text"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(script, c.content);
        ExpectLoadError(Run());
    }
}

TEST_F(Hostile, ADirectoryInPlaceOfTheScriptIsALoadError) {
    ASSERT_EQ(mkdir(script.c_str(), 0755), 0);
    ExpectLoadError(Run());
}

TEST_F(Hostile, AnUnreadableScriptIsALoadError) {
    WriteFile(script, Script(""));
    ASSERT_EQ(chmod(script.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    RunLimits limits;
    limits.asNobody = true; // root reads any file, whatever its permissions
    RunOutcome run = Run(limits);
    if (run.exitStatus == 127 && run.out.empty())
        GTEST_SKIP() << "kavelwrite cannot be run as user nobody here";
    EXPECT_EQ(run.exitStatus, 169);
    EXPECT_NE(run.out.find(kLoadError + script + "\n"), std::string::npos) << run.out;
}

TEST_F(Hostile, Utf16WithByteOrderMarkLoadsAndPasses) {
    std::string text = Script("<Command><DST>F</DST><CMD>30</CMD><Data>01 02</Data></Command>");
    std::string utf16 = "\xff\xfe"; // little endian byte order mark
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    WriteFile(script, utf16);
    RunOutcome run = Run();
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_NE(run.out.find(kPass), std::string::npos);
    EXPECT_NE(Log().find("<CMD>30</CMD>"), std::string::npos);
}

TEST_F(Hostile, NestingIsAcceptedUpToSixtyFourLevels) {
    // The root is level 1 and General level 2: 62 more levels inside General make 64.
    WriteFile(script, "<XML_BIN_FILE><General>" + Nested("x", 62, "deep") + "</General></XML_BIN_FILE>");
    RunOutcome run = Run();
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_NE(Log().find("deep"), std::string::npos);

    WriteFile(script, "<XML_BIN_FILE><General>" + Nested("x", 63, "deep") + "</General></XML_BIN_FILE>");
    ExpectLoadError(Run());
}

TEST_F(Hostile, AMillionLevelsAreRefusedWithoutFillingTheDisk) {
    WriteFile(script, Script(Nested("General", 1000000)));
    RunLimits limits;
    // A regression would write a log of hundreds of gigabytes; the limit stops it at 64 MB.
    limits.fileSizeLimit = 64LL << 20;
    ExpectLoadError(Run(limits));
}

TEST_F(Hostile, HugeNumbersAndTextsAreCheckErrorsOrWork) {
    WriteFile(script, Script("<Command><DST>" + std::string(10000, 'F') + "</DST><CMD>1</CMD></Command>"));
    RunOutcome run = Run();
    EXPECT_EQ(run.exitStatus, 160);
    EXPECT_NE(run.out.find(kCheckError), std::string::npos);
    EXPECT_NE(MaskStamps(Log()).find("STAMP=\"PARSE_ERROR:DST\""), std::string::npos);

    std::string data;
    data.reserve(10 << 20);
    while (data.size() + 3 <= (10u << 20)) data += "A5 ";
    WriteFile(script, Script("<Command><DST>F</DST><CMD>1</CMD><Data>" + data + "</Data></Command>"));
    run = Run();
    EXPECT_EQ(run.exitStatus, 0) << run.out.substr(0, 500);
    EXPECT_NE(run.out.find(kPass), std::string::npos);
}

TEST_F(Hostile, EntitiesAreNeitherExpandedNorFetched) {
    std::string dtd = "<?xml version=\"1.0\"?>\n<!DOCTYPE XML_BIN_FILE [\n"
                      "<!ENTITY lol \"lol\">\n"
                      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n";
    for (int i = 2; i <= 9; i++) {
        std::string previous = "&lol" + std::to_string(i - 1) + ";";
        std::string ten;
        for (int j = 0; j < 10; j++) ten += previous;
        dtd += "<!ENTITY lol" + std::to_string(i) + " \"" + ten + "\">\n";
    }
    dtd += "<!ENTITY secret SYSTEM \"file:///etc/passwd\">\n]>\n";

    WriteFile(script, dtd + Script("<General>&lol9;</General>"));
    RunOutcome run = Run();
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    std::string log = Log();
    EXPECT_LT(log.size(), 4096u) << "an entity was expanded";
    EXPECT_LT(run.peakRssKb, 64 * 1024);

    WriteFile(script, dtd + Script("<Command><DST>F</DST><CMD>1</CMD><Data>&secret;</Data></Command>"));
    run = Run();
    EXPECT_EQ(run.exitStatus, 160);
    log = Log();
    EXPECT_EQ(log.find("root:"), std::string::npos) << "a file outside the script was read";
    EXPECT_NE(MaskStamps(log).find("STAMP=\"PARSE_ERROR:Data\""), std::string::npos);
}

TEST_F(Hostile, AHundredMegabyteScriptIsCheckedInBoundedMemory) {
    // Commands whose data blocks cycle through 16 to 256 bytes, as generated setting scripts have.
    std::vector<std::string> elements;
    for (int nBytes = 16; nBytes <= 256; nBytes += 16) {
        std::string data;
        for (int i = 0; i < nBytes; i++) data += (i ? " " : "") + std::string("5A");
        elements.push_back("<Command><DST>F</DST><CMD>30</CMD><Data>" + data + "</Data></Command>\n");
    }
    const size_t nSize = 100u << 20;
    {
        std::ofstream out(script, std::ios::binary);
        out << "<XML_BIN_FILE>\n";
        size_t written = 0;
        for (size_t i = 0; written < nSize; i++) {
            const std::string& element = elements[i % elements.size()];
            out << element;
            written += element.size();
        }
        out << "</XML_BIN_FILE>\n";
    }
    RunOutcome run = RunKavelwrite({script}, {}, dir);
    EXPECT_EQ(run.exitStatus, 0) << run.out;
    EXPECT_NE(run.out.find(kPass), std::string::npos);
    long nScriptKb = static_cast<long>(nSize >> 10);
    std::cout << "[ MEMORY   ] check pass of a " << (nSize >> 20) << " MB script: peak "
              << run.peakRssKb / 1024 << " MB (" << (100 * run.peakRssKb / nScriptKb) << " % of the file)"
              << std::endl;
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed memory and guard zones of its own: its figure is not the
    // program's.
    GTEST_SKIP() << "peak memory is not measured under the address sanitizer";
#endif
    EXPECT_LT(run.peakRssKb, 4 * nScriptKb);
}

} // namespace
