// What kxb check and kxb log share: their options, which name files, and their JSON output.
#include "kxb.h"

#include "driver.h"

#include <nlohmann/json.hpp>

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
