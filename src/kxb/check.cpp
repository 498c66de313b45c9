// kxb check: every fault of a script with its line and column, as kavelwrite's check pass would
// meet them, and what passes the check but cannot be meant.
#include "kxb.h"

#include "driver.h"

#include <nlohmann/json.hpp>

#include <getopt.h>
#include <iostream>

const char* const txtUsageCheck =
    "Usage: kxb check [--json] FILE...\n"
    "\n"
    "Checks kxb scripts as kavelwrite's check pass does, without a keyboard, and reports every fault\n"
    "with its line and column: the first one reported is where kavelwrite's check stops. Warnings\n"
    "name what passes the check but cannot be meant. A script without faults is reported as ok, with\n"
    "its number of writes and the step total of a write pass.\n"
    "\n"
    "  --json   print one JSON document instead of lines\n"
    "  --help   show this help\n"
    "\n"
    "Exit status: 0 every script passes; 160 a script has a fault; 169 a script does not load (169\n"
    "wins over 160); 168 no script named; 2 a wrong option.\n";

int KxbCheck(int argc, char* argv[]) {
    bool bJson = false;
    int nStatus = KxbFileOptions(argc, argv, txtUsageCheck, "script", &bJson);
    if (nStatus >= 0) return nStatus;

    bool bFault = false;
    bool bNotLoaded = false;
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (int nArg = optind; nArg < argc; nArg++) {
        const std::string filename = argv[nArg];
        std::vector<KxbFinding> findings;
        int nSteps = 0;
        int nWrites = 0;
        bool bOk = false;
        {
            pugi::xml_document doc;
            KxbFinding failure;
            pugi::xml_encoding encoding = pugi::encoding_auto;
            if (KxbLoadFile(doc, filename, &failure, &encoding) != LOAD_OK) {
                findings.push_back(failure);
                bNotLoaded = true;
            } else {
                bOk = KxbCheckDocument(doc.first_child(), findings, &nSteps, &nWrites) == 0;
                bFault = bFault || !bOk;
                KxbPlaceFindings(filename, encoding, findings);
            }
        }
        if (bJson) {
            nlohmann::ordered_json file;
            file["file"] = filename;
            file["ok"] = bOk;
            if (bOk) {
                file["steps"] = nSteps;
                file["writes"] = nWrites;
            }
            file["findings"] = nlohmann::ordered_json::array();
            for (const KxbFinding& finding : findings) file["findings"].push_back(KxbFindingJson(finding));
            files.push_back(file);
            continue;
        }
        for (const KxbFinding& finding : findings)
            std::cout << KxbFindingLine(filename, finding) << std::endl;
        if (bOk) {
            std::cout << filename << ": ok: " << nWrites << (nWrites == 1 ? " write, " : " writes, ")
                      << nSteps << " steps in a write pass" << std::endl;
        }
    }
    if (bJson) {
        nlohmann::ordered_json report;
        report["files"] = files;
        KxbPrintJson(report);
    }
    if (bNotLoaded) return ERR_ERROR_LOAD_FILE;
    return bFault ? ERR_ERROR_IN_FILE : 0;
}
