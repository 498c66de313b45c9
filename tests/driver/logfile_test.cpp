#include "driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Nested(int nLevels, const std::string& inner = "") {
    std::string text;
    for (int i = 0; i < nLevels; i++) text += "<a>";
    text += inner;
    for (int i = 0; i < nLevels; i++) text += "</a>";
    return text;
}

int DepthOf(const std::string& xml) {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(xml.c_str())) << xml.substr(0, 80);
    return DocumentDepth(doc);
}

TEST(DocumentDepth, CountsElementLevelsOnlyWithTheRootAsOne) {
    EXPECT_EQ(DepthOf("<r/>"), 1);
    EXPECT_EQ(DepthOf("<r>text</r>"), 1);
    EXPECT_EQ(DepthOf("<r><a/><b><c/></b><d/></r>"), 3);
    EXPECT_EQ(DepthOf("<r><b><c><d/></c></b><e/></r>"), 4);
    EXPECT_EQ(DepthOf("<r><a><b/></a></r><!-- after -->"), 3);
    // Text and character data below the deepest element are no level of their own.
    EXPECT_EQ(DepthOf("<r><a>text</a><b><![CDATA[x]]></b></r>"), 2);
    EXPECT_EQ(DepthOf("<r><a><b>deep</b></a><c>shallow</c><d><e/></d></r>"), 3);
    EXPECT_EQ(DepthOf(Nested(64, "x")), 64);
    EXPECT_EQ(DepthOf(Nested(65)), 65);
    pugi::xml_document empty;
    EXPECT_EQ(DocumentDepth(empty), 0);
}

TEST(DocumentDepth, WalksAMillionLevelsWithoutRecursion) {
    EXPECT_EQ(DepthOf(Nested(1000000)), 1000000);
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavelwrite-log-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        for (const std::string& name : Names()) std::remove((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        DIR* folder = opendir(dir.c_str());
        while (dirent* entry = folder ? readdir(folder) : nullptr) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        if (folder) closedir(folder);
        return names;
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string dir;
};

TEST_F(LogFileTest, ReplacesAnExistingLogWholeAndLeavesNoTemporaryFile) {
    std::string path = dir + "/script.kxb_t20261208011631";
    std::ofstream(path) << "an older log of the same second";
    pugi::xml_document doc;
    ASSERT_TRUE(
        doc.load_string("<XML_BIN_FILE><Command t1=\"result=0\"><DST>F</DST></Command></XML_BIN_FILE>"));
    ASSERT_TRUE(SaveDocumentWhole(doc, path));
    EXPECT_EQ(Read(path), "<?xml version=\"1.0\"?>\n<XML_BIN_FILE>\n\t<Command t1=\"result=0\">\n"
                          "\t\t<DST>F</DST>\n\t</Command>\n</XML_BIN_FILE>\n");
    EXPECT_EQ(Names(), std::vector<std::string>{"script.kxb_t20261208011631"});
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(LogFileTest, LogNamesUpToTheLongestTheFolderTakesAreSaved) {
    // The temporary file must not need a longer name than the log: 249 is the first length where
    // the log's name plus a mkstemp suffix passes 255.
    const std::string txtStamp = ".kxb_t20261208011631";
    for (size_t nName : {size_t{248}, size_t{249}, size_t{255}}) {
        SCOPED_TRACE(nName);
        std::string name = std::string(nName - txtStamp.size(), 'a') + txtStamp;
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string("<XML_BIN_FILE/>"));
        EXPECT_TRUE(SaveDocumentWhole(doc, dir + "/" + name));
        EXPECT_EQ(Names(), std::vector<std::string>{name});
        std::remove((dir + "/" + name).c_str());
    }
    // A name the folder cannot take at all fails, and leaves nothing behind.
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<XML_BIN_FILE/>"));
    EXPECT_FALSE(SaveDocumentWhole(doc, dir + "/" + std::string(256, 'a')));
    EXPECT_TRUE(Names().empty());
}

TEST_F(LogFileTest, AFailedSaveKeepsWhatStoodThereAndCleansUp) {
    // A folder of the log's name cannot be replaced by a file.
    std::string path = dir + "/script.kxb_t20261208011631";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<XML_BIN_FILE/>"));
    EXPECT_FALSE(SaveDocumentWhole(doc, path));
    EXPECT_EQ(Names(), std::vector<std::string>{"script.kxb_t20261208011631"});
    rmdir(path.c_str());
    EXPECT_FALSE(SaveDocumentWhole(doc, dir + "/no-such-folder/log"));
    EXPECT_TRUE(Names().empty());
}

} // namespace
