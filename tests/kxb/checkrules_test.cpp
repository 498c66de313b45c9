#include "kxb.h"

#include "driver.h"
#include "writers.h"
#include "xml_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// A writer element built from its fields as the field table lists them, every value "01" (which
// every field accepts), but the field named sBad, which gets "GG" (which none accepts).
std::string WriterElement(const std::string& sElement, const std::string& sBad) {
    std::string sChildren;
    std::string sDataAttributes;
    for (const ElementField& field : FindElement(sElement.c_str())->fields) {
        std::string sValue = sBad == field.name ? "GG" : "01";
        if (field.bAttribute) {
            sDataAttributes += std::string(" ") + field.name + "=\"" + sValue + "\"";
        } else if (std::string(field.name) != "Data") {
            sChildren += std::string("<") + field.name + ">" + sValue + "</" + field.name + ">";
        }
    }
    std::string sData = sBad == "Data" ? "GG" : "01";
    return "<" + sElement + ">" + sChildren + "<Data" + sDataAttributes + ">" + sData + "</Data></" +
           sElement + ">";
}

std::string Script(const std::string& sBody) {
    return "<XML_BIN_FILE>" + AnyDeviceElement() + sBody + "</XML_BIN_FILE>";
}

// Every field the table lists is one its handler reads and rejects, and the handler needs no
// field the table leaves out; the message says what the field accepts.
TEST(KxbCheckDocument, EveryWriterFieldOfTheTableIsReadByItsHandler) {
    for (const ElementEntry& entry : ElementTable()) {
        if ((entry.nTraits & ELEMENT_WRITER) == 0) continue;
        for (const ElementField& field : entry.fields) {
            SCOPED_TRACE(std::string(entry.name) + " " + field.name);
            pugi::xml_document valid;
            std::vector<KxbFinding> findings;
            int nSteps = 0;
            int nWrites = 0;
            EXPECT_EQ(KxbCheckDocument(Load(valid, Script(WriterElement(entry.name, ""))), findings, &nSteps,
                                       &nWrites),
                      0);
            EXPECT_TRUE(findings.empty()) << findings.front().sMessage;

            pugi::xml_document invalid;
            EXPECT_EQ(KxbCheckDocument(Load(invalid, Script(WriterElement(entry.name, field.name))), findings,
                                       &nSteps, &nWrites),
                      ERR_ERROR_IN_FILE);
            ASSERT_EQ(findings.size(), 1u);
            EXPECT_EQ(findings[0].sField, field.name);
            EXPECT_EQ(findings[0].sAnnotation, txtPARSE_ERROR + field.name);
            EXPECT_EQ(findings[0].sValue, "GG");
            EXPECT_EQ(findings[0].sMessage, std::string("is not ") + field.accepts);
        }
    }
}

// "ELEMENT FIELD" of each finding, errors marked "!", joined by "|".
std::string Summary(const std::vector<KxbFinding>& findings) {
    std::string sSummary;
    for (const KxbFinding& finding : findings) {
        sSummary += (sSummary.empty() ? "" : "|") + std::string(finding.bWarning ? "" : "!") +
                    finding.sElement + (finding.sField.empty() ? "" : " " + finding.sField);
    }
    return sSummary;
}

TEST(KxbCheckDocument, ReportsFaultsInTheCheckPassOrderThenWhatCannotBeMeant) {
    const std::string txtCommand = "<Command><DST>F</DST><CMD>1</CMD></Command>";
    const struct {
        const char* what;
        std::string script;
        std::string expected;
    } cases[] = {
        {"the Device element is judged first, wherever it stands; every child on its own",
         "<XML_BIN_FILE><Command><DST>10</DST><CMD>1</CMD></Command><command/>text<Command/>"
         "<Device><Controller><Module Id=\"1\"><Version>1.2</Version></Module></Controller>"
         "<Module3><Module><Version>xx.xx.xx</Version></Module></Module3></Device></XML_BIN_FILE>",
         "!Controller Version|!Module3 Id|!Command DST|!command|!XML_BIN_FILE|!Command DST|Device"},
        {"a wrong root after the Device element, before the children",
         "<XML_BIN_FILES><Device><Controller><Module "
         "Id=\"G\"/></Controller></Device><Command/></XML_BIN_FILES>",
         "!Controller Id|!XML_BIN_FILES|!Command DST|Controller Id|Device"},
        {"no Device element", "<XML_BIN_FILE>" + txtCommand + "</XML_BIN_FILE>", "XML_BIN_FILE"},
        {"slots never examined",
         "<XML_BIN_FILE>" + AnyDeviceElement().substr(0, AnyDeviceElement().size() - 9) +
             "<Module14/><Module15/></Device></XML_BIN_FILE>",
         "Module14|Module15"},
        {"a unit without candidates",
         "<XML_BIN_FILE><Device><Controller/></Device>" + txtCommand + "</XML_BIN_FILE>",
         "Controller|Device"},
        {"a second Device element and children no writer reads",
         Script("<Device/><Command><DST>F</DST><CMD>1</CMD><Dta>01</Dta></Command>"
                "<IntEep><PtrAddress>1</PtrAddress><Data Offset=\"0\"/><DST>1</DST></IntEep>"),
         "Device|Command Dta|IntEep DST"},
        {"what the Device element passes over, and malformed patterns the check pass never reaches",
         "<XML_BIN_FILE>" +
             std::string(AnyDeviceElement())
                 .replace(AnyDeviceElement().size() - 9, 0, "<Modul3/><Module3><Module Id=\"G\"/></Module3>")
                 .replace(AnyDeviceElement().find("</Controller>"), 0,
                          "<Modul Id=\"1\"/><Module Id=\"G\"><Verison/><Version>1.2</Version></Module>") +
             txtCommand + "</XML_BIN_FILE>",
         "Controller Modul|Controller Verison|Controller Id|Controller Version|Device Modul3|Module3"},
        {"a second field that is read once, and a text cut in two",
         Script("<Command><DST>F</DST><DST>G</DST><CMD>1<b/></CMD><Data>01</Data><Data>GG</Data></Command>"
                "<IntEep><PtrAddress>1</PtrAddress><Data Offset=\"0\">01<!--c-->02</Data>"
                "<Data Offset=\"1\">03</Data></IntEep>"),
         "Command DST|Command CMD|Command Data|IntEep Data"},
        {"default namespaces, which kavelwrite passes over",
         "<XML_BIN_FILE xmlns=\"urn:kxb\">" + AnyDeviceElement() +
             "<Command xmlns=\"\"><DST xmlns=\"urn:kxb\">F</DST><CMD>1</CMD></Command></XML_BIN_FILE>",
         "XML_BIN_FILE xmlns|DST xmlns"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pugi::xml_document doc;
        std::vector<KxbFinding> findings;
        int nSteps = 0;
        int nWrites = 0;
        KxbCheckDocument(Load(doc, c.script), findings, &nSteps, &nWrites);
        EXPECT_EQ(Summary(findings), c.expected);
    }
}

// A warning about what is passed over shows what the program reads there.
TEST(KxbCheckDocument, ShowsTheValueOfWhatIsPassedOver) {
    const std::string sController = "<Module Id=\"xx\"><Version>xx.xx.xx</Version></Module>";
    std::string sDevice = AnyDeviceElement();
    sDevice.replace(sDevice.find(sController) + sController.size(), 0,
                    "<Module Id=\"G\"><Version>xx.xx.xx</Version></Module>");
    pugi::xml_document doc;
    std::vector<KxbFinding> findings;
    int nSteps = 0;
    int nWrites = 0;
    EXPECT_EQ(KxbCheckDocument(
                  Load(doc, "<XML_BIN_FILE xmlns=\"urn:kxb\">" + sDevice +
                                "<Command><DST>F</DST><CMD>1<!-- c -->2</CMD></Command></XML_BIN_FILE>"),
                  findings, &nSteps, &nWrites),
              0);
    std::string sLines;
    for (const KxbFinding& finding : findings) sLines += KxbFindingLine("s.kxb", finding) + "\n";
    EXPECT_EQ(sLines,
              "s.kxb: warning: Controller: Id: 'G' is not an id: xx or a hexadecimal number: the check "
              "stops at an earlier candidate, but a keyboard that reaches this one does not suit the script\n"
              "s.kxb: warning: Command: CMD: '1' holds more than one text: only its first text is read\n"
              "s.kxb: warning: XML_BIN_FILE: xmlns: 'urn:kxb' is a namespace: kavelwrite passes over it, but "
              "the schema and XML tools look for kxb's elements in no namespace\n");
}

// The step total is the one the check pass counts, and the document is left as it was.
TEST(KxbCheckDocument, CountsTheStepsOfTheCheckPassAndLeavesTheDocumentAlone) {
    const std::string script = Script("<General/><Command><DST>F</DST><CMD>1</CMD></Command>" +
                                      WriterElement("IntEep", "") + WriterElement("IntEep_CommandPtr", "") +
                                      WriterElement("BinMemory", "") + "<DetectedDevices/>");
    pugi::xml_document doc;
    pugi::xml_node root = Load(doc, script);
    std::ostringstream before;
    doc.save(before);
    std::vector<KxbFinding> findings;
    int nSteps = 0;
    int nWrites = 0;
    EXPECT_EQ(KxbCheckDocument(root, findings, &nSteps, &nWrites), 0);
    EXPECT_EQ(nWrites, 4);
    std::ostringstream after;
    doc.save(after);
    EXPECT_EQ(after.str(), before.str());

    int current = 0;
    int total = 0;
    ASSERT_EQ(kxbCheckWrite(root, "t20260101000000", nullptr, &current, &total), 0);
    EXPECT_EQ(nSteps, current);
}

// A malformed Id is named by its value, not taken for a missing one.
TEST(KxbCheckDocument, NamesTheValueOfAMalformedCandidateId) {
    pugi::xml_document doc;
    std::vector<KxbFinding> findings;
    int nSteps = 0;
    int nWrites = 0;
    KxbCheckDocument(Load(doc,
                          "<XML_BIN_FILE><Device><Controller><Module Id=\"zz\"><Version>xx.xx.xx</Version>"
                          "</Module></Controller></Device></XML_BIN_FILE>"),
                     findings, &nSteps, &nWrites);
    ASSERT_FALSE(findings.empty());
    EXPECT_EQ(findings[0].sField, "Id");
    EXPECT_TRUE(findings[0].bValue);
    EXPECT_EQ(findings[0].sValue, "zz");
}

} // namespace
