// Runs vk_probe in a process of its own with the library's environment variables set, and reads
// back its standard output, standard error and the files it left.
#ifndef VK_PROBE_RUN_H
#define VK_PROBE_RUN_H

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace vkprobe {

inline std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

inline bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string sLine; std::getline(stream, sLine);) lines.push_back(sLine);
    return lines;
}

// Trace lines without their time, which the tests cannot know; checks that each has one.
inline std::vector<std::string> Untimed(const std::string& trace) {
    std::vector<std::string> lines;
    const std::regex timed("^[0-9]+ (.*)$");
    for (const std::string& sLine : Lines(trace)) {
        std::smatch match;
        EXPECT_TRUE(std::regex_match(sLine, match, timed)) << sLine;
        lines.push_back(match.size() > 1 ? match[1].str() : sLine);
    }
    return lines;
}

struct ProbeRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string sTemplate = ::testing::TempDir() + "vk-probe-XXXXXX";
        std::vector<char> name(sTemplate.begin(), sTemplate.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        sDir = name.data();
    }
    void TearDown() override { std::system(("rm -rf '" + sDir + "'").c_str()); }

    std::string Path(const std::string& name) const { return sDir + "/" + name; }

    // Runs vk_probe with the library's variables (empty means unset for the library).
    ProbeRun Probe(const std::string& simulation, const std::string& trace, const std::string& save,
                   const std::string& args, const std::string& replay = "") {
        std::string sCommand = "KAVELHID_REPLAY='" + replay + "' KAVELHID_SIMULATION='" + simulation +
                               "' KAVELHID_TRACE='" + trace + "' KAVELHID_SIMULATION_SAVE='" + save + "' '" +
                               VK_PROBE_BIN + "' " + args + " >'" + Path("out") + "' 2>'" + Path("err") + "'";
        ProbeRun run;
        int nStatus = std::system(sCommand.c_str());
        run.exitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        run.out = ReadFile(Path("out"));
        run.err = ReadFile(Path("err"));
        return run;
    }

    std::string sDir;
};

} // namespace vkprobe

#endif
