// Findings about a script: loading it as kavelwrite does and saying why it does not load, placing
// what is said of it at its line and column, and writing a finding as a line or as JSON.
#include "kxb.h"

#include "driver.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

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

int KxbPlaceFindings(const std::string& filename, pugi::xml_encoding encoding,
                     const std::vector<KxbFinding*>& findings) {
    std::vector<ptrdiff_t> offsets;
    for (const KxbFinding* finding : findings) offsets.push_back(finding->nOffset);
    std::vector<KxbPosition> positions = KxbPlaceOffsets(filename, encoding, offsets);
    if (positions.size() != findings.size()) return 1;
    for (size_t i = 0; i < findings.size(); ++i) findings[i]->position = positions[i];
    return 0;
}

int KxbPlaceFindings(const std::string& filename, pugi::xml_encoding encoding,
                     std::vector<KxbFinding>& findings) {
    std::vector<KxbFinding*> pointers;
    for (KxbFinding& finding : findings) pointers.push_back(&finding);
    return KxbPlaceFindings(filename, encoding, pointers);
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
