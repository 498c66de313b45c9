// The whole run: the command line, the banner and the library's version, the recording and the
// event stream around the run.
#include "kavelwrite.h"

#include "driver.h"
#include "hidlink.h"
#include "history.h"

#include <cerrno>
#include <iostream>

std::string ProgramVersion() {
    return "kavelwrite " + std::to_string(KAVELWRITE_VER_MAJOR) + "." + std::to_string(KAVELWRITE_VER_MINOR) +
           "." + std::to_string(KAVELWRITE_VER_BUILD);
}

int kxbMain(int argc, char* argv[]) {
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerBuild = 0;

    InstallStopHandlers();
    RunArguments args = ReadArguments(argc, argv);
    if (args.bHelp) {
        PrintHelp();
        return 0;
    }
    bool bArgumentsWrong = !args.sUnknownOption.empty() || !args.sBadArgument.empty();
    // The recording begins before the first call into the library, the version query; never into the
    // script itself.
    int nRecordError = 0;
    if (args.bRecord && !args.sRecordFile.empty() && !args.bVersion && !bArgumentsWrong) {
        // The recording names its arguments, but never a password of the record's URI.
        std::vector<std::string> arShown;
        for (const std::string& sArgument : args.arArguments) arShown.push_back(HistoryRedactArgument(sArgument));
        std::vector<char*> arShownArgs;
        for (std::string& sArgument : arShown) arShownArgs.push_back(&sArgument[0]);
        nRecordError = SameFile(args.sRecordFile, args.filename)
                           ? EEXIST
                           : RecordingStart(args.sRecordFile, ProgramVersion(), static_cast<int>(arShownArgs.size()),
                                            arShownArgs.data());
    }
    std::cout << ProgramVersion() << " writes kxb file into Kavel" << std::endl;
    HidLibraryVersion(&nVerMajor, &nVerMinor, &nVerBuild);
    const std::string sLibrary =
        std::to_string(nVerMajor) + "." + std::to_string(nVerMinor) + "." + std::to_string(nVerBuild);
    std::cout << "libkavelhidapi " << sLibrary << std::endl;
    if (args.bVersion) return 0;
    std::cout << std::endl;
    if (bArgumentsWrong) {
        // A keyboard is never written without an option that was asked for.
        std::cout << "ERROR: "
                  << (args.sUnknownOption.empty() ? "Wrong option " + args.sBadArgument
                                                  : "Unknown option " + args.sUnknownOption)
                  << std::endl;
        std::cout << std::endl;
        PrintUsage();
        return ERR_ERROR_USAGE;
    }

    int nStatus = WriteScriptFile(args, nRecordError, sLibrary);
    // The recording ends with how the run ended; one that lost lines must not go unnoticed.
    int nRecordEnd = RecordingEnd(nStatus, StopRequested());
    if (nRecordEnd != 0)
        std::cout << "ERROR: " << RecordingErrorText(args.sRecordFile, nRecordEnd) << std::endl;
    int nEventsEnd = EventsClose(nStatus, StopRequested());
    if (nEventsEnd != 0) std::cout << "ERROR: " << EventsErrorText(args.sEventsFile, nEventsEnd) << std::endl;
    return nStatus;
}
