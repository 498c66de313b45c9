// Runs the built kavelwrite as a child process in a folder of its own and collects what it left.
#ifndef KAVELWRITE_TESTS_RUN_BINARY_H
#define KAVELWRITE_TESTS_RUN_BINARY_H

#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

struct RunOutcome {
    int exitStatus = -1; // the process's exit status; -1 when it did not exit normally
    int signal = 0;      // the signal that ended it, if any
    std::string out;     // standard output
    std::string err;     // standard error
    long long elapsedMs = 0;
    long peakRssKb = 0; // the child's peak resident memory
};

struct RunLimits {
    long long fileSizeLimit = -1; // bytes any file the child writes may reach; -1: no limit
    bool asNobody = false;        // run as user nobody, so file permissions apply even to root
};

// A fresh empty folder under the system's temporary folder.
std::string MakeTempDir();
// Removes a folder and everything in it.
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

// Runs program with args in dir; env holds variables to set (an empty value unsets one). The
// library's variables of the test's own environment are never inherited.
RunOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, const std::string& dir,
                      const RunLimits& limits = RunLimits());
// Runs program as RunProgram does, but with standard output on a pipe and without measuring its
// memory. onOutput is called with the output read so far and the program's process id after each
// read; it returns false to close the pipe while the program goes on. out holds what was read.
RunOutcome RunPiped(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env, const std::string& dir,
                    const std::function<bool(const std::string& out, pid_t pid)>& onOutput);
// RunProgram of the built kavelwrite.
RunOutcome RunKavelwrite(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                         const std::string& dir, const RunLimits& limits = RunLimits());
// RunProgram of the built kxb.
RunOutcome RunKxb(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                  const std::string& dir, const RunLimits& limits = RunLimits());

// Names of the files in dir that are log files of script (script + "_t" + 14 digits).
std::vector<std::string> FindLogFiles(const std::string& dir, const std::string& script);

// Replaces every run stamp (t + 14 digits) by STAMP.
std::string MaskStamps(const std::string& text);
// The trace without the leading time field of each line.
std::string StripTraceTimes(const std::string& trace);
// Standard output with each carriage return shown as "<CR>" and a line break.
std::string ShowCarriageReturns(const std::string& text);
// How often what stands in text, overlapping occurrences counted.
int Count(const std::string& text, const std::string& what);

// The name of the test of a folder of cases: the folder's name with every character but letters and
// digits as "_".
inline std::string TestNameOf(std::string name) {
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

#endif
