// What kxb's verbs share: the options of the verbs that name files, loading and checking a script,
// JSON output and the notation of numbers and bytes.
#include "kxb.h"

#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <getopt.h>
#include <iostream>

const char* const txtKxbDevice = "Device";
const char* const txtKxbId = "Id";

namespace {

// Reads a verb's options from its table into *read: --json, --send-pointer-commands, --keyboard N,
// --output FILE, --record FILE and --help, as far as the table has them; returns -1 to go on with what is
// named from optind, otherwise the verb's exit status (0 after --help, 2 for a wrong option, 168 when no
// txtWhat is named).
int VerbOptions(int argc, char* argv[], const char* txtUsage, const struct option* options,
                const char* txtWhat, KxbReadOptions* read) {
    *read = KxbReadOptions();
    int nOption;
    opterr = 0;
    while ((nOption = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (nOption) {
        case 'j':
            read->bJson = true;
            break;
        case 'p':
            read->bSendPointerCommands = true;
            break;
        case 'k': {
            // A keyboard's index as kavelwrite prints it: decimal, nothing after it.
            char* pEnd = nullptr;
            errno = 0;
            long lIndex = std::strtol(optarg, &pEnd, 10);
            if (errno != 0 || pEnd == optarg || *pEnd != '\0' || lIndex < 0 || lIndex > INT_MAX) {
                std::cerr << "kxb " << argv[0] << ": --keyboard takes a keyboard's index, not '" << optarg
                          << "'" << std::endl;
                return KxbUsageError(txtUsage);
            }
            read->nKeyboard = static_cast<int>(lIndex);
            break;
        }
        case 'o':
            read->sOutput = optarg;
            break;
        case 'r':
            if (*optarg == '\0') return KxbRecordFileMissing(argv);
            read->sRecord = optarg;
            break;
        case 'h':
            return KxbUsage(txtUsage);
        default:
            return KxbOptionError(argv, txtUsage);
        }
    }
    if (optind >= argc) {
        std::cerr << "kxb " << argv[0] << ": no " << txtWhat << " named" << std::endl;
        KxbUsageError(txtUsage);
        return ERR_ERROR_PARAMETER_MISSING;
    }
    return -1;
}

} // namespace

int KxbFileOptions(int argc, char* argv[], const char* txtUsage, const char* txtWhat, bool* bJson) {
    const struct option options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"json", no_argument, nullptr, 'j'},
        {nullptr, 0, nullptr, 0},
    };
    // A verb without --json reads the table up to it.
    const struct option helpOnly[] = {options[0], {nullptr, 0, nullptr, 0}};
    KxbReadOptions read;
    int nStatus = VerbOptions(argc, argv, txtUsage, bJson != nullptr ? options : helpOnly, txtWhat, &read);
    if (bJson != nullptr) *bJson = read.bJson;
    return nStatus;
}

void KxbPrintJson(const nlohmann::ordered_json& report) {
    // A script's bytes need not be UTF-8; they are shown, never a reason to fail.
    std::cout << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}

int KxbReadBackScript(int argc, char* argv[], const char* txtUsage, bool bBackup, KxbReadOptions* options,
                      pugi::xml_document& doc, pugi::xml_encoding* encoding) {
    const struct option verifyOptions[] = {
        {"json", no_argument, nullptr, 'j'},
        {"send-pointer-commands", no_argument, nullptr, 'p'},
        {"record", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const struct option backupOptions[] = {
        {"keyboard", required_argument, nullptr, 'k'},
        {"output", required_argument, nullptr, 'o'},
        {"send-pointer-commands", no_argument, nullptr, 'p'},
        {"record", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int nStatus =
        VerbOptions(argc, argv, txtUsage, bBackup ? backupOptions : verifyOptions, "script", options);
    if (nStatus >= 0) return nStatus;
    // The backup is written whole over its file: never over the script it backs up.
    if (bBackup && !options->sOutput.empty() && SameFile(options->sOutput, argv[optind])) {
        std::cerr << "kxb " << argv[0]
                  << ": ERROR: --output names the script it backs up: " << options->sOutput << std::endl;
        return KXB_USAGE_ERROR;
    }
    nStatus = KxbStartRecording(argc, argv, options->sRecord);
    if (nStatus != 0) return nStatus;
    // One script: the keyboards are read against one document.
    if (optind + 1 < argc) {
        std::cerr << "kxb " << argv[0] << ": one script at a time, not also '" << argv[optind + 1] << "'"
                  << std::endl;
        return KxbUsageError(txtUsage);
    }
    options->sScript = argv[optind];

    std::vector<KxbFinding> findings;
    KxbFinding failure;
    if (KxbLoadFile(doc, options->sScript, &failure, encoding) != LOAD_OK) {
        findings.push_back(failure);
        nStatus = ERR_ERROR_LOAD_FILE;
    } else {
        int nSteps = 0;
        int nWrites = 0;
        nStatus = KxbCheckDocument(doc.first_child(), findings, &nSteps, &nWrites);
        KxbPlaceFindings(options->sScript, *encoding, findings);
    }
    // Only the faults: a script that passes the check is read back whatever its warnings say.
    for (const KxbFinding& finding : findings) {
        if (!finding.bWarning) std::cerr << KxbFindingLine(options->sScript, finding) << std::endl;
    }
    return nStatus == 0 ? -1 : nStatus;
}

int KxbOptionError(char* argv[], const char* txtUsage) {
    // getopt says nothing itself, so that --record without its file gets the one line kavelwrite has.
    if (optopt == 'r') return KxbRecordFileMissing(argv);
    std::cerr << "kxb " << argv[0] << ": wrong option '" << argv[optind - 1] << "'" << std::endl;
    return KxbUsageError(txtUsage);
}

int KxbRecordFileMissing(char* argv[]) {
    std::cerr << "kxb " << argv[0] << ": ERROR: Recording file parameter missing" << std::endl;
    return ERR_ERROR_RECORD_FILE;
}

int KxbStartRecording(int argc, char* argv[], const std::string& path) {
    if (path.empty()) return 0;
    // The verb after the version, so that a replay can tell a recording of another verb.
    int nError = RecordingStart(path,
                                "kxb " + std::to_string(KAVELWRITE_VER_MAJOR) + "." +
                                    std::to_string(KAVELWRITE_VER_MINOR) + "." +
                                    std::to_string(KAVELWRITE_VER_BUILD) + " " + argv[0],
                                argc, argv);
    if (nError == 0) return 0;
    std::cerr << "kxb " << argv[0] << ": ERROR: " << RecordingErrorText(path, nError) << std::endl;
    return ERR_ERROR_RECORD_FILE;
}

std::string KxbKeyboardFailure(int nStatus, int nLibraryStatus) {
    const KeyboardOutcome* outcome = KeyboardOutcomeOf(nStatus);
    // Any other status of a keyboard that kxb read is a read that failed.
    if (outcome == nullptr || nStatus == 0) outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_COMMUNICATION);
    return KeyboardOutcomeLine(*outcome, nLibraryStatus);
}

int KxbOpenKeyboard(KavelHidDevice* device, int* nLibraryStatus) {
    // A keyboard the library cannot hand out counts as one that does not open, as in a run.
    *nLibraryStatus = device ? device->Open() : -1;
    if (*nLibraryStatus != 0) return ERR_ERROR_DEVICE_OPEN;
    *nLibraryStatus = device->EnumerateModules();
    return *nLibraryStatus != 0 ? ERR_ERROR_MODULES_ENUMERATION : 0;
}

int KxbOpenAndReadBack(pugi::xml_node root, KavelHidDevice* device, int i, bool bSendPointerCommands,
                       KeyboardReadBack* readback) {
    // The annotations of a read-back carry a blank, which no script's own attribute name can.
    const std::string txtReadBack = "kxb read";
    *readback = KeyboardReadBack();
    readback->nStatus = KxbOpenKeyboard(device, &readback->nLibraryStatus);
    if (readback->nStatus != 0) return readback->nStatus;
    return KxbReadBackWithoutWriting(root, device, TimestampDevice(txtReadBack, i), bSendPointerCommands,
                                     readback);
}
