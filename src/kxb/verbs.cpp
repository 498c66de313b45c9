// What kxb's verbs share: the options of the verbs that name files, loading and checking a script,
// JSON output and the notation of numbers and bytes.
#include "kxb.h"

#include "driver.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <getopt.h>
#include <iostream>

const char* const txtKxbDevice = "Device";
const char* const txtKxbId = "Id";

int KxbFileOptions(int argc, char* argv[], const char* txtUsage, const char* txtWhat, bool* bJson) {
    const struct option options[] = {
        {"json", no_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *bJson = false;
    int nOption;
    while ((nOption = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        switch (nOption) {
        case 'j':
            *bJson = true;
            break;
        case 'h':
            return KxbUsage(txtUsage);
        default:
            return KxbUsageError(txtUsage);
        }
    }
    if (optind >= argc) {
        std::cerr << "kxb " << argv[0] << ": no " << txtWhat << " named" << std::endl;
        KxbUsageError(txtUsage);
        return ERR_ERROR_PARAMETER_MISSING;
    }
    return -1;
}

void KxbPrintJson(const nlohmann::ordered_json& report) {
    // A script's bytes need not be UTF-8; they are shown, never a reason to fail.
    std::cout << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
}

std::string KxbUpperHex(int nValue) {
    std::string sHex = ToHex(nValue);
    for (char& c : sHex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return sHex;
}

std::string KxbTwoDigits(int nValue) {
    std::string sHex = KxbUpperHex(nValue & 0xFF);
    return sHex.size() < 2 ? "0" + sHex : sHex;
}

std::string KxbByteListText(const std::vector<unsigned char>& pBytes) {
    std::string sBytes;
    sBytes.reserve(3 * pBytes.size());
    for (unsigned char b : pBytes) {
        if (!sBytes.empty()) sBytes += ' ';
        sBytes += KxbTwoDigits(b);
    }
    return sBytes;
}

int KxbReadBackOptions(int argc, char* argv[], const char* txtUsage, bool bBackup, KxbReadOptions* options) {
    const struct option verifyOptions[] = {
        {"json", no_argument, nullptr, 'j'},
        {"send-pointer-commands", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const struct option backupOptions[] = {
        {"keyboard", required_argument, nullptr, 'k'},
        {"output", required_argument, nullptr, 'o'},
        {"send-pointer-commands", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    *options = KxbReadOptions();
    int nOption;
    while ((nOption = getopt_long(argc, argv, "", bBackup ? backupOptions : verifyOptions, nullptr)) != -1) {
        switch (nOption) {
        case 'j':
            options->bJson = true;
            break;
        case 'p':
            options->bSendPointerCommands = true;
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
            options->nKeyboard = static_cast<int>(lIndex);
            break;
        }
        case 'o':
            options->sOutput = optarg;
            break;
        case 'h':
            return KxbUsage(txtUsage);
        default:
            return KxbUsageError(txtUsage);
        }
    }
    if (optind >= argc) {
        std::cerr << "kxb " << argv[0] << ": no script named" << std::endl;
        KxbUsageError(txtUsage);
        return ERR_ERROR_PARAMETER_MISSING;
    }
    // One script: the keyboards are read against one document.
    if (optind + 1 < argc) return KxbUsageError(txtUsage);
    return -1;
}

int KxbLoadChecked(pugi::xml_document& doc, const std::string& filename, pugi::xml_encoding* encoding) {
    std::vector<KxbFinding> findings;
    int nStatus = 0;
    KxbFinding failure;
    if (KxbLoadFile(doc, filename, &failure, encoding) != LOAD_OK) {
        findings.push_back(failure);
        nStatus = ERR_ERROR_LOAD_FILE;
    } else {
        int nSteps = 0;
        int nWrites = 0;
        nStatus = KxbCheckDocument(doc.first_child(), findings, &nSteps, &nWrites);
        KxbPlaceFindings(filename, *encoding, findings);
    }
    // Only the faults: a script that passes the check is read back whatever its warnings say.
    for (const KxbFinding& finding : findings) {
        if (!finding.bWarning) std::cerr << KxbFindingLine(filename, finding) << std::endl;
    }
    return nStatus;
}

std::string KxbKeyboardFailure(int nStatus, int nLibraryStatus) {
    if (nStatus == ERR_ERROR_DEVICE_OPEN)
        return txtKEYBOARD_OPEN_ERROR + (" (" + std::to_string(nLibraryStatus) + ")");
    if (nStatus == ERR_ERROR_MODULES_ENUMERATION)
        return txtKEYBOARD_ENUMERATION_ERROR + (" (" + std::to_string(nLibraryStatus) + ")");
    if (nStatus == ERR_ERROR_DEVICE_COMPATIBILITY) return txtKEYBOARD_NOT_SUITABLE;
    return txtKEYBOARD_COMMUNICATION_ERROR;
}
