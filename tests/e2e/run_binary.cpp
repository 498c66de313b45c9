#include "run_binary.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string MakeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavelwrite-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) return std::string();
    return std::string(buffer.data());
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

RunOutcome RunKavelwrite(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                         const std::string& dir, const RunLimits& limits) {
    return RunProgram(KAVELWRITE_BIN, args, env, dir, limits);
}

RunOutcome RunKxb(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                  const std::string& dir, const RunLimits& limits) {
    return RunProgram(KXB_BIN, args, env, dir, limits);
}

namespace {

// The test's environment without the library's variables, and env's non-empty values.
std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& env) {
    std::vector<std::string> envText;
    for (char** entry = environ; *entry != nullptr; entry++) {
        std::string variable(*entry);
        if (variable.rfind("KAVELHID_", 0) == 0) continue;
        envText.push_back(variable);
    }
    for (const auto& [name, value] : env) {
        if (!value.empty()) envText.push_back(name + "=" + value);
    }
    return envText;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// In the child before exec: the signals that stop a run reach it as they would from a terminal,
// whatever the test runner ignores or blocks.
void DefaultStopSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(nSignal, SIG_DFL);
}

// Waits for the child pid, started at start, and records how and when it ended.
void AwaitChild(pid_t pid, std::chrono::steady_clock::time_point start, RunOutcome* outcome) {
    int status = 0;
    bool bEnded = pid > 0 && waitpid(pid, &status, 0) == pid;
    outcome->elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    if (bEnded && WIFEXITED(status)) outcome->exitStatus = WEXITSTATUS(status);
    if (bEnded && WIFSIGNALED(status)) outcome->signal = WTERMSIG(status);
}

} // namespace

RunOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& dir,
                      const RunLimits& limits) {
    RunOutcome outcome;
    std::string outPath = dir + "/.stdout";
    std::string errPath = dir + "/.stderr";

    std::vector<std::string> envText = ChildEnvironment(env);
    std::vector<char*> envp = Pointers(envText);

    std::string peakPath = dir + "/.peak";
    std::vector<std::string> argText = {PEAK_RSS_BIN, peakPath, program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argText);

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(dir.c_str()) != 0) _exit(127);
        if (limits.fileSizeLimit >= 0) {
            struct rlimit fileSize;
            fileSize.rlim_cur = fileSize.rlim_max = static_cast<rlim_t>(limits.fileSizeLimit);
            if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0) _exit(127);
        }
        if (limits.asNobody && geteuid() == 0) {
            const uid_t nobody = 65534;
            if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        DefaultStopSignals();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    AwaitChild(pid, start, &outcome);
    std::string peak = ReadFile(peakPath);
    outcome.peakRssKb = peak.empty() ? 0 : std::stol(peak);
    std::remove(peakPath.c_str());
    outcome.out = ReadFile(outPath);
    outcome.err = ReadFile(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return outcome;
}

RunOutcome RunPiped(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& dir,
                    const std::function<bool(const std::string& out, pid_t pid)>& onOutput) {
    RunOutcome outcome;
    std::string errPath = dir + "/.stderr";
    std::vector<std::string> envText = ChildEnvironment(env);
    std::vector<char*> envp = Pointers(envText);
    std::vector<std::string> argText = {program};
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char*> argv = Pointers(argText);
    int pipeOut[2];
    if (pipe(pipeOut) != 0) return outcome;

    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (err < 0 || in < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(pipeOut[1], 1);
        dup2(err, 2);
        close(pipeOut[0]);
        close(pipeOut[1]);
        DefaultStopSignals();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeOut[1]);
    char arBuffer[4096];
    ssize_t nRead = 0;
    while (pid > 0 && (nRead = read(pipeOut[0], arBuffer, sizeof arBuffer)) > 0) {
        outcome.out.append(arBuffer, static_cast<size_t>(nRead));
        if (!onOutput(outcome.out, pid)) break;
    }
    close(pipeOut[0]);
    AwaitChild(pid, start, &outcome);
    outcome.err = ReadFile(errPath);
    std::remove(errPath.c_str());
    return outcome;
}

std::vector<std::string> FindLogFiles(const std::string& dir, const std::string& script) {
    std::vector<std::string> found;
    std::regex logName(std::regex_replace(script, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                       "_t[0-9]{14}");
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (std::regex_match(name, logName)) found.push_back(name);
    }
    return found;
}

std::string MaskStamps(const std::string& text) {
    return std::regex_replace(text, std::regex("t[0-9]{14}"), "STAMP");
}

std::string StripTraceTimes(const std::string& trace) {
    std::istringstream lines(trace);
    std::string line;
    std::string stripped;
    while (std::getline(lines, line)) {
        size_t blank = line.find(' ');
        stripped += (blank == std::string::npos ? line : line.substr(blank + 1)) + "\n";
    }
    return stripped;
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

std::string ShowCarriageReturns(const std::string& text) {
    std::string shown;
    for (char c : text) {
        if (c == '\r') {
            shown += "<CR>\n";
        } else {
            shown += c;
        }
    }
    return shown;
}
