// The schema that the build writes agrees with kxb check: every script the project holds that kxb
// check passes without a word is valid against it, every script it rejects draws an error or a
// warning, and what kavelwrite and kxb write themselves (log files, backups) is valid.
#include "run_binary.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <regex>

namespace {

const char* const XMLLINT = "/usr/bin/xmllint";

// The files with a name ending in sSuffix below dir, sorted.
std::vector<std::string> FilesBelow(const std::string& dir, const std::string& sSuffix) {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string path = entry.path().string();
        if (entry.is_regular_file() && path.size() >= sSuffix.size() &&
            path.compare(path.size() - sSuffix.size(), sSuffix.size(), sSuffix) == 0)
            paths.push_back(path);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Whether xmllint validates each file against the built schema.
std::vector<bool> SchemaValid(const std::vector<std::string>& files, const std::string& dir = "/") {
    std::vector<std::string> args = {"--noout", "--schema", KXB_SCHEMA};
    args.insert(args.end(), files.begin(), files.end());
    RunOutcome run = RunProgram(XMLLINT, args, {}, dir);
    std::vector<bool> valid;
    for (const std::string& file : files)
        valid.push_back(run.err.find(file + " validates\n") != std::string::npos);
    return valid;
}

// What kxb check says of each file: passes (no error), and the number of its warnings.
struct Checked {
    bool bPasses = false;
    size_t nWarnings = 0;
};

std::vector<Checked> KxbChecked(const std::vector<std::string>& files, const std::string& dir = "/") {
    std::vector<std::string> args = {"check", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    nlohmann::json report = nlohmann::json::parse(RunKxb(args, {}, dir).out, nullptr, false);
    std::vector<Checked> checked(files.size());
    for (size_t i = 0; i < files.size() && !report.is_discarded() && i < report["files"].size(); ++i) {
        checked[i].bPasses = report["files"][i]["ok"].get<bool>();
        for (const nlohmann::json& finding : report["files"][i]["findings"])
            checked[i].nWarnings += finding["severity"] == "warning" ? 1 : 0;
    }
    return checked;
}

} // namespace

// Every script of the examples, the end-to-end cases, the fuzz corpus and the recordings: one that
// kxb check passes without a warning is valid; one that the schema rejects fails the check or
// draws a warning.
TEST(Schema, AgreesWithKxbCheckOnEveryScriptOfTheProject) {
    std::vector<std::string> scripts = FilesBelow(EXAMPLES_DIR, ".kxb");
    for (const std::string& dir :
         {std::string(E2E_CASES_DIR), std::string(FUZZ_CORPUS_DIR), std::string(RECORDINGS_DIR)}) {
        for (const std::string& path : FilesBelow(dir, ".kxb")) {
            const std::string name = std::filesystem::path(path).filename().string();
            if (dir == FUZZ_CORPUS_DIR || name.rfind("script", 0) == 0) scripts.push_back(path);
        }
    }
    ASSERT_GT(scripts.size(), 80u);
    std::vector<Checked> checked = KxbChecked(scripts);
    std::vector<bool> valid = SchemaValid(scripts);
    int nClean = 0, nWarned = 0, nFailed = 0, nCleanValid = 0, nWarnedValid = 0, nFailedValid = 0;
    for (size_t i = 0; i < scripts.size(); ++i) {
        const bool bClean = checked[i].bPasses && checked[i].nWarnings == 0;
        EXPECT_TRUE(!bClean || valid[i]) << scripts[i] << " passes kxb check without a word but is not valid";
        if (bClean) {
            ++nClean;
            nCleanValid += valid[i];
        } else if (checked[i].bPasses) {
            ++nWarned;
            nWarnedValid += valid[i];
        } else {
            ++nFailed;
            nFailedValid += valid[i];
        }
    }
    // The figures: how many scripts of each kind, and how many of them the schema accepts.
    std::cout << scripts.size() << " scripts: " << nClean << " pass kxb check without a word (" << nCleanValid
              << " valid), " << nWarned << " pass with warnings (" << nWarnedValid << " valid), " << nFailed
              << " fail (" << nFailedValid << " valid)" << std::endl;
    EXPECT_GT(nClean, 0);
    EXPECT_GT(nFailed, 0);
}

// One faulty script for each kind of fault the schema sees: both the schema and kxb check reject
// it, kxb check with an error or a warning.
TEST(Schema, RejectsWhatKxbCheckRejectsOrWarnsAbout) {
    const std::string sDevice = AnyDeviceElement();
    const std::string sCommand = "<Command><DST>F</DST><CMD>1</CMD></Command>";
    auto withController = [&](const std::string& sCandidates) {
        const std::string sController = "<Controller><Module Id=\"xx\"><Version>xx.xx.xx</Version></Module>";
        return std::string(sDevice).replace(0, std::string("<Device>").size() + sController.size(),
                                            "<Device><Controller>" + sCandidates);
    };
    const struct {
        const char* what;
        std::string body; // the root's children, or with bWhole the whole script
        bool bWhole = false;
    } cases[] = {
        {"a root of another name", "<XML_BIN_FILES>" + sDevice + "</XML_BIN_FILES>", true},
        {"an element the walker does not know", sDevice + "<Comand/>"},
        {"text directly in the root", sDevice + "text"},
        {"no Device element", sCommand},
        {"a second Device element", sDevice + sDevice},
        {"a destination beyond F", sDevice + "<Command><DST>10</DST><CMD>1</CMD></Command>"},
        {"a missing field", sDevice + "<Command><DST>F</DST></Command>"},
        {"a blank after a number", sDevice + "<BinMemory><DST>2 </DST><CMD>17</CMD></BinMemory>"},
        {"-1", sDevice + "<IntEep><PtrAddress>-1</PtrAddress></IntEep>"},
        {"a byte list with a letter", sDevice + "<Command><DST>F</DST><CMD>1</CMD><Data>0G</Data></Command>"},
        {"a Data block without its Offset",
         sDevice + "<IntEep><PtrAddress>1</PtrAddress><Data>01</Data></IntEep>"},
        {"a misspelt field", sDevice + "<Command><DST>F</DST><CMD>1</CMD><Dta>01</Dta></Command>"},
        {"a field twice", sDevice + "<Command><DST>F</DST><DST>1</DST><CMD>1</CMD></Command>"},
        {"a field's text cut by an element", sDevice + "<Command><DST>F</DST><CMD>1<b/>2</CMD></Command>"},
        {"a malformed Id", withController("<Module Id=\"G\"><Version>xx.xx.xx</Version></Module>")},
        {"a candidate without Id", withController("<Module><Version>xx.xx.xx</Version></Module>")},
        {"a malformed Version", withController("<Module Id=\"xx\"><Version>1.2.3</Version></Module>")},
        {"an upper-case wildcard", withController("<Module Id=\"xx\"><Version>XX.xx.xx</Version></Module>")},
        {"a candidate without Version", withController("<Module Id=\"xx\"/>")},
        {"a unit without candidates", withController("")},
        {"a malformed Id after the candidate that suits an empty unit",
         withController("<Module Id=\"xx\"><Version>xx.xx.xx</Version></Module><Module Id=\"1 2\">"
                        "<Version>xx.xx.xx</Version></Module>")},
        {"a misspelt candidate",
         withController("<Modul Id=\"xx\"/><Module Id=\"xx\"><Version>xx.xx.xx</Version></Module>")},
        {"a misspelt Version",
         withController("<Module Id=\"xx\"><Verison/><Version>xx.xx.xx</Version></Module>")},
        {"a slot never examined", std::string(sDevice).replace(sDevice.size() - 9, 0, "<Module14/>")},
        {"a misspelt unit", std::string(sDevice).replace(sDevice.size() - 9, 0, "<Modul3/>")},
        {"a unit twice", std::string(sDevice).replace(sDevice.size() - 9, 0, "<Module3/>")},
        {"a default namespace", "<XML_BIN_FILE xmlns=\"urn:kxb\">" + sDevice + "</XML_BIN_FILE>", true},
    };
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    std::vector<std::string> files;
    for (const auto& c : cases) {
        files.push_back("fault" + std::to_string(files.size()) + ".kxb");
        WriteFile(dir + "/" + files.back(),
                  c.bWhole ? c.body : "<XML_BIN_FILE>" + c.body + "</XML_BIN_FILE>");
    }
    std::vector<Checked> checked = KxbChecked(files, dir);
    std::vector<bool> valid = SchemaValid(files, dir);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_FALSE(valid[i]);
        EXPECT_TRUE(!checked[i].bPasses || checked[i].nWarnings > 0);
    }
    RemoveTree(dir);
}

// kavelwrite passes over every attribute it does not name, so the schema allows one anywhere.
TEST(Schema, AllowsAnAttributeWhereverKavelwritePassesOverIt) {
    const std::string sDevice = AnyDeviceElement();
    const std::string sScript =
        "<XML_BIN_FILE><General><Name>n</Name></General>" +
        std::string(sDevice).replace(sDevice.size() - 9, 0,
                                     "<DetectedDevice><Controller>Ok</Controller></DetectedDevice>") +
        "<Command><DST>F</DST><CMD>1</CMD><Data>01</Data></Command>"
        "<IntEep><PtrAddress>1</PtrAddress><Data Offset=\"0\">01</Data></IntEep>"
        "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"0\">01</Data></BinMemory>"
        "<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressHigh>2</"
        "AnswerByteAddressHigh>"
        "<AnswerByteAddressLow>1</AnswerByteAddressLow><PtrData>01</PtrData><Data Offset=\"0\">01</Data>"
        "</IntEep_CommandPtr><DetectedDevices/></XML_BIN_FILE>";
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/plain.kxb", sScript);
    WriteFile(dir + "/noted.kxb",
              std::regex_replace(sScript, std::regex("<([A-Za-z_0-9]+)"), "<$1 note=\"1\""));
    std::vector<Checked> checked = KxbChecked({"plain.kxb", "noted.kxb"}, dir);
    std::vector<bool> valid = SchemaValid({"plain.kxb", "noted.kxb"}, dir);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(checked[i].bPasses && checked[i].nWarnings == 0) << i;
        EXPECT_TRUE(valid[i]) << i;
    }
    RemoveTree(dir);
}

// Log files of runs that wrote, read back, met an unsuitable keyboard and several keyboards are
// valid; a script that names the schema in an <?xml-model?> line runs exactly as without it.
TEST(Schema, LogFilesAreValidAndTheModelLineChangesNothing) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    const std::string sScript = ReadFile(std::string(EXAMPLES_DIR) + "/command.kxb");
    const std::string sDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    ASSERT_EQ(sScript.rfind(sDeclaration, 0), 0u);
    WriteFile(dir + "/plain.kxb", sScript);
    WriteFile(dir + "/model.kxb", sDeclaration +
                                      "<?xml-model href=\"/usr/share/xml/kavelwrite/kxb.xsd\" "
                                      "schematypens=\"http://www.w3.org/2001/XMLSchema\"?>\n" +
                                      sScript.substr(sDeclaration.size()));
    WriteFile(dir + "/demo.kxb", ReadFile(std::string(EXAMPLES_DIR) + "/demo.kxb"));
    auto run = [&](const std::string& script, const std::string& keyboards,
                   std::vector<std::string> options) {
        options.insert(options.begin(), script);
        options.push_back("--logfile");
        RunOutcome outcome =
            RunKavelwrite(options,
                          {{"KAVELHID_SIMULATION", std::string(EXAMPLES_DIR) + "/" + keyboards},
                           {"KAVELHID_TRACE", dir + "/" + script + ".trace"}},
                          dir);
        std::vector<std::string> logs = FindLogFiles(dir, script);
        EXPECT_EQ(logs.size(), 1u) << script;
        return std::make_pair(outcome, logs.empty() ? std::string() : logs.back());
    };
    auto plain = run("plain.kxb", "writers-keyboard.xml", {"--verify"});
    auto model = run("model.kxb", "writers-keyboard.xml", {"--verify"});
    EXPECT_EQ(plain.first.exitStatus, 0);
    EXPECT_EQ(model.first.exitStatus, plain.first.exitStatus);
    EXPECT_EQ(MaskStamps(model.first.out), MaskStamps(plain.first.out));
    EXPECT_EQ(StripTraceTimes(ReadFile(dir + "/model.kxb.trace")),
              StripTraceTimes(ReadFile(dir + "/plain.kxb.trace")));
    auto unsuitable = run("demo.kxb", "writers-keyboard.xml", {});
    EXPECT_EQ(unsuitable.first.exitStatus, 165);
    std::filesystem::rename(dir + "/" + unsuitable.second, dir + "/unsuitable.log");
    auto station = run("demo.kxb", "station-keyboards.xml", {"--verify", "--overlap-resets"});
    EXPECT_EQ(station.first.exitStatus, 0) << station.first.out;

    const std::vector<std::string> logs = {plain.second, model.second, "unsuitable.log", station.second};
    std::vector<bool> valid = SchemaValid(logs, dir);
    for (size_t i = 0; i < logs.size(); ++i) EXPECT_TRUE(valid[i]) << ReadFile(dir + "/" + logs[i]);
    EXPECT_NE(ReadFile(dir + "/" + station.second).find("_verify=\"match\""), std::string::npos);
    EXPECT_NE(ReadFile(dir + "/unsuitable.log").find(">Not ok</"), std::string::npos);
    RemoveTree(dir);
}

// kxb schema prints what the build wrote; a backup names the schema and is valid against it.
TEST(Schema, KxbPrintsTheBuiltSchemaAndItsBackupsNameIt) {
    std::string dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    RunOutcome schema = RunKxb({"schema"}, {}, dir);
    EXPECT_EQ(schema.exitStatus, 0);
    EXPECT_EQ(schema.out, ReadFile(KXB_SCHEMA));
    RunOutcome help = RunKxb({"schema", "--help"}, {}, dir);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: kxb schema", 0), 0u);
    EXPECT_EQ(RunKxb({"schema", "kxb.xsd"}, {}, dir).exitStatus, 2);
    EXPECT_EQ(RunKxb({"schema", "--json"}, {}, dir).exitStatus, 2);

    WriteFile(dir + "/binmemory.kxb", ReadFile(std::string(EXAMPLES_DIR) + "/binmemory.kxb"));
    RunOutcome backup =
        RunKxb({"backup", "--output", "backup.kxb", "binmemory.kxb"},
               {{"KAVELHID_SIMULATION", std::string(EXAMPLES_DIR) + "/writers-keyboard.xml"}}, dir);
    EXPECT_EQ(backup.exitStatus, 0) << backup.err;
    const std::string sBackup = ReadFile(dir + "/backup.kxb");
    EXPECT_EQ(sBackup.substr(0, sBackup.find("<!--")),
              "<?xml version=\"1.0\"?>\n<?xml-model href=\"/usr/share/xml/kavelwrite/kxb.xsd\" "
              "schematypens=\"http://www.w3.org/2001/XMLSchema\"?>\n");
    EXPECT_TRUE(SchemaValid({"backup.kxb"}, dir)[0]) << sBackup;
    RemoveTree(dir);
}
