#include "kxb.h"

#include "driver.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace {

// What kxb log reads from a log of that text saved under that name.
nlohmann::ordered_json Report(const std::string& text, const std::string& name) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kxb-log-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string path = (dir / name).string();
    std::ofstream(path) << text;
    pugi::xml_document doc;
    KxbFinding failure;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    EXPECT_EQ(KxbLoadFile(doc, path, &failure, &encoding), LOAD_OK) << failure.sMessage;
    nlohmann::ordered_json report = KxbLogReport(doc, path, encoding);
    std::filesystem::remove_all(dir);
    return report;
}

// A log of one keyboard: its report, a Command written, a Command, and an IntEep_CommandPtr with
// two blocks; {report}, {root}, {command}, {block1} and {block2} stand for what a row sets.
const char* kLog = R"(<XML_BIN_FILE {root}>
<Device>
<Controller><Module Id="xx"><Version>xx.xx.xx</Version></Module></Controller>
<DetectedDevice Id="t20260101000000_device0">{report}</DetectedDevice>
</Device>
<Command t20260101000000_device0="result=0"><DST>F</DST><CMD>1</CMD></Command>
<Command {command}><DST>F</DST><CMD>2</CMD></Command>
<IntEep_CommandPtr {command}><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD>
<AnswerByteAddressLow>0</AnswerByteAddressLow><AnswerByteAddressHigh>1</AnswerByteAddressHigh>
<Data Offset="0" {block1}>01</Data><Data Offset="1" {block2}>02</Data></IntEep_CommandPtr>
</XML_BIN_FILE>
)";

const char* kIdentified = R"(<Controller Info="Id=11 Ver=1.2.3.0">Ok</Controller>)";

std::string Annotated(const std::string& value) {
    return "t20260101000000_device0=\"" + value + "\"";
}

// A pass cut short by a signal is reported where it stopped, as not reset, whatever it had done
// before; one that was not cut short keeps kavelwrite's outcome.
TEST(KxbLogReport, ReportsAPassCutShortAsInterruptedWhereItsAnnotationStands) {
    const std::string txtInterrupted = " ERROR: Interrupted - keyboard not reset.";
    const struct {
        const char* what;
        std::string report, root, command, block1, block2;
        std::string outcome;
        std::string stoppedAt; // element, or "" for a pass that did not stop
    } cases[] = {
        {"a Command was due", kIdentified, "", Annotated("interrupted"), "", "", txtInterrupted, "Command"},
        {"identification was cut", "<Controller " + Annotated("interrupted") + "/>", "", "", "", "",
         txtInterrupted, "Controller"},
        {"the reset was due", kIdentified, Annotated("interrupted"), Annotated("result=0"),
         Annotated("result=0"), Annotated("result=0"), txtInterrupted, "XML_BIN_FILE"},
        {"a block after a failed one", kIdentified, "", Annotated("result=0"), Annotated("ERROR=3"),
         Annotated("interrupted"), txtInterrupted, "Data"},
        {"a failed block, not cut short", kIdentified, "", Annotated("result=0"), Annotated("ERROR=3"),
         Annotated("result=0"), " ERROR: Device write error", "Data"},
        {"stopped during the reset wait", kIdentified, "", Annotated("result=0"), Annotated("result=0"),
         Annotated("result=0"), " Done.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = kLog;
        for (const auto& [mark, value] :
             std::vector<std::pair<std::string, std::string>>{{"{report}", c.report},
                                                              {"{root}", c.root},
                                                              {"{command}", c.command},
                                                              {"{block1}", c.block1},
                                                              {"{block2}", c.block2}}) {
            for (size_t at = text.find(mark); at != std::string::npos;
                 at = text.find(mark, at + value.size()))
                text.replace(at, mark.size(), value);
        }
        nlohmann::ordered_json report = Report(text, "script.kxb_t20260101000000");
        ASSERT_EQ(report["runs"].size(), 1u);
        EXPECT_TRUE(report["runs"][0]["check"]["ok"].get<bool>());
        const nlohmann::ordered_json& keyboard = report["runs"][0]["keyboards"][0];
        EXPECT_EQ(keyboard["outcome"], c.outcome);
        bool bInterrupted = c.outcome == txtInterrupted;
        EXPECT_EQ(keyboard["interrupted"], bInterrupted);
        EXPECT_EQ(keyboard["status"].is_null(), bInterrupted);
        EXPECT_EQ(keyboard["reset"], c.outcome == " Done.");
        if (c.stoppedAt.empty()) {
            EXPECT_TRUE(keyboard["stopped"].is_null());
        } else {
            EXPECT_EQ(keyboard["stopped"]["element"], c.stoppedAt);
        }
    }
}

// Runs come in the order their stamps are met; the log's own name adds the last run, which may
// have left nothing, and the check rules then say how its check went.
TEST(KxbLogReport, FindsEveryRunAndJudgesOneThatLeftNothing) {
    const std::string text = R"(<XML_BIN_FILE>
<Device><Controller><Module Id="xx"><Version>xx.xx.xx</Version></Module></Controller>
<DetectedDevice Id="t20260303000000_device1"><Controller Info="Id=1 Ver=1.0.0.0">Not ok</Controller></DetectedDevice>
</Device>
<Command t20260101000000="PARSE_ERROR:DST"><DST>10</DST><CMD>1</CMD></Command>
<command/>
</XML_BIN_FILE>
)";
    nlohmann::ordered_json report = Report(text, "script.kxb_t20260404000000");
    const nlohmann::ordered_json& runs = report["runs"];
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0]["stamp"], "t20260303000000");
    EXPECT_TRUE(runs[0]["check"]["ok"].get<bool>());
    ASSERT_EQ(runs[0]["keyboards"].size(), 2u);
    EXPECT_EQ(runs[0]["keyboards"][0]["possible"], nlohmann::ordered_json({162, 163}));
    EXPECT_EQ(runs[0]["keyboards"][1]["outcome"], " Device not suitable - nothing changed.");
    EXPECT_EQ(runs[1]["stamp"], "t20260101000000");
    EXPECT_EQ(runs[1]["check"]["fault"]["line"], 5);
    EXPECT_EQ(runs[1]["check"]["fault"]["field"], "DST");
    EXPECT_EQ(runs[2]["stamp"], "t20260404000000");
    EXPECT_EQ(runs[2]["check"]["from"], "check rules");
    EXPECT_EQ(runs[2]["check"]["fault"]["line"], 5);
    EXPECT_EQ(runs[2]["check"]["fault"]["annotation"], "PARSE_ERROR:DST");
}

} // namespace
