#include "kxb.h"

#include "driver.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

namespace {

// A script in which the field sField of sElement holds sValue and everything else is valid. The
// values hold no markup, and both parsers turn a line break or tab in an attribute into a blank.
std::string ScriptWith(const ElementEntry& entry, const std::string& sField, const std::string& sValue) {
    auto value = [&](const ElementField& field) {
        return sField == field.name ? sValue : field.nNotation == FIELD_DESTINATION ? "F" : "01";
    };
    if (std::string(entry.name) == "Device") {
        std::string sDevice = AnyDeviceElement();
        const std::string sController = "<Module Id=\"xx\"><Version>xx.xx.xx</Version></Module>";
        const std::string sCandidate = "<Module Id=\"" + (sField == "Id" ? sValue : "xx") + "\"><Version>" +
                                       (sField == "Version" ? sValue : "xx.xx.xx") + "</Version></Module>";
        return "<XML_BIN_FILE>" + sDevice.replace(sDevice.find(sController), sController.size(), sCandidate) +
               "</XML_BIN_FILE>";
    }
    std::string sChildren;
    std::string sData;
    std::string sAttributes;
    for (const ElementField& field : entry.fields) {
        if (field.bAttribute) {
            sAttributes += std::string(" ") + field.name + "=\"" + value(field) + "\"";
        } else if (std::string(field.name) == "Data" && (entry.nTraits & ELEMENT_DATA_BLOCKS) != 0) {
            sData = value(field);
        } else {
            sChildren += std::string("<") + field.name + ">" + value(field) + "</" + field.name + ">";
        }
    }
    if ((entry.nTraits & ELEMENT_DATA_BLOCKS) != 0)
        sChildren += "<Data" + sAttributes + ">" + sData + "</Data>";
    return "<XML_BIN_FILE>" + AnyDeviceElement() + "<" + entry.name + ">" + sChildren + "</" + entry.name +
           "></XML_BIN_FILE>";
}

// The values tried in every field: the edges of each notation, then random texts of characters that
// the notations give a meaning to.
std::vector<std::string> Values() {
    // clang-format off
    std::vector<std::string> values = {
        "", " ", "0", "1", "F", "f", "G", "-1", "-01", "-0x1", "-0X01", "-0", "-2", "+1", "+", "-", "0x",
        "0x1", "0X1F", " F", "\tF", "\nF", "F ", "F\n", "10", "E", "+F", "-0x0", "x", "xx", "Xx", "xX",
        "x1", "1x", "7FFFFFFFFFFFFFFF", "8000000000000000", "-8000000000000000", "-8000000000000001",
        "0007FFFFFFFFFFFFFFFF", "0x00000000000000000001", "FFFFFFFFFFFFFFFFF", "01 02 03", "01-02-03",
        "010203", "01 02 0", "1 2", "0G", " 01 02 ", "01\n02", "01  02", "-5 +5", "01 -1", "01 \t1", "a",
        "aa", "01.02.03", "01.02.03.04", "xx.xx.xx", " xx.xx.xx ", "1.2.3", "01.02.0", "01.02.03.0",
        "01.02.03.0x", "x1.1x.ff", "XX.xx.xx", "01.02.03 \t5", "01. 2.03", "01.02.03  \tq", "01.02.03.z",
        "-2.+3.04",
    };
    // clang-format on
    const std::string sAlphabet = "0178FfGxX-+ \t\n.,";
    std::mt19937 random(26);
    for (int i = 0; i < 150; ++i) {
        std::string sValue(random() % 13, ' ');
        for (char& c : sValue) c = sAlphabet[random() % sAlphabet.size()];
        values.push_back(sValue);
    }
    return values;
}

// A fresh folder for the test's files.
std::string MakeTempDir() {
    char txtTemplate[] = "/tmp/kxb_schema_test.XXXXXX";
    return mkdtemp(txtTemplate) != nullptr ? txtTemplate : "";
}

// The files among those named that xmllint validates against the schema, a few hundred files at a
// time: a shell's command line is limited.
std::set<std::string> Validated(const std::string& sSchema, const std::vector<std::string>& files) {
    const size_t FILES_AT_ONCE = 500;
    std::set<std::string> validated;
    for (size_t nFirst = 0; nFirst < files.size(); nFirst += FILES_AT_ONCE) {
        std::string sCommand = "xmllint --noout --schema '" + sSchema + "'";
        for (size_t i = nFirst; i < files.size() && i < nFirst + FILES_AT_ONCE; ++i)
            sCommand += " '" + files[i] + "'";
        FILE* pipe = popen((sCommand + " 2>&1").c_str(), "r");
        if (pipe == nullptr) return validated;
        std::string sOutput;
        char txtBuffer[4096];
        size_t nRead;
        while ((nRead = std::fread(txtBuffer, 1, sizeof txtBuffer, pipe)) > 0)
            sOutput.append(txtBuffer, nRead);
        pclose(pipe);
        for (size_t i = nFirst; i < files.size() && i < nFirst + FILES_AT_ONCE; ++i) {
            if (sOutput.find(files[i] + " validates\n") != std::string::npos) validated.insert(files[i]);
        }
    }
    return validated;
}

} // namespace

// Every field of the table, with every value: the schema accepts the value exactly when kxb check
// finds no fault in it. The values are ASCII, where the patterns say exactly what the program reads.
TEST(KxbSchema, EveryFieldAcceptsExactlyTheValuesTheCheckAccepts) {
    const std::string sDir = MakeTempDir();
    ASSERT_FALSE(sDir.empty());
    const std::string sSchema = sDir + "/kxb.xsd";
    std::ofstream(sSchema) << KxbSchemaText();

    std::vector<std::string> files;
    std::vector<std::string> descriptions;
    std::set<std::string> passed;
    const std::vector<std::string> values = Values();
    for (const ElementEntry& entry : ElementTable()) {
        for (const ElementField& field : entry.fields) {
            for (const std::string& sValue : values) {
                const std::string file = sDir + "/" + std::to_string(files.size()) + ".kxb";
                const std::string sScript = ScriptWith(entry, field.name, sValue);
                std::ofstream(file) << sScript;
                pugi::xml_document doc;
                std::vector<KxbFinding> findings;
                int nSteps = 0;
                int nWrites = 0;
                if (KxbCheckDocument(Load(doc, sScript), findings, &nSteps, &nWrites) == 0)
                    passed.insert(file);
                files.push_back(file);
                descriptions.push_back(std::string(entry.name) + " " + field.name + " '" + sValue + "'");
            }
        }
    }
    std::set<std::string> validated = Validated(sSchema, files);
    ASSERT_FALSE(validated.empty()) << "xmllint validated nothing";
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(validated.count(files[i]), passed.count(files[i]))
            << descriptions[i] << (passed.count(files[i]) ? " passes the check" : " fails the check");
    }
    std::filesystem::remove_all(sDir);
}
