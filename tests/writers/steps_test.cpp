// Every writer counts the same steps in the check pass as in a write pass on which nothing fails,
// and shows the progress after each of them.
#include "writers.h"

#include "driver.h"
#include "fake_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct StepCase {
    const char* name;
    ElementHandler handler;
    const char* xml;
    std::vector<std::vector<unsigned char>> answers; // replies with status 0, in order
    int steps;
};

const StepCase stepCases[] = {
    {"Command", kxbCommand, "<Command><DST>F</DST><CMD>30</CMD><Data>01 02</Data></Command>", {}, 1},
    {"IntEep",
     kxbIntEep,
     "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data><Data Offset=\"8\">02</Data></IntEep>",
     {{0x00, 0x40}},
     3},
    {"IntEep skipped",
     kxbIntEep,
     "<IntEep><PtrAddress>1000</PtrAddress><Data Offset=\"0\">01</Data><Data Offset=\"8\">02</Data></IntEep>",
     {{0x00, 0x00}},
     3},
    {"IntEep without Data", kxbIntEep, "<IntEep><PtrAddress>1000</PtrAddress></IntEep>", {{0x00, 0x40}}, 1},
    {"IntEep_CommandPtr",
     kxbIntEepCommandPtr,
     "<IntEep_CommandPtr><PtrDST>F</PtrDST><PtrCMD>30</PtrCMD><AnswerByteAddressLow>0</AnswerByteAddressLow>"
     "<AnswerByteAddressHigh>1</AnswerByteAddressHigh><Data Offset=\"0\">01</Data><Data "
     "Offset=\"4\">02</Data>"
     "<Data Offset=\"8\">03</Data></IntEep_CommandPtr>",
     {{0x00, 0x10}},
     4},
    {"BinMemory",
     kxbBinMemory,
     "<BinMemory><DST>2</DST><CMD>17</CMD><Data Address=\"0\">01</Data><Data "
     "Address=\"8\">02</Data></BinMemory>",
     {},
     2},
    {"BinMemory without Data", kxbBinMemory, "<BinMemory><DST>2</DST><CMD>17</CMD></BinMemory>", {}, 0},
};

int CountProgressLines(const std::string& output) {
    const std::string txtProgress = " Writing progress: ";
    int n = 0;
    for (size_t at = output.find(txtProgress); at != std::string::npos; at = output.find(txtProgress, at + 1))
        ++n;
    return n;
}

TEST(WriterSteps, CheckPassCountsAsManyStepsAsASuccessfulWritePass) {
    for (const StepCase& c : stepCases) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(c.xml)) << c.name;
        int nCheck = 0;
        int total = 0;
        EXPECT_EQ(0, c.handler(doc.document_element(), "t1", nullptr, &nCheck, &total)) << c.name;
        EXPECT_EQ(c.steps, nCheck) << c.name;

        FakeDevice device;
        for (const auto& answer : c.answers) device.Reply(0, answer);
        int current = 0;
        total = 1000; // large enough that every step shows the progress line
        testing::internal::CaptureStdout();
        int result = c.handler(doc.document_element(), "t1_device0", &device, &current, &total);
        std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(0, result) << c.name;
        EXPECT_EQ(nCheck, current) << c.name;
        EXPECT_EQ(nCheck, CountProgressLines(output)) << c.name;
        EXPECT_EQ(1000, total) << c.name;
    }
}

} // namespace
