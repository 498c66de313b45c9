// kxb check: every fault of a script with its line and column, as kavelwrite's check pass would
// meet them, and what passes the check but cannot be meant.
#include "kxb.h"

#include "driver.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
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

namespace {

// Values are shown on one line and not beyond this many characters.
const size_t VALUE_SHOWN_MAX = 60;

// A value as a line shows it: control characters written out, a long value cut short.
std::string Shown(const std::string& sValue) {
    std::string sShown;
    for (size_t i = 0; i < sValue.size() && i < VALUE_SHOWN_MAX; ++i) {
        const unsigned char c = static_cast<unsigned char>(sValue[i]);
        if (c == '\n') {
            sShown += "\\n";
        } else if (c == '\r') {
            sShown += "\\r";
        } else if (c == '\t') {
            sShown += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char txtEscape[8];
            std::snprintf(txtEscape, sizeof txtEscape, "\\x%02X", c);
            sShown += txtEscape;
        } else {
            sShown += static_cast<char>(c);
        }
    }
    return sValue.size() > VALUE_SHOWN_MAX ? sShown + "..." : sShown;
}

// Why a file that the parser could not read cannot be read, in the system's words.
std::string UnreadableReason(const std::string& filename, const char* txtParser) {
    errno = 0;
    FILE* file = std::fopen(filename.c_str(), "rb");
    if (file == nullptr) return errno != 0 ? std::strerror(errno) : txtParser;
    std::fclose(file);
    return txtParser;
}

nlohmann::ordered_json TextOrNull(const std::string& sText) {
    return sText.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(sText);
}

} // namespace

int KxbLoadFile(pugi::xml_document& doc, const std::string& filename, KxbFinding* failure,
                pugi::xml_encoding* encoding) {
    pugi::xml_parse_result parsed;
    int nLoad = LoadScriptFile(doc, filename, &parsed);
    *encoding = parsed.encoding;
    if (nLoad == LOAD_OK) return LOAD_OK;
    *failure = KxbFinding();
    if (nLoad == LOAD_FOLDER) {
        failure->sMessage = "is a folder, not a script";
    } else if (nLoad == LOAD_TOO_DEEP) {
        failure->sMessage = "nests elements deeper than " + std::to_string(SCRIPT_DEPTH_MAX) + " levels";
    } else if (parsed.status == pugi::status_file_not_found || parsed.status == pugi::status_io_error) {
        failure->sMessage = UnreadableReason(filename, parsed.description());
    } else if (parsed.status == pugi::status_out_of_memory) {
        failure->sMessage = parsed.description();
    } else {
        // A document the parser rejects: where it stopped, in its own words.
        failure->sMessage = parsed.description();
        failure->nOffset = parsed.offset;
        std::vector<KxbFinding> failures = {*failure};
        KxbPlaceFindings(filename, parsed.encoding, failures);
        *failure = failures.front();
    }
    return nLoad;
}

std::vector<KxbPosition> KxbPlaceOffsets(const std::string& filename, pugi::xml_encoding encoding,
                                         const std::vector<ptrdiff_t>& offsets) {
    ptrdiff_t nLast = -1;
    for (ptrdiff_t nOffset : offsets) nLast = std::max(nLast, nOffset);
    if (nLast < 0) return std::vector<KxbPosition>(offsets.size());
    // The file is read again only as far as the last place asked for, and only when one is.
    std::ifstream in(filename, std::ios::binary);
    if (!in) return {};
    std::string sBytes(KxbBytesToReach(encoding, nLast), '\0');
    in.read(&sBytes[0], static_cast<std::streamsize>(sBytes.size()));
    sBytes.resize(static_cast<size_t>(in.gcount()));
    return KxbPositionsAt(sBytes, encoding, offsets);
}

int KxbPlaceFindings(const std::string& filename, pugi::xml_encoding encoding,
                     std::vector<KxbFinding>& findings) {
    std::vector<ptrdiff_t> offsets;
    for (const KxbFinding& finding : findings) offsets.push_back(finding.nOffset);
    std::vector<KxbPosition> positions = KxbPlaceOffsets(filename, encoding, offsets);
    if (positions.size() != findings.size()) return 1;
    for (size_t i = 0; i < findings.size(); ++i) findings[i].position = positions[i];
    return 0;
}

std::string KxbFindingLine(const std::string& filename, const KxbFinding& finding) {
    std::string sLine = KxbPlaceText(filename, finding.position);
    sLine += finding.bWarning ? ": warning: " : ": error: ";
    if (!finding.sElement.empty()) sLine += finding.sElement + ": ";
    if (!finding.sField.empty()) sLine += finding.sField + ": ";
    if (finding.bValue) sLine += "'" + Shown(finding.sValue) + "' ";
    return sLine + finding.sMessage;
}

nlohmann::ordered_json KxbFindingJson(const KxbFinding& finding) {
    nlohmann::ordered_json json;
    bool bPlaced = finding.position.nLine > 0;
    json["line"] = bPlaced ? nlohmann::ordered_json(finding.position.nLine) : nlohmann::ordered_json();
    json["column"] = bPlaced ? nlohmann::ordered_json(finding.position.nColumn) : nlohmann::ordered_json();
    json["severity"] = finding.bWarning ? "warning" : "error";
    json["element"] = TextOrNull(finding.sElement);
    json["field"] = TextOrNull(finding.sField);
    json["value"] = finding.bValue ? nlohmann::ordered_json(finding.sValue) : nlohmann::ordered_json();
    json["annotation"] = TextOrNull(finding.sAnnotation);
    json["message"] = finding.sMessage;
    return json;
}

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
