// The whole run: the banner, the library's version, the recording around the run.
#include "kavelwrite.h"

#include "driver.h"
#include "hidlink.h"

#include <iostream>

int kxbMain(int argc, char* argv[]) {
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerBuild = 0;

    InstallStopHandlers();
    RunArguments args = ReadArguments(argc, argv);
    // The recording begins before the first call into the library, the version query.
    int nRecordError = 0;
    if (args.bRecord && !args.sRecordFile.empty()) {
        nRecordError = RecordingStart(args.sRecordFile,
                                      "kavelwrite " + std::to_string(KAVELWRITE_VER_MAJOR) + "." +
                                          std::to_string(KAVELWRITE_VER_MINOR) + "." +
                                          std::to_string(KAVELWRITE_VER_BUILD),
                                      argc - 1, argv + 1);
    }
    std::cout << "kavelwrite " << KAVELWRITE_VER_MAJOR << "." << KAVELWRITE_VER_MINOR << "."
              << KAVELWRITE_VER_BUILD << " writes kxb file into Kavel" << std::endl;
    HidLibraryVersion(&nVerMajor, &nVerMinor, &nVerBuild);
    std::cout << "libkavelhidapi " << nVerMajor << "." << nVerMinor << "." << nVerBuild << std::endl;
    std::cout << std::endl;

    int nStatus = WriteScriptFile(args, nRecordError);
    // The recording ends with how the run ended; one that lost lines must not go unnoticed.
    int nRecordEnd = RecordingEnd(nStatus, StopRequested());
    if (nRecordEnd != 0)
        std::cout << "ERROR: " << RecordingErrorText(args.sRecordFile, nRecordEnd) << std::endl;
    return nStatus;
}
