// kavelwrite's command line.
#include "kavelwrite.h"

// Reads the command line: the options anywhere, the first other argument as the script; a
// further argument is ignored.
RunArguments ReadArguments(int argc, char* argv[]) {
    const std::string txtLogfile = "--logfile";
    const std::string txtOverlapResets = "--overlap-resets";
    const std::string txtRecord = "--record";
    const std::string txtVerify = "--verify";
    RunArguments args;
    for (int nArg = 1; nArg < argc; nArg++) {
        const std::string sArg = argv[nArg];
        if (txtLogfile == sArg) {
            args.bWriteLogfile = true;
        } else if (txtOverlapResets == sArg) {
            args.bOverlapResets = true;
        } else if (txtVerify == sArg) {
            args.bVerify = true;
        } else if (txtRecord == sArg) {
            // The file is the next argument, whatever it holds.
            args.bRecord = true;
            args.sRecordFile = nArg + 1 < argc ? argv[++nArg] : "";
        } else if (sArg.compare(0, txtRecord.size() + 1, txtRecord + "=") == 0) {
            args.bRecord = true;
            args.sRecordFile = sArg.substr(txtRecord.size() + 1);
        } else if (args.filename.empty()) {
            args.filename = sArg;
        }
    }
    return args;
}
