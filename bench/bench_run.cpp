// Runs the kavelwrite benchmarks and prints one table: generates the scripts, then measures the
// check pass against pugixml's load, the write pass per message, the log file against pugixml's
// save, how the check pass scales, kxb check against kavelwrite's check pass, and a station of 16
// keyboards without and with --overlap-resets, what the station of --loop adds to its batches, and
// its peak memory over a shift of a thousand batches. Every figure is the median of several runs of
// a child process: wall time around it, CPU time from wait4, peak resident set read at its exit. The
// baselines run interleaved with kavelwrite, in the same rounds.
//
//   bench_run [--runs N] [--sizes 1,10,100] [--write-mb 10] [--log-mb 100] [--station-runs N]
//             [--kavelwrite PATH]
#include "bench_support.h"
#include <fcntl.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The program measured; --kavelwrite names another build of it, for a before and after.
std::string KAVELWRITE = BENCH_KAVELWRITE;
const char* const KXB = BENCH_KXB;
// kavelwrite linked with a sleep that returns at once, for the shift.
const char* const KAVELWRITE_NOSLEEP = BENCH_KAVELWRITE_NOSLEEP;
const char* const GENERATE = BENCH_GENERATE;
const char* const PUGIXML_LOAD = BENCH_PUGIXML_LOAD;
const char* const PUGIXML_SAVE = BENCH_PUGIXML_SAVE;
const char* const DATA_DIR = BENCH_DATA_DIR;
const char* const EXAMPLES_DIR = BENCH_EXAMPLES_DIR;

const double MB = 1048576.0;
// The pauses a write pass makes on purpose: 39 steps of 130 ms after the reset message, and 200 ms
// before every repeat of a message that found the keyboard busy.
const double RESET_WAIT_MS = 39 * 130.0;
const double BUSY_PAUSE_MS = 200.0;

const double TARGET_CHECK_TIME = 1.3;
const double TARGET_CHECK_MEMORY = 1.2;
const double TARGET_WRITE_US = 5.0;
const double TARGET_LOG = 1.2;
const double TARGET_SCALING = 1.5;
const double TARGET_KXB_CHECK = 1.1;
// How many times faster a station of STATION_KEYBOARDS is written with --overlap-resets; at most
// as many times as it has keyboards, when nothing but the reset waits took time.
const double TARGET_STATION = 12.0;
// What recording every call adds to a write pass, and reading every write back to a station.
const double TARGET_RECORD = 1.05;
const double TARGET_VERIFY = 1.02;
const int STATION_KEYBOARDS = 16;
// The station of --loop: STATION_BATCHES batches of STATION_KEYBOARDS, each after the first plugged
// in STATION_PLUG_AFTER_MS after the one before was unplugged. Two looks of 500 ms see the bus empty
// in that gap, so the station waits for each batch as it would on a bench.
const int STATION_BATCHES = 3;
const int STATION_PLUG_AFTER_MS = 1200;
// What the station may add to a batch: two looks, the one that sees it and the one that confirms it.
const double TARGET_STATION_ADDED_MS = 1000;
// The shift: SHIFT_BATCHES batches of SHIFT_KEYBOARDS, measured after SHIFT_BATCHES_SHORT and after
// all of them. Without pauses the looks spin, and the gap of SHIFT_PLUG_AFTER_MS is what lets them
// see the bus empty between batches.
const int SHIFT_BATCHES = 1000;
const int SHIFT_BATCHES_SHORT = 10;
const int SHIFT_KEYBOARDS = 2;
const int SHIFT_PLUG_AFTER_MS = 10;
const double TARGET_SHIFT_GROWTH_KB = 1024;
// A shift that misses an empty bus waits for ever; it is ended after this long.
const int SHIFT_TIMEOUT_SECONDS = 120;

// One run of a child process.
struct Sample {
    double wallMs = 0;
    double cpuMs = 0; // user + system
    long maxRssKb = 0;
    int status = 0;
};

// Medians over the runs of one program on one script.
struct Figure {
    double wallMs = 0;
    double cpuMs = 0;
    double maxRssKb = 0;
};

struct Options {
    int nRuns = 5;
    std::vector<int> sizesMb = {1, 10, 100};
    int writeMb = 10;
    int logMb = 100;
    // A round of the station lasts about 16 reset waits, 86 s, so it gets a count of its own.
    int nStationRuns = 1;
};

// A generated script and what its generator said about it.
struct Script {
    std::string path;
    std::string label;
    std::map<std::string, std::uint64_t> counts;
};

double Milliseconds(const struct timeval& tv) {
    return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0;
}

Figure MedianOf(const std::vector<Sample>& samples) {
    std::vector<double> wall;
    std::vector<double> cpu;
    std::vector<double> rss;
    for (const Sample& s : samples) {
        wall.push_back(s.wallMs);
        cpu.push_back(s.cpuMs);
        rss.push_back(static_cast<double>(s.maxRssKb));
    }
    return Figure{Median(wall), Median(cpu), Median(rss)};
}

// The environment of a child: ours without any KAVELHID_ variable, plus the given ones.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** p = environ; *p != nullptr; ++p) {
        if (std::strncmp(*p, "KAVELHID_", 9) != 0) env.push_back(*p);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    return pointers;
}

// The peak resident set of a process stopped at its exit, from /proc; -1 when it cannot be read.
long PeakRssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Waits for a child that asked to be traced: lets it run through its exec, and reads its peak
// resident set when it stops at its exit. A forked child starts with the parent's pages counted,
// and wait4's ru_maxrss keeps that count through exec; the exit stop sees the program's own
// memory only. Without tracing (not permitted) wait4's figure is used.
int WaitTraced(pid_t pid, Sample* sample) {
    int wstatus = 0;
    struct rusage usage;
    bool bOptionsSet = false;
    long nPeakKb = -1;
    while (true) {
        std::memset(&usage, 0, sizeof usage);
        pid_t waited = wait4(pid, &wstatus, 0, &usage);
        if (waited < 0 && errno == EINTR) continue;
        if (waited != pid) return 1;
        if (!WIFSTOPPED(wstatus)) break;
        int nSignal = WSTOPSIG(wstatus);
        if (nSignal == SIGTRAP && (wstatus >> 16) == PTRACE_EVENT_EXIT) {
            nPeakKb = PeakRssKb(pid);
            nSignal = 0;
        } else if (nSignal == SIGTRAP && !bOptionsSet) {
            // The stop after exec: from here on, stop once more at the exit.
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
            bOptionsSet = true;
            nSignal = 0;
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(nSignal)));
    }
    sample->cpuMs = Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
    sample->maxRssKb = nPeakKb >= 0 ? nPeakKb : usage.ru_maxrss;
    sample->status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return 0;
}

// Runs args with standard output and standard error to the given files; fills sample. A child
// still running after nTimeoutSeconds (0: no limit) is ended by SIGALRM. Returns 0, or 1 when the
// process could not be started.
int RunProcess(std::vector<std::string> args, const std::vector<std::string>& extraEnv,
               const std::string& stdoutPath, const std::string& stderrPath, Sample* sample,
               int nTimeoutSeconds = 0) {
    std::vector<std::string> env = ChildEnvironment(extraEnv);
    std::vector<char*> argv = PointerArray(args);
    std::vector<char*> envp = PointerArray(env);
    double tStart = NowMs();
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        int fdOut = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fdErr = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fdOut < 0 || fdErr < 0 || dup2(fdOut, 1) < 0 || dup2(fdErr, 2) < 0) _exit(126);
        close(fdOut);
        close(fdErr);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        // The alarm survives exec, and the programs measured leave SIGALRM as it is: fatal.
        if (nTimeoutSeconds > 0) alarm(static_cast<unsigned>(nTimeoutSeconds));
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (WaitTraced(pid, sample) != 0) return 1;
    sample->wallMs = NowMs() - tStart;
    return 0;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::ifstream inA(a, std::ios::binary);
    std::ifstream inB(b, std::ios::binary);
    if (!inA || !inB) return false;
    std::vector<char> bufA(1 << 16);
    std::vector<char> bufB(1 << 16);
    while (true) {
        inA.read(bufA.data(), static_cast<std::streamsize>(bufA.size()));
        inB.read(bufB.data(), static_cast<std::streamsize>(bufB.size()));
        std::streamsize nA = inA.gcount();
        if (nA != inB.gcount()) return false;
        if (nA == 0) return true;
        if (std::memcmp(bufA.data(), bufB.data(), static_cast<std::size_t>(nA)) != 0) return false;
    }
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The log files that kavelwrite wrote beside script: its name followed by "_t" and the stamp.
std::vector<std::string> LogFiles(const std::string& script) {
    std::vector<std::string> found;
    std::string prefix = BaseName(script) + "_t";
    DIR* dir = opendir(DATA_DIR);
    if (dir == nullptr) return found;
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            found.push_back(std::string(DATA_DIR) + "/" + entry->d_name);
        }
    }
    closedir(dir);
    return found;
}

void RemoveLogFiles(const std::string& script) {
    for (const std::string& path : LogFiles(script)) std::remove(path.c_str());
}

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "bench_run: %s\n", what.c_str());
    std::exit(1);
}

// Runs a program that must succeed; stops the benchmark when it does not.
Sample RunChecked(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
                  const std::string& stdoutPath, int nExpected = 0, int nTimeoutSeconds = 0) {
    Sample sample;
    std::string stderrPath = stdoutPath + ".stderr";
    if (RunProcess(args, extraEnv, stdoutPath, stderrPath, &sample, nTimeoutSeconds) != 0)
        Fail("cannot run " + args[0]);
    if (sample.status != nExpected) {
        bool bTimedOut = nTimeoutSeconds > 0 && sample.status == 128 + SIGALRM;
        Fail(args[0] + " " + (args.size() > 1 ? args[1] : "") + " ended with status " +
             std::to_string(sample.status) +
             (bTimedOut ? ", still running after " + std::to_string(nTimeoutSeconds) + " s" : "") + " (see " +
             stdoutPath + " and " + stderrPath + ")");
    }
    return sample;
}

bool Contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

Script Generate(int sizeMb) {
    Script script;
    std::string name = sizeMb == 0 ? "script-device-only" : "script-" + std::to_string(sizeMb) + "MB";
    script.path = std::string(DATA_DIR) + "/" + name + ".kxb";
    script.label = sizeMb == 0 ? "Device only" : std::to_string(sizeMb) + " MB";
    std::string summaryPath = std::string(DATA_DIR) + "/" + name + ".summary";
    std::uint64_t nBytes = static_cast<std::uint64_t>(sizeMb) * 1048576u;
    RunChecked({GENERATE, script.path, std::string(DATA_DIR) + "/keyboard.xml", std::to_string(nBytes)}, {},
               summaryPath);
    std::istringstream fields(ReadFile(summaryPath));
    std::string field;
    while (fields >> field) {
        std::size_t eq = field.find('=');
        if (eq != std::string::npos) script.counts[field.substr(0, eq)] = std::stoull(field.substr(eq + 1));
    }
    if (script.counts.count("messages") == 0) Fail("no summary from the generator in " + summaryPath);
    return script;
}

// kavelwrite with no keyboard: the load and the check pass only.
Sample RunCheckPass(const Script& script, bool bLogfile) {
    std::string out = std::string(DATA_DIR) + "/kavelwrite-check.out";
    std::vector<std::string> args = {KAVELWRITE, script.path};
    if (bLogfile) args.push_back("--logfile");
    Sample sample = RunChecked(args, {}, out);
    std::string text = ReadFile(out);
    if (!Contains(text, "Kxb file check: Pass") || !Contains(text, "0 Kavel device(s) detected")) {
        Fail("the check pass of " + script.path + " did not pass (see " + out + ")");
    }
    return sample;
}

// kxb check on a script that passes: the same load and the same check, with nothing to report but
// the script's step total.
Sample RunKxbCheck(const Script& script) {
    std::string out = std::string(DATA_DIR) + "/kxb-check.out";
    Sample sample = RunChecked({KXB, "check", script.path}, {}, out);
    if (!Contains(ReadFile(out), ": ok: "))
        Fail("kxb check did not pass " + script.path + " (see " + out + ")");
    return sample;
}

struct CheckFigures {
    Figure load;
    Figure check;
    bool bLog = false;
    Figure save;
    Figure checkLog;
    bool bSameLog = false;
    Figure kxbCheck;
};

// Interleaved rounds: pugixml's load, kavelwrite's check pass and, for the log size, pugixml's
// save, kavelwrite with --logfile and kxb check.
CheckFigures MeasureCheck(const Script& script, int nRuns, bool bLog) {
    std::vector<Sample> load, check, save, checkLog, kxbCheck;
    std::string saved = script.path + ".pugixml-saved";
    std::string loadOut = std::string(DATA_DIR) + "/pugixml.out";
    CheckFigures figures;
    figures.bLog = bLog;
    for (int i = 0; i < nRuns; ++i) {
        // What the saves of a round write is put on disk before the next child runs, so that no
        // child pays for another's writing.
        sync();
        load.push_back(RunChecked({PUGIXML_LOAD, script.path}, {}, loadOut));
        check.push_back(RunCheckPass(script, false));
        if (!bLog) continue;
        // Right beside the check pass it is compared with.
        kxbCheck.push_back(RunKxbCheck(script));
        std::remove(saved.c_str());
        sync();
        save.push_back(RunChecked({PUGIXML_SAVE, script.path, saved}, {}, loadOut));
        RemoveLogFiles(script.path);
        sync();
        checkLog.push_back(RunCheckPass(script, true));
        std::vector<std::string> logs = LogFiles(script.path);
        if (logs.size() != 1) Fail("expected one log file beside " + script.path);
        // Without a keyboard the log is the loaded document as it stands: what pugixml saves.
        if (i == 0) figures.bSameLog = SameFiles(logs[0], saved);
        RemoveLogFiles(script.path);
    }
    std::remove(saved.c_str());
    figures.load = MedianOf(load);
    figures.check = MedianOf(check);
    if (bLog) {
        figures.save = MedianOf(save);
        figures.checkLog = MedianOf(checkLog);
        figures.kxbCheck = MedianOf(kxbCheck);
    }
    return figures;
}

struct WriteFigures {
    Figure write;
    Figure recorded; // the same pass with --record
    std::uint64_t nTraced = 0;
    std::uint64_t nBusy = 0;
};

std::uint64_t CountLines(const std::string& text, const std::string& what, const std::string& also) {
    std::uint64_t n = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (Contains(line, what) && (also.empty() || Contains(line, also))) ++n;
    }
    return n;
}

// One virtual keyboard, trace off, standard output to a file; one traced run first counts the
// messages and the busy answers.
WriteFigures MeasureWrite(const Script& script, int nRuns) {
    WriteFigures figures;
    std::string keyboard = "KAVELHID_SIMULATION=" + std::string(DATA_DIR) + "/keyboard.xml";
    std::string tracePath = std::string(DATA_DIR) + "/write.trace";
    std::string out = std::string(DATA_DIR) + "/kavelwrite-write.out";
    std::remove(tracePath.c_str());
    RunChecked({KAVELWRITE, script.path}, {keyboard, "KAVELHID_TRACE=" + tracePath}, out);
    std::string trace = ReadFile(tracePath);
    figures.nTraced = CountLines(trace, " SendCommand ", "");
    figures.nBusy = CountLines(trace, " SendCommand ", "-> 119");
    std::remove(tracePath.c_str());
    std::string recording = std::string(DATA_DIR) + "/write.rec";
    std::vector<Sample> samples[2];
    for (int i = 0; i < nRuns; ++i) {
        // With and without --record in the same rounds, so that load on the machine hits both alike.
        for (int nRecord : {0, 1}) {
            std::vector<std::string> args = {KAVELWRITE, script.path};
            if (nRecord == 1) args.insert(args.end(), {"--record", recording});
            samples[nRecord].push_back(RunChecked(args, {keyboard}, out));
            std::string text = ReadFile(out);
            if (!Contains(text, "1 Kavel device(s) detected") || !Contains(text, " Done.\n")) {
                Fail("the write pass of " + script.path + " did not finish (see " + out + ")");
            }
        }
    }
    if (CountLines(ReadFile(recording), " SendCommand ", "") != figures.nTraced)
        Fail("the recording of " + script.path + " does not hold every message (see " + recording + ")");
    std::remove(recording.c_str());
    figures.write = MedianOf(samples[0]);
    figures.recorded = MedianOf(samples[1]);
    return figures;
}

struct StationFigures {
    Figure sequential;                   // without --overlap-resets
    Figure overlapped;                   // with it
    Figure verified;                     // with it and --verify
    Figure loop;                         // --loop over STATION_BATCHES batches of the same keyboards
    Figure start;                        // the demo script with no keyboard: start, load, check, one look
    std::uint64_t nMessages = 0;         // a traced run with --overlap-resets
    std::uint64_t nVerifiedMessages = 0; // the same with --verify
    std::uint64_t nReadsNeeded = 0;      // what the 255-byte answer needs to read every write back
};

// The reads that reading back every write of a trace needs, keyboard by keyboard: one per 255
// bytes of every run of consecutive addresses of a unit (a run ends at the top of memory).
std::uint64_t ReadsNeeded(const std::string& trace) {
    std::map<std::pair<int, int>, std::set<int>> written; // (keyboard, unit): addresses
    std::regex write(" kb([0-9]+) SendCommand cmd=17 dst=(..) data=\\[(..) (..) ?([^\\]]*)\\]");
    for (std::sregex_iterator at(trace.begin(), trace.end(), write), end; at != end; ++at) {
        const std::smatch& m = *at;
        int nAddress = std::stoi(m[4].str() + m[3].str(), nullptr, 16);
        std::set<int>& addresses = written[{std::stoi(m[1]), std::stoi(m[2], nullptr, 16)}];
        for (long i = 0; i < (m[5].length() + 1) / 3; ++i)
            addresses.insert((nAddress + static_cast<int>(i)) % 0x10000);
    }
    std::uint64_t nReads = 0;
    for (const auto& unit : written) {
        int nRun = 0;
        int nLast = -2;
        for (int nAddress : unit.second) {
            if (nAddress != nLast + 1 && nRun > 0) {
                nReads += static_cast<std::uint64_t>((nRun + 254) / 255);
                nRun = 0;
            }
            nRun++;
            nLast = nAddress;
        }
        if (nRun > 0) nReads += static_cast<std::uint64_t>((nRun + 254) / 255);
    }
    return nReads;
}

// Writes DATA_DIR/name, a simulation of demo keyboards (the Keyboard element of
// examples/demo-keyboard.xml with txtExtra at its end): nKeyboards attached all the time when
// nBatches is 0, else nBatches batches of nKeyboards, each after the first plugged in nPlugAfterMs
// after the one before was unplugged, and unplugged as soon as it is served. Returns its path.
std::string WriteDemoSimulation(const std::string& name, int nBatches, int nKeyboards, int nPlugAfterMs,
                                const std::string& txtExtra = "") {
    const std::string txtEnd = "</Keyboard>";
    std::string demo = ReadFile(std::string(EXAMPLES_DIR) + "/demo-keyboard.xml");
    std::size_t begin = demo.find("<Keyboard>");
    std::size_t end = demo.find(txtEnd);
    if (begin == std::string::npos || end == std::string::npos) Fail("no Keyboard in demo-keyboard.xml");
    std::string keyboard = demo.substr(begin, end - begin) + txtExtra + txtEnd;
    end += txtEnd.size();
    std::string path = std::string(DATA_DIR) + "/" + name;
    std::ofstream simulation(path);
    simulation << demo.substr(0, begin);
    char txtPlugAfter[32];
    std::snprintf(txtPlugAfter, sizeof txtPlugAfter, " PlugAfter=\"%X\"",
                  static_cast<unsigned>(nPlugAfterMs));
    for (int b = 0; b < std::max(nBatches, 1); ++b) {
        if (nBatches > 0) simulation << (b > 0 ? "\n\t<Batch" + std::string(txtPlugAfter) + ">" : "<Batch>");
        for (int i = 0; i < nKeyboards; ++i) simulation << (i > 0 || nBatches > 0 ? "\n\t" : "") << keyboard;
        if (nBatches > 0) simulation << "\n\t</Batch>";
    }
    simulation << demo.substr(end);
    if (!simulation.flush()) Fail("cannot write " + path);
    return path;
}

// The console's last line of a station that wrote every keyboard of nBatches batches of nKeyboards.
std::string StationLine(int nBatches, int nKeyboards) {
    return "Station: " + std::to_string(nBatches) + " batches, " + std::to_string(nBatches * nKeyboards) +
           " keyboards, " + std::to_string(nBatches * nKeyboards) + " written, 0 failed\n";
}

// The demo script on the station, without and with --overlap-resets, and with it and --verify; the
// station of --loop over STATION_BATCHES such batches, and the script with no keyboard, all in the
// same rounds, trace off and standard output to a file; every run must write and reset every
// keyboard. One traced run of each of the second and third counts the messages that --verify adds.
StationFigures MeasureStation(int nRuns) {
    std::string simulation =
        "KAVELHID_SIMULATION=" + WriteDemoSimulation("station.xml", 0, STATION_KEYBOARDS, 0);
    std::string batches =
        "KAVELHID_SIMULATION=" +
        WriteDemoSimulation("station-batches.xml", STATION_BATCHES, STATION_KEYBOARDS, STATION_PLUG_AFTER_MS);
    std::string script = std::string(EXAMPLES_DIR) + "/demo.kxb";
    std::string out = std::string(DATA_DIR) + "/kavelwrite-station.out";
    std::string tracePath = std::string(DATA_DIR) + "/station.trace";
    const std::vector<std::vector<std::string>> options = {
        {}, {"--overlap-resets"}, {"--overlap-resets", "--verify"}};
    StationFigures figures;
    for (int nVerify : {0, 1}) {
        std::remove(tracePath.c_str());
        std::vector<std::string> args = {KAVELWRITE, script};
        args.insert(args.end(), options[1 + nVerify].begin(), options[1 + nVerify].end());
        RunChecked(args, {simulation, "KAVELHID_TRACE=" + tracePath}, out);
        std::string trace = ReadFile(tracePath);
        (nVerify == 1 ? figures.nVerifiedMessages : figures.nMessages) =
            CountLines(trace, " SendCommand ", "");
        if (nVerify == 1) figures.nReadsNeeded = ReadsNeeded(trace);
    }
    std::remove(tracePath.c_str());
    std::vector<Sample> samples[3];
    std::vector<Sample> loop;
    std::vector<Sample> start;
    Script demo;
    demo.path = script;
    for (int i = 0; i < nRuns; ++i) {
        for (size_t n = 0; n < options.size(); ++n) {
            std::vector<std::string> args = {KAVELWRITE, script};
            args.insert(args.end(), options[n].begin(), options[n].end());
            samples[n].push_back(RunChecked(args, {simulation}, out));
            if (CountLines(ReadFile(out), " Done.", "") != STATION_KEYBOARDS)
                Fail("not every keyboard of the station was written (see " + out + ")");
        }
        loop.push_back(RunChecked(
            {KAVELWRITE, script, "--loop", "--batches", std::to_string(STATION_BATCHES)}, {batches}, out));
        std::string text = ReadFile(out);
        if (CountLines(text, " Done.", "") != STATION_BATCHES * STATION_KEYBOARDS ||
            !Contains(text, StationLine(STATION_BATCHES, STATION_KEYBOARDS)))
            Fail("not every keyboard of the station's batches was written (see " + out + ")");
        start.push_back(RunCheckPass(demo, false));
    }
    figures.sequential = MedianOf(samples[0]);
    figures.overlapped = MedianOf(samples[1]);
    figures.verified = MedianOf(samples[2]);
    figures.loop = MedianOf(loop);
    figures.start = MedianOf(start);
    return figures;
}

struct ShiftFigures {
    Figure shortShift; // --batches SHIFT_BATCHES_SHORT
    Figure shift;      // --batches SHIFT_BATCHES
};

// A shift of the station without pauses: the same simulation of SHIFT_BATCHES batches run for
// SHIFT_BATCHES_SHORT batches and for all of them, in the same rounds. Every keyboard holds memory
// in each unit the demo script writes from the start, so that the virtual keyboards take all their
// memory as the file is loaded, the same in both runs, and what grows is the program's.
ShiftFigures MeasureShift(int nRuns) {
    std::string simulation =
        "KAVELHID_SIMULATION=" + WriteDemoSimulation("shift.xml", SHIFT_BATCHES, SHIFT_KEYBOARDS,
                                                     SHIFT_PLUG_AFTER_MS,
                                                     "<Memory Unit=\"6\" Address=\"0\">00</Memory>");
    std::string script = std::string(EXAMPLES_DIR) + "/demo.kxb";
    std::string out = std::string(DATA_DIR) + "/kavelwrite-shift.out";
    std::vector<Sample> samples[2];
    for (int i = 0; i < nRuns; ++i) {
        for (int n = 0; n < 2; ++n) {
            int nBatches = n == 0 ? SHIFT_BATCHES_SHORT : SHIFT_BATCHES;
            samples[n].push_back(
                RunChecked({KAVELWRITE_NOSLEEP, script, "--loop", "--batches", std::to_string(nBatches)},
                           {simulation}, out, 0, SHIFT_TIMEOUT_SECONDS));
            if (!Contains(ReadFile(out), StationLine(nBatches, SHIFT_KEYBOARDS)))
                Fail("not every keyboard of the shift was written (see " + out + ")");
        }
    }
    return ShiftFigures{MedianOf(samples[0]), MedianOf(samples[1])};
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Verdict(double value, double target) {
    return value <= target ? "met" : "missed";
}

std::string Row(const std::vector<std::string>& cells) {
    std::string line = "|";
    for (const std::string& cell : cells) line += " " + cell + " |";
    return line + "\n";
}

int CoreCount() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

std::string DateText() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[64];
    strftime(text, sizeof text, "%a %b %e %H:%M:%S %Z %Y", &local);
    return text;
}

bool ParseSizes(const char* text, std::vector<int>* sizes) {
    sizes->clear();
    std::istringstream parts(text);
    std::string part;
    while (std::getline(parts, part, ',')) {
        int n = std::atoi(part.c_str());
        if (n <= 0) return false;
        sizes->push_back(n);
    }
    return !sizes->empty();
}

Options ParseOptions(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool bValue = i + 1 < argc;
        if (arg == "--runs" && bValue) {
            options.nRuns = std::atoi(argv[++i]);
        } else if (arg == "--sizes" && bValue) {
            if (!ParseSizes(argv[++i], &options.sizesMb)) Fail("bad --sizes");
        } else if (arg == "--write-mb" && bValue) {
            options.writeMb = std::atoi(argv[++i]);
        } else if (arg == "--log-mb" && bValue) {
            options.logMb = std::atoi(argv[++i]);
        } else if (arg == "--station-runs" && bValue) {
            options.nStationRuns = std::atoi(argv[++i]);
        } else if (arg == "--kavelwrite" && bValue) {
            KAVELWRITE = argv[++i];
        } else {
            Fail("usage: bench_run [--runs N] [--sizes 1,10,100] [--write-mb 10] [--log-mb 100] "
                 "[--station-runs N] [--kavelwrite PATH]");
        }
    }
    if (options.nRuns < 1 || options.nStationRuns < 1) Fail("--runs and --station-runs must be at least 1");
    std::sort(options.sizesMb.begin(), options.sizesMb.end());
    auto has = [&](int mb) {
        return std::find(options.sizesMb.begin(), options.sizesMb.end(), mb) != options.sizesMb.end();
    };
    if (!has(options.writeMb) || !has(options.logMb)) Fail("--write-mb and --log-mb must be among --sizes");
    return options;
}

// Small scripts take milliseconds, so they get more runs for the same steadiness.
int RunsFor(int sizeMb, int nRuns) {
    return sizeMb <= 1 ? 4 * nRuns : sizeMb <= 10 ? 2 * nRuns : nRuns;
}

} // namespace

int main(int argc, char* argv[]) {
    Options options = ParseOptions(argc, argv);
    mkdir(DATA_DIR, 0755);

    std::fprintf(stderr, "Generating scripts in %s ...\n", DATA_DIR);
    std::vector<Script> scripts;
    Script deviceOnly = Generate(0);
    for (int mb : options.sizesMb) scripts.push_back(Generate(mb));

    std::fprintf(stderr, "Measuring the fixed start-up cost (script with the Device element only) ...\n");
    CheckFigures fixed = MeasureCheck(deviceOnly, RunsFor(0, options.nRuns), false);

    std::vector<CheckFigures> checks;
    const Script* writeScript = nullptr;
    const Script* logScript = nullptr;
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        int mb = options.sizesMb[i];
        bool bLog = mb == options.logMb;
        std::fprintf(stderr, "Measuring the check pass%s on %s ...\n", bLog ? " and the log file" : "",
                     scripts[i].label.c_str());
        checks.push_back(MeasureCheck(scripts[i], RunsFor(mb, options.nRuns), bLog));
        if (mb == options.writeMb) writeScript = &scripts[i];
        if (bLog) logScript = &scripts[i];
    }
    std::fprintf(stderr,
                 "Measuring the write pass on %s, without and with --record (about %.0f s per run) ...\n",
                 writeScript->label.c_str(), RESET_WAIT_MS / 1000 + 1);
    WriteFigures write = MeasureWrite(*writeScript, options.nRuns);
    std::fprintf(stderr,
                 "Measuring %d demo keyboards without and with --overlap-resets, with --verify, and as %d "
                 "batches of a station (about %.0f s per round) ...\n",
                 STATION_KEYBOARDS, STATION_BATCHES,
                 (STATION_KEYBOARDS + 3 + STATION_BATCHES) * (RESET_WAIT_MS / 1000 + 0.1) +
                     STATION_BATCHES * (STATION_PLUG_AFTER_MS + 1000) / 1000.0);
    StationFigures station = MeasureStation(options.nStationRuns);
    std::fprintf(
        stderr,
        "Measuring a shift of %d batches without pauses, and its first %d (about %.0f s per round) ...\n",
        SHIFT_BATCHES, SHIFT_BATCHES_SHORT, SHIFT_BATCHES * (SHIFT_PLUG_AFTER_MS + 1) / 1000.0);
    ShiftFigures shift = MeasureShift(options.nStationRuns);

    std::string table;
    table += "kavelwrite benchmarks (" + KAVELWRITE + "), " + DateText() + ", " +
             std::to_string(CoreCount()) + " cores; median of at least " + std::to_string(options.nRuns) +
             " runs each; times are the child's user + system CPU time unless marked wall; 1 MB = 1048576 "
             "bytes.\n\n";
    table += Row({"Figure", "Script", "kavelwrite", "Baseline", "Value", "Target", "Result"});
    table += Row({"---", "---", "---:", "---:", "---:", "---", "---"});
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        double ratio = checks[i].check.cpuMs / checks[i].load.cpuMs;
        table +=
            Row({"Check time / parse-only time", scripts[i].label, Format("%.1f ms", checks[i].check.cpuMs),
                 Format("%.1f ms", checks[i].load.cpuMs), Format("%.3f", ratio),
                 "<= " + Format("%.1f", TARGET_CHECK_TIME), Verdict(ratio, TARGET_CHECK_TIME)});
    }
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        double ratio = checks[i].check.maxRssKb / checks[i].load.maxRssKb;
        table += Row({"Check peak RSS / parse-only peak RSS", scripts[i].label,
                      Format("%.1f MB", checks[i].check.maxRssKb / 1024),
                      Format("%.1f MB", checks[i].load.maxRssKb / 1024), Format("%.3f", ratio),
                      "<= " + Format("%.1f", TARGET_CHECK_MEMORY), Verdict(ratio, TARGET_CHECK_MEMORY)});
    }

    table +=
        Row({"Start-up alone (for reference)", deviceOnly.label,
             Format("%.1f ms", fixed.check.cpuMs) + ", " + Format("%.1f MB", fixed.check.maxRssKb / 1024),
             Format("%.1f ms", fixed.load.cpuMs) + ", " + Format("%.1f MB", fixed.load.maxRssKb / 1024), "",
             "", ""});

    std::uint64_t nMessages = writeScript->counts.at("messages");
    double pausesMs = RESET_WAIT_MS + BUSY_PAUSE_MS * static_cast<double>(write.nBusy);
    double perMessageUs = (write.write.wallMs - pausesMs) * 1000.0 / static_cast<double>(nMessages);
    std::string messages =
        std::to_string(nMessages) + " messages" +
        (write.nTraced == nMessages ? " (trace agrees)" : " (trace: " + std::to_string(write.nTraced) + ")");
    table += Row({"Write overhead per message", writeScript->label + ", " + messages,
                  Format("%.0f ms wall", write.write.wallMs), Format("%.0f ms pauses", pausesMs),
                  Format("%.2f us", perMessageUs), "<= " + Format("%.0f us", TARGET_WRITE_US),
                  Verdict(perMessageUs, TARGET_WRITE_US)});
    // The same pass recording every call, in the same rounds; beside it, what the recording adds to
    // the pass without its pauses.
    double recordRatio = write.recorded.wallMs / write.write.wallMs;
    double busyMs = write.write.wallMs - pausesMs;
    table += Row({"Write pass with --record / without", writeScript->label + ", " + messages,
                  Format("%.0f ms wall", write.recorded.wallMs), Format("%.0f ms wall", write.write.wallMs),
                  Format("%.3f", recordRatio) +
                      Format(" (%.2f without the pauses)", (write.recorded.wallMs - pausesMs) / busyMs),
                  "<= " + Format("%.2f", TARGET_RECORD), Verdict(recordRatio, TARGET_RECORD)});

    // Faster is a larger ratio here, so the target is a lower bound.
    double stationRatio = station.sequential.wallMs / station.overlapped.wallMs;
    table +=
        Row({"Station: wall time without / with --overlap-resets",
             "demo.kxb, " + std::to_string(STATION_KEYBOARDS) + " demo keyboards, " +
                 std::to_string(options.nStationRuns) + (options.nStationRuns == 1 ? " round" : " rounds"),
             Format("%.0f ms wall", station.overlapped.wallMs),
             Format("%.0f ms wall", station.sequential.wallMs), Format("%.2f", stationRatio),
             ">= " + Format("%.0f", TARGET_STATION), stationRatio >= TARGET_STATION ? "met" : "missed"});
    // --verify adds only the reads that the 255-byte answer needs, and little time.
    double verifyRatio = station.verified.wallMs / station.overlapped.wallMs;
    std::uint64_t nAdded = station.nVerifiedMessages - station.nMessages;
    table += Row(
        {"Station with --overlap-resets: wall time with / without --verify",
         "demo.kxb, " + std::to_string(STATION_KEYBOARDS) + " demo keyboards, " + std::to_string(nAdded) +
             " messages added, " + std::to_string(station.nReadsNeeded) + " reads needed",
         Format("%.0f ms wall", station.verified.wallMs), Format("%.0f ms wall", station.overlapped.wallMs),
         Format("%.3f", verifyRatio), "<= " + Format("%.2f", TARGET_VERIFY) + ", added = needed",
         verifyRatio <= TARGET_VERIFY && nAdded == station.nReadsNeeded ? "met" : "missed"});
    // What the station adds to its batches: its wall time less the operator's gaps between batches
    // and the batches' own runs, each an --overlap-resets run of the same keyboards. Those runs start
    // the program STATION_BATCHES times and the station once, so the start is given back but once.
    double gapsMs = (STATION_BATCHES - 1) * static_cast<double>(STATION_PLUG_AFTER_MS);
    double addedMs = (station.loop.wallMs - gapsMs - STATION_BATCHES * station.overlapped.wallMs +
                      (STATION_BATCHES - 1) * station.start.wallMs) /
                     STATION_BATCHES;
    table += Row({"Station: time added per batch",
                  "demo.kxb, --loop, " + std::to_string(STATION_BATCHES) + " batches of " +
                      std::to_string(STATION_KEYBOARDS) + " demo keyboards, " + Format("%.0f ms", gapsMs) +
                      " of PlugAfter",
                  Format("%.0f ms wall", station.loop.wallMs),
                  std::to_string(STATION_BATCHES) + Format(" x %.0f ms wall", station.overlapped.wallMs) +
                      Format(", start %.1f ms", station.start.wallMs),
                  Format("%.0f ms", addedMs), "<= " + Format("%.0f ms", TARGET_STATION_ADDED_MS),
                  Verdict(addedMs, TARGET_STATION_ADDED_MS)});
    // Peak memory must not grow with the batches; the wall time of the shift is for reference.
    double growthKb = shift.shift.maxRssKb - shift.shortShift.maxRssKb;
    std::string shiftLabel = "demo.kxb, --loop, batches of " + std::to_string(SHIFT_KEYBOARDS) +
                             " demo keyboards, " + std::to_string(SHIFT_PLUG_AFTER_MS) +
                             " ms PlugAfter, no pauses";
    table += Row({"Station: peak RSS after " + std::to_string(SHIFT_BATCHES) + " batches - after " +
                      std::to_string(SHIFT_BATCHES_SHORT),
                  shiftLabel, Format("%.1f MB", shift.shift.maxRssKb / 1024),
                  Format("%.1f MB", shift.shortShift.maxRssKb / 1024), Format("%+.0f kB", growthKb),
                  "<= " + Format("%.0f MB", TARGET_SHIFT_GROWTH_KB / 1024),
                  Verdict(growthKb, TARGET_SHIFT_GROWTH_KB)});
    // Every batch but the first waits for its PlugAfter, spinning through looks.
    double shiftGapsMs = (SHIFT_BATCHES - 1) * static_cast<double>(SHIFT_PLUG_AFTER_MS);
    table +=
        Row({"Station: wall time per batch, no pauses (for reference)", shiftLabel,
             Format("%.0f ms wall", shift.shift.wallMs) + Format(", %.0f ms CPU", shift.shift.cpuMs),
             Format("%.0f ms PlugAfter", shiftGapsMs),
             Format("%.2f ms", shift.shift.wallMs / SHIFT_BATCHES) +
                 Format(" (%.2f ms besides PlugAfter)", (shift.shift.wallMs - shiftGapsMs) / SHIFT_BATCHES),
             "", ""});

    for (std::size_t i = 0; i < scripts.size(); ++i) {
        if (!checks[i].bLog) continue;
        std::string label = logScript->label + (checks[i].bSameLog ? ", same bytes" : ", files DIFFER");
        // CPU time leaves out waiting for the disk; wall time includes it.
        double extraLog = checks[i].checkLog.cpuMs - checks[i].check.cpuMs;
        double extraSave = checks[i].save.cpuMs - checks[i].load.cpuMs;
        double ratio = extraLog / extraSave;
        table += Row({"--logfile extra time / pugixml save time", label, Format("+%.1f ms", extraLog),
                      Format("+%.1f ms", extraSave), Format("%.3f", ratio),
                      "<= " + Format("%.1f", TARGET_LOG), Verdict(ratio, TARGET_LOG)});
        double extraLogWall = checks[i].checkLog.wallMs - checks[i].check.wallMs;
        double extraSaveWall = checks[i].save.wallMs - checks[i].load.wallMs;
        double ratioWall = extraLogWall / extraSaveWall;
        table += Row({"--logfile extra time / pugixml save time, wall", label,
                      Format("+%.1f ms wall", extraLogWall), Format("+%.1f ms wall", extraSaveWall),
                      Format("%.3f", ratioWall), "<= " + Format("%.1f", TARGET_LOG),
                      Verdict(ratioWall, TARGET_LOG)});
        // kxb check walks the script as the check pass does: the baseline is kavelwrite's own check.
        double ratioKxb = checks[i].kxbCheck.cpuMs / checks[i].check.cpuMs;
        table += Row({"kxb check time / kavelwrite check time", logScript->label,
                      Format("%.1f ms", checks[i].kxbCheck.cpuMs), Format("%.1f ms", checks[i].check.cpuMs),
                      Format("%.3f", ratioKxb), "<= " + Format("%.1f", TARGET_KXB_CHECK),
                      Verdict(ratioKxb, TARGET_KXB_CHECK)});
        table += Row({"kxb check peak RSS / kavelwrite check peak RSS", logScript->label,
                      Format("%.1f MB", checks[i].kxbCheck.maxRssKb / 1024),
                      Format("%.1f MB", checks[i].check.maxRssKb / 1024),
                      Format("%.3f", checks[i].kxbCheck.maxRssKb / checks[i].check.maxRssKb), "", ""});
    }

    // The fixed cost of starting the program and checking the Device element is taken off, so that
    // what remains grows with the script.
    std::size_t first = 0;
    std::size_t last = scripts.size() - 1;
    double perMb[2];
    std::size_t ends[2] = {first, last};
    for (int k = 0; k < 2; ++k) {
        std::size_t i = ends[k];
        double mb = static_cast<double>(scripts[i].counts.at("bytes")) / MB;
        perMb[k] = (checks[i].check.cpuMs - fixed.check.cpuMs) / mb;
        table += Row({"Check cost per MB (start-up " + Format("%.1f ms", fixed.check.cpuMs) + " taken off)",
                      scripts[i].label, Format("%.2f ms/MB", perMb[k]), "", "", "", ""});
    }
    double scaling = perMb[1] / perMb[0];
    table += Row({"Cost per MB, " + scripts[last].label + " / " + scripts[first].label, "", "", "",
                  Format("%.3f", scaling), "<= " + Format("%.1f", TARGET_SCALING),
                  Verdict(scaling, TARGET_SCALING)});

    std::fputs("\n", stdout);
    std::fputs(table.c_str(), stdout);
    std::fflush(stdout);
    std::string resultsPath = std::string(DATA_DIR) + "/results.md";
    std::ofstream results(resultsPath);
    results << table;
    std::fprintf(stderr, "\nThe table is also in %s\n", resultsPath.c_str());
    return 0;
}
