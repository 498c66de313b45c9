// kxb's entry: the program's own options, then the verb that does the work.
#include "kxb.h"

#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"

#include <cstring>
#include <getopt.h>
#include <iostream>

namespace {

struct VerbEntry {
    const char* name;
    int (*verb)(int argc, char* argv[]);
};

const VerbEntry verbTable[] = {
    {"check", KxbCheck},   {"probe", KxbProbe}, {"log", KxbLog},       {"verify", KxbVerify},
    {"backup", KxbBackup}, {"twin", KxbTwin},   {"schema", KxbSchema}, {"history", KxbHistory},
};

int KxbVersion() {
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerBuild = 0;
    HIDGetLibraryVersion(&nVerMajor, &nVerMinor, &nVerBuild);
    std::cout << "kxb " << KAVELWRITE_VER_MAJOR << "." << KAVELWRITE_VER_MINOR << "." << KAVELWRITE_VER_BUILD
              << std::endl;
    std::cout << "libkavelhidapi " << nVerMajor << "." << nVerMinor << "." << nVerBuild << std::endl;
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // A recording that a signal cuts short still says how it ended.
    InstallEndHandlers();
    const struct option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // "+": the options of kxb end at the verb; what follows it belongs to the verb.
    int nOption;
    while ((nOption = getopt_long(argc, argv, "+hV", options, nullptr)) != -1) {
        switch (nOption) {
        case 'h':
            return KxbUsage(nullptr);
        case 'V':
            return KxbVersion();
        default:
            return KxbUsageError(nullptr);
        }
    }
    if (optind >= argc) return KxbUsageError(nullptr);
    for (const VerbEntry& entry : verbTable) {
        if (std::strcmp(entry.name, argv[optind]) != 0) continue;
        // Each verb reads its own options from its own name on.
        int nVerbArgc = argc - optind;
        char** pVerbArgv = argv + optind;
        optind = 0;
        int nStatus = entry.verb(nVerbArgc, pVerbArgv);
        // A verb that recorded its calls ends the recording with its status; lines lost while the
        // verb went on must not go unnoticed.
        int nRecordEnd = RecordingEnd(nStatus, 0);
        if (nRecordEnd != 0) {
            std::cerr << "kxb " << pVerbArgv[0]
                      << ": ERROR: " << RecordingErrorText(RecordingPath(), nRecordEnd) << std::endl;
        }
        return nStatus;
    }
    std::cerr << "kxb: unknown verb '" << argv[optind] << "'" << std::endl;
    return KxbUsageError(nullptr);
}
