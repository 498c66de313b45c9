// kxb agrees with kavelwrite: `kxb check` passes exactly the scripts that kavelwrite's check pass
// passes and names first the node and field that kavelwrite annotates; `kxb log` reads from a log
// the outcome that kavelwrite printed for every keyboard.
#include "run_binary.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <filesystem>
#include <regex>

namespace {

const char* const kStamp = "t20261208011631";

std::vector<std::string> Matching(const std::string& dir, const std::regex& name) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        std::string path = entry.path().string();
        if (entry.is_regular_file() && std::regex_match(path.substr(dir.size()), name)) paths.push_back(path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Every script the project holds: the fuzz corpus, the examples and the end-to-end cases.
std::vector<std::string> AllScripts() {
    std::vector<std::string> scripts = Matching(FUZZ_CORPUS_DIR, std::regex("/[^/]+\\.kxb"));
    for (const std::string& path : Matching(EXAMPLES_DIR, std::regex("/[^/]+\\.kxb")))
        scripts.push_back(path);
    for (const std::string& path : Matching(E2E_CASES_DIR, std::regex("/[^/]+/script\\.kxb")))
        scripts.push_back(path);
    return scripts;
}

// A test's name from the last two parts of a path: "corpus_command_kxb", "spine_success_log_xml".
std::string TestName(const std::string& path) {
    std::filesystem::path parts(path);
    std::string name = parts.parent_path().filename().string() + "_" + parts.filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

// Line and column from 1 of a byte offset in a UTF-8 file, the column in bytes.
std::pair<int, int> LineColumn(const std::string& text, ptrdiff_t nOffset) {
    std::string before = text.substr(0, static_cast<size_t>(nOffset));
    size_t nLastBreak = before.rfind('\n');
    int nLine = 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
    int nColumn = static_cast<int>(nLastBreak == std::string::npos ? nOffset + 1 : nOffset - nLastBreak);
    return {nLine, nColumn};
}

// The element children of node.
std::vector<pugi::xml_node> Elements(pugi::xml_node node) {
    std::vector<pugi::xml_node> elements;
    for (pugi::xml_node child : node.children())
        if (child.type() == pugi::node_element) elements.push_back(child);
    return elements;
}

// The first element in document order carrying an attribute named name, with the path to it as
// positions among element siblings.
pugi::xml_node FindAnnotated(pugi::xml_node node, const std::string& name, std::vector<size_t>& path) {
    if (node.attribute(name.c_str())) return node;
    std::vector<pugi::xml_node> elements = Elements(node);
    for (size_t i = 0; i < elements.size(); i++) {
        path.push_back(i);
        pugi::xml_node found = FindAnnotated(elements[i], name, path);
        if (found) return found;
        path.pop_back();
    }
    return pugi::xml_node();
}

// The node of the script's own document at path (the log is the same document saved again).
pugi::xml_node Follow(pugi::xml_node node, const std::vector<size_t>& path) {
    for (size_t i : path) {
        std::vector<pugi::xml_node> elements = Elements(node);
        if (i >= elements.size()) return pugi::xml_node();
        node = elements[i];
    }
    return node;
}

// Where the check pass stops without an annotation: the root of a wrong name, or the first child
// of the root that is text or an element the walker does not know.
pugi::xml_node UnannotatedStop(pugi::xml_node root) {
    const std::vector<std::string> known = {"Command", "IntEep",  "IntEep_CommandPtr", "BinMemory",
                                            "Device",  "General", "DetectedDevices"};
    if (std::string(root.name()) != "XML_BIN_FILE") return root;
    for (pugi::xml_node child : root.children())
        if (std::find(known.begin(), known.end(), child.name()) == known.end()) return child;
    return pugi::xml_node();
}

class CheckAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(CheckAgreement, KxbPassesExactlyWhatKavelwritePassesAndNamesItsFirstFault) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string text = ReadFile(GetParam());
    WriteFile(dir + "/script.kxb", text);

    // No keyboard: kavelwrite stops after its check pass and saves the log.
    RunOutcome kavelwrite = RunKavelwrite({"script.kxb", "--logfile"}, {}, dir);
    RunOutcome kxb = RunKxb({"check", "--json", "script.kxb"}, {}, dir);
    SCOPED_TRACE("kavelwrite:\n" + kavelwrite.out + "kxb:\n" + kxb.out + kxb.err);
    nlohmann::json report = nlohmann::json::parse(kxb.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    const nlohmann::json& file = report["files"][0];
    const nlohmann::json first = file["findings"].empty() ? nlohmann::json() : file["findings"][0];

    if (kavelwrite.exitStatus == 169) {
        EXPECT_EQ(kxb.exitStatus, 169);
        ASSERT_FALSE(first.is_null());
        EXPECT_TRUE(first["element"].is_null()) << "a load failure names no element";
    } else if (kavelwrite.exitStatus != 160) {
        EXPECT_EQ(kxb.exitStatus, 0);
        EXPECT_TRUE(file["ok"].get<bool>());
        for (const nlohmann::json& finding : file["findings"]) EXPECT_EQ(finding["severity"], "warning");
        // The examples are what users start from: nothing in them may even look unmeant.
        if (GetParam().rfind(EXAMPLES_DIR, 0) == 0) {
            EXPECT_TRUE(file["findings"].empty());
        }
    } else {
        EXPECT_EQ(kxb.exitStatus, 160);
        EXPECT_FALSE(file["ok"].get<bool>());
        ASSERT_FALSE(first.is_null());
        EXPECT_EQ(first["severity"], "error");

        std::vector<std::string> logs = FindLogFiles(dir, "script.kxb");
        ASSERT_EQ(logs.size(), 1u);
        std::string stamp = logs[0].substr(std::string("script.kxb_").size());
        pugi::xml_document log;
        ASSERT_TRUE(log.load_file((dir + "/" + logs[0]).c_str()));
        pugi::xml_document script;
        ASSERT_TRUE(script.load_string(text.c_str()));

        std::vector<size_t> path;
        pugi::xml_node annotated = FindAnnotated(log.first_child(), stamp, path);
        pugi::xml_node expected;
        if (annotated) {
            EXPECT_EQ(first["annotation"], annotated.attribute(stamp.c_str()).value());
            expected = Follow(script.first_child(), path);
            EXPECT_STREQ(expected.name(), annotated.name());
        } else {
            EXPECT_TRUE(first["annotation"].is_null());
            expected = UnannotatedStop(script.first_child());
        }
        ASSERT_TRUE(expected) << "no node where the check pass stopped";
        std::pair<int, int> position = LineColumn(text, expected.offset_debug());
        EXPECT_EQ(first["line"], position.first);
        EXPECT_EQ(first["column"], position.second);
    }
    RemoveTree(dir);
}

// Of several scripts, one that does not load decides the status, also before one with a fault.
TEST(KxbCheckScripts, OneThatDoesNotLoadEndsWith169WhateverFollows) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/broken.kxb", "<XML_BIN_FILE>");
    WriteFile(dir + "/faulty.kxb", "<XML_BIN_FILE><Comand/></XML_BIN_FILE>");
    RunOutcome kxb = RunKxb({"check", "broken.kxb", "faulty.kxb"}, {}, dir);
    EXPECT_EQ(kxb.exitStatus, 169) << kxb.out;
    // Where the parser stopped is placed even at the very first byte.
    WriteFile(dir + "/empty.kxb", "");
    EXPECT_EQ(RunKxb({"check", "empty.kxb"}, {}, dir).out,
              "empty.kxb:1:1: error: No document element found\n");
    RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(Scripts, CheckAgreement, ::testing::ValuesIn(AllScripts()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return TestName(info.param);
                         });

// What kavelwrite printed for keyboard index: the last line of its block ("" without a block).
std::string PrintedOutcome(const std::string& stdoutText, int index) {
    std::string header = "\ndevice" + std::to_string(index) + ":";
    size_t begin = stdoutText.find(header);
    if (begin == std::string::npos) return "";
    begin += header.size();
    size_t end = stdoutText.find("\ndevice" + std::to_string(index + 1) + ":", begin);
    std::istringstream lines(
        stdoutText.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    std::string line;
    std::string last;
    while (std::getline(lines, line)) {
        // A keyboard's lines begin with a blank (after the block, top-level lines follow); the
        // stored output shows each carriage return as "<CR>" at the end of a progress line.
        if (line.rfind(' ', 0) == 0 && line.find("<CR>") == std::string::npos) last = line;
    }
    return last;
}

bool PrintedNoRecord(const std::string& line) {
    return line.rfind(" ERROR: Device open error (", 0) == 0 ||
           line.rfind(" ERROR: Modules enumeration error (", 0) == 0;
}

// The end-to-end cases that saved a log; a case whose script is itself an earlier log is left
// out: its stored log shows both runs under one masked stamp.
std::vector<std::string> CasesWithLog() {
    std::vector<std::string> cases;
    for (const std::string& log : Matching(E2E_CASES_DIR, std::regex("/[^/]+/log\\.xml"))) {
        std::string dir = log.substr(0, log.size() - std::string("/log.xml").size());
        if (!std::regex_search(ReadFile(dir + "/script.kxb"), std::regex("t[0-9]{14}"))) cases.push_back(log);
    }
    return cases;
}

class LogAgreement : public ::testing::TestWithParam<std::string> {};

TEST_P(LogAgreement, OutcomeOfEveryKeyboardIsWhatKavelwritePrinted) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string logName = "script.kxb_" + std::string(kStamp);
    const std::string caseDir = std::filesystem::path(GetParam()).parent_path().string();
    WriteFile(dir + "/" + logName, std::regex_replace(ReadFile(GetParam()), std::regex("STAMP"), kStamp));
    const std::string printed = ReadFile(caseDir + "/stdout.txt");

    RunOutcome kxb = RunKxb({"log", "--json", logName}, {}, dir);
    SCOPED_TRACE("kavelwrite printed:\n" + printed + "kxb:\n" + kxb.out + kxb.err);
    EXPECT_EQ(kxb.exitStatus, 0);
    nlohmann::json report = nlohmann::json::parse(kxb.out, nullptr, false);
    ASSERT_FALSE(report.is_discarded());
    ASSERT_EQ(report["runs"].size(), 1u);
    const nlohmann::json& run = report["runs"][0];
    EXPECT_EQ(run["stamp"], kStamp);
    bool bCheckFailed = printed.find("ERROR: Kxb file check error\n") != std::string::npos;
    EXPECT_EQ(run["check"]["ok"].get<bool>(), !bCheckFailed);

    const nlohmann::json& keyboards = run["keyboards"];
    int nPrinted = 0;
    while (!PrintedOutcome(printed, nPrinted).empty()) nPrinted++;
    EXPECT_LE(static_cast<int>(keyboards.size()), nPrinted);
    for (int i = 0; i < nPrinted; i++) {
        SCOPED_TRACE("device" + std::to_string(i));
        std::string line = PrintedOutcome(printed, i);
        if (!run["deviceElement"].get<bool>()) {
            // Without a Device element no keyboard leaves a record: not suitable or unreadable.
            EXPECT_TRUE(keyboards.empty());
            EXPECT_TRUE(line == " Device not suitable - nothing changed." ||
                        line == " ERROR: Device communication error")
                << line;
        } else if (PrintedNoRecord(line)) {
            // Listed only below the highest keyboard that left a record.
            if (i < static_cast<int>(keyboards.size())) {
                EXPECT_TRUE(keyboards[i]["outcome"].is_null());
                EXPECT_EQ(keyboards[i]["possible"], nlohmann::json({162, 163}));
            }
        } else {
            ASSERT_LT(i, static_cast<int>(keyboards.size()));
            EXPECT_EQ(keyboards[i]["outcome"], line);
        }
    }
    RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogAgreement, ::testing::ValuesIn(CasesWithLog()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return TestName(info.param);
                         });

} // namespace
