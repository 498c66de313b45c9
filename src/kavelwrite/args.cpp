// kavelwrite's command line.
#include "kavelwrite.h"

#include <cstdlib>
#include <iostream>

namespace {

// An option that takes a value: --name VALUE, the value being the next argument whatever it
// holds, or --name=VALUE. Returns true when sArg is the option, with *bGiven set and its value
// (empty when none follows) in *sValue.
bool ValueOption(const std::string& sName, const std::string& sArg, int argc, char* argv[], int* nArg,
                 bool* bGiven, std::string* sValue) {
    if (sArg == sName) {
        *bGiven = true;
        *sValue = *nArg + 1 < argc ? argv[++*nArg] : "";
        return true;
    }
    if (sArg.compare(0, sName.size() + 1, sName + "=") != 0) return false;
    *bGiven = true;
    *sValue = sArg.substr(sName.size() + 1);
    return true;
}

// A count of batches: a positive decimal number, nothing else; 0 for anything else.
int BatchCount(const std::string& sValue) {
    const long BATCHES_MAX = 1000000000;
    if (sValue.empty() || sValue.find_first_not_of("0123456789") != std::string::npos || sValue.size() > 10)
        return 0;
    long lCount = std::strtol(sValue.c_str(), nullptr, 10);
    return lCount > 0 && lCount <= BATCHES_MAX ? static_cast<int>(lCount) : 0;
}

} // namespace

const char* const txtUsageLine = "Usage: kavelwrite kxbfile [--logfile] [--verify] [--overlap-resets] "
                                 "[--record FILE] [--history TARGET] [--events FILE] [--loop [--batches N]]";

RunArguments ReadArguments(int argc, char* argv[]) {
    RunArguments args;
    args.arArguments.assign(argv + 1, argv + argc);
    for (int nArg = 1; nArg < argc; nArg++) {
        const std::string sArg = argv[nArg];
        std::string sValue;
        bool bBatches = false;
        if (sArg == "--logfile") {
            args.bWriteLogfile = true;
        } else if (sArg == "--overlap-resets") {
            args.bOverlapResets = true;
        } else if (sArg == "--verify") {
            args.bVerify = true;
        } else if (sArg == "--loop") {
            args.bLoop = true;
        } else if (sArg == "--help") {
            args.bHelp = true;
        } else if (sArg == "--version") {
            args.bVersion = true;
        } else if (ValueOption("--record", sArg, argc, argv, &nArg, &args.bRecord, &args.sRecordFile) ||
                   ValueOption("--history", sArg, argc, argv, &nArg, &args.bHistory, &args.sHistory) ||
                   ValueOption("--events", sArg, argc, argv, &nArg, &args.bEvents, &args.sEventsFile)) {
            continue;
        } else if (ValueOption("--batches", sArg, argc, argv, &nArg, &bBatches, &sValue)) {
            args.nBatches = BatchCount(sValue);
            // A count that is no count is told as the option it came with.
            if (args.nBatches == 0 && args.sBadArgument.empty()) args.sBadArgument = "--batches " + sValue;
        } else if (sArg.compare(0, 2, "--") == 0) {
            // A mistyped option must not vanish: the keyboards would be written without it.
            if (args.sUnknownOption.empty()) args.sUnknownOption = sArg;
        } else if (args.filename.empty()) {
            args.filename = sArg;
        }
    }
    if (args.nBatches > 0 && !args.bLoop && args.sBadArgument.empty())
        args.sBadArgument = "--batches without --loop";
    return args;
}

void PrintUsage() {
    std::cout << txtUsageLine << std::endl;
}

void PrintHelp() {
    PrintUsage();
    std::cout << R"(
Checks the kxb file, then writes it into every attached keyboard and resets each one.

  --logfile         save the script with what every pass did beside it, as FILE_tSTAMP
  --verify          read every written byte back before the reset; a keyboard that does not
                    hold them is not reset (status 167)
  --overlap-resets  go on with the next keyboard while one restarts; wait once, after the last
  --record FILE     record every call into the keyboard library and what came back into FILE
  --history TARGET  keep a row per keyboard written in TARGET: an SQLite file, or a
                    postgresql:// URI (default: $KAVELWRITE_HISTORY)
  --events FILE     write one JSON object per line into FILE as each thing happens
  --loop            a station: write keyboards batch after batch as they are plugged in, until
                    Ctrl-C (keyboards of a batch are written as with --overlap-resets)
  --batches N       with --loop: end after N batches
  --help            show this help
  --version         show the version of kavelwrite and of the keyboard library

Exit status: 0 every keyboard written; 2 a wrong option; 160 the check failed; 161 no keyboard can
be looked for; 162 to 167 the last keyboard that failed (see kavelwrite(1)); 168 no kxb file; 169
the kxb file does not load; 170 --record; 171 --history; 172 --events; 128 + a signal that stopped
the run.
)";
}
