// kxb history: what kavelwrite's production record holds, read only: the keyboards newest first,
// the runs, or per script and day how many keyboards were written and why the others failed; as
// lines, one JSON document or CSV. --create makes the record's tables for an administrator.
#include "kxb.h"

#include "driver.h"
#include "history.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <iostream>
#include <sys/stat.h>

const char* const txtUsageHistory =
    "Usage: kxb history [--since TIME] [--until TIME] [--station NAME] [--script FILE|HASH] [--failed]\n"
    "                   [--limit N] [--summary | --runs] [--json | --csv] [TARGET]\n"
    "       kxb history --create TARGET\n"
    "\n"
    "Reads the production record that kavelwrite --history keeps in TARGET, a SQLite file or a\n"
    "postgresql:// URI (default: KAVELWRITE_HISTORY), and lists the keyboards newest first: when\n"
    "each was started (UTC), the station, the script (its name and the first 8 digits of its SHA-256),\n"
    "the keyboard, its outcome, its read-back, where it failed and the units that were identified.\n"
    "It only reads: a file is opened read-only, and a server role with SELECT alone will do.\n"
    "\n"
    "  --since TIME        keyboards started at TIME or later: 2026-12-09, 2026-12-09 12:34 (UTC)\n"
    "  --until TIME        keyboards started before TIME; a date alone includes that whole day\n"
    "  --station NAME      keyboards of that station\n"
    "  --script FILE|HASH  keyboards written with that script: a file is hashed, a SHA-256 may be\n"
    "                      shortened to its first 8 digits\n"
    "  --failed            keyboards whose outcome is not 'written' (with --runs: runs that did not\n"
    "                      end with 0, or have no end)\n"
    "  --limit N           at most N lines\n"
    "  --summary           per script and day: attempts, written, failed, the yield and the failures\n"
    "                      by outcome\n"
    "  --runs              the runs instead: also those that failed the check or have no end\n"
    "  --json              print one JSON document\n"
    "  --csv               print CSV: a header line, then one row per line\n"
    "  --create            create the record's tables in TARGET (a file too) where they are missing\n"
    "  --help              show this help\n"
    "\n"
    "Outcomes: written (0), open error (162), enumeration error (163), communication error (164),\n"
    "not suitable (165), write error (166), verify error (167), interrupted (128 + the signal).\n"
    "\n"
    "Exit status: 0 the record was read (also when nothing matches); 171 TARGET cannot be read or\n"
    "created; 2 a wrong option.\n";

namespace {

// What is printed.
const int SHOW_KEYBOARDS = 0;
const int SHOW_RUNS = 1;
const int SHOW_SUMMARY = 2;
const size_t SHORT_HASH = 8;

struct HistoryOptions {
    HistoryFilter filter;
    int nShow = SHOW_KEYBOARDS;
    bool bJson = false;
    bool bCsv = false;
    bool bCreate = false;
    std::string sTarget;
};

// The words of a keyboard's outcome.
const struct {
    int nStatus;
    const char* txtWords;
} outcomeWords[] = {
    {0, "written"},
    {ERR_ERROR_DEVICE_OPEN, "open error"},
    {ERR_ERROR_MODULES_ENUMERATION, "enumeration error"},
    {ERR_ERROR_DEVICE_COMMUNICATION, "communication error"},
    {ERR_ERROR_DEVICE_COMPATIBILITY, "not suitable"},
    {ERR_ERROR_DEVICE_WRITE, "write error"},
    {ERR_ERROR_DEVICE_DIFFERS, "verify error"},
};
// A keyboard that a signal stopped ends with 128 + its number, as a run does.
const int SIGNAL_BASE = 128;
const int SIGNAL_MAX = 64;

std::string OutcomeWords(int nOutcome) {
    for (const auto& outcome : outcomeWords) {
        if (outcome.nStatus == nOutcome) return outcome.txtWords;
    }
    if (nOutcome > SIGNAL_BASE && nOutcome <= SIGNAL_BASE + SIGNAL_MAX) {
        return "interrupted (signal " + std::to_string(nOutcome - SIGNAL_BASE) + ")";
    }
    return "status " + std::to_string(nOutcome);
}

// A time of the record as a person reads it: "2026-12-09 12:34:56.789", UTC.
std::string ShownTime(const std::string& sTime) {
    std::string sShown = sTime;
    if (sShown.size() > 10 && sShown[10] == 'T') sShown[10] = ' ';
    if (!sShown.empty() && sShown.back() == 'Z') sShown.pop_back();
    return sShown;
}

// A script as lines name it: its file name and the start of its hash.
std::string ShownScript(const std::string& sPath, const std::string& sSha256) {
    size_t nSlash = sPath.rfind('/');
    std::string sName = nSlash == std::string::npos ? sPath : sPath.substr(nSlash + 1);
    return sName + " " + sSha256.substr(0, SHORT_HASH);
}

// The units as a report names them: "controller Id=21 Ver=1.2.3.0, 0 Id=42 IdSub=3 Ver=2.1.0.0".
std::string ShownUnits(const std::vector<HistoryUnit>& arUnit) {
    std::string sText;
    for (const HistoryUnit& unit : arUnit) {
        if (!sText.empty()) sText += ", ";
        sText += unit.sUnit + " Id=" + ToHex(unit.nTypeId);
        if (unit.sUnit != "controller") sText += " IdSub=" + ToHex(unit.nSubId);
        sText += " Ver=" + unit.sVersion;
    }
    return sText;
}

std::string ShownEnd(const HistoryRunRead& run) {
    if (!run.bEnded) return "no end";
    if (run.sEndedBy == "exit") return "exit " + std::to_string(run.nExitStatus);
    return "signal " + run.sEndedBy + " (" + std::to_string(run.nExitStatus) + ")";
}

// The share of keyboards written, in per cent with one decimal.
double Yield(long lWritten, long lAttempts) {
    if (lAttempts <= 0) return 0;
    return std::round(1000.0 * static_cast<double>(lWritten) / static_cast<double>(lAttempts)) / 10.0;
}

std::string YieldText(long lWritten, long lAttempts) {
    std::vector<char> arText(32);
    std::snprintf(arText.data(), arText.size(), "%.1f", Yield(lWritten, lAttempts));
    return arText.data();
}

// Prints rows as columns two blanks apart; bRight[c] aligns column c to the right. The last column
// is not padded.
void PrintColumns(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& bRight) {
    std::vector<size_t> arWidth;
    for (const auto& row : rows) {
        arWidth.resize(std::max(arWidth.size(), row.size()), 0);
        for (size_t c = 0; c < row.size(); c++) arWidth[c] = std::max(arWidth[c], row[c].size());
    }
    for (const auto& row : rows) {
        std::string sLine;
        for (size_t c = 0; c < row.size(); c++) {
            std::string sPad(arWidth[c] - row[c].size(), ' ');
            bool bLast = c + 1 == row.size();
            if (c > 0) sLine += "  ";
            if (c < bRight.size() && bRight[c]) {
                sLine += sPad + row[c];
            } else {
                sLine += row[c] + (bLast ? "" : sPad);
            }
        }
        while (!sLine.empty() && sLine.back() == ' ') sLine.pop_back();
        std::cout << sLine << "\n";
    }
}

// One CSV field, quoted where it holds a comma, a quote or a line break, its quotes doubled.
std::string CsvField(const std::string& sField) {
    if (sField.find_first_of(",\"\r\n") == std::string::npos) return sField;
    std::string sQuoted = "\"";
    for (char c : sField) {
        sQuoted += c;
        if (c == '"') sQuoted += '"';
    }
    return sQuoted + "\"";
}

void PrintCsv(const std::vector<std::vector<std::string>>& rows) {
    for (const auto& row : rows) {
        std::string sLine;
        for (size_t c = 0; c < row.size(); c++) sLine += (c > 0 ? "," : "") + CsvField(row[c]);
        // Records end with CR LF, as the CSV format has them.
        std::cout << sLine << "\r\n";
    }
}

void PrintKeyboards(const std::vector<HistoryKeyboardRead>& keyboards, const HistoryOptions& options) {
    if (options.bJson) {
        nlohmann::ordered_json jKeyboards = nlohmann::ordered_json::array();
        for (const HistoryKeyboardRead& read : keyboards) {
            const HistoryKeyboard& k = read.keyboard;
            nlohmann::ordered_json jUnits = nlohmann::ordered_json::array();
            for (const HistoryUnit& unit : k.arUnit) {
                jUnits.push_back({{"unit", unit.sUnit},
                                  {"typeId", unit.nTypeId},
                                  {"version", unit.sVersion},
                                  {"subId", unit.nSubId}});
            }
            jKeyboards.push_back(
                {{"run", read.run.sRunId},
                 {"station", read.run.sStation},
                 {"script", read.run.sScriptPath},
                 {"scriptSha256", read.run.sScriptSha256},
                 {"keyboard", k.nKeyboard},
                 {"started", k.sStarted},
                 {"ended", k.sEnded},
                 {"outcome", k.nOutcome},
                 {"outcomeText", OutcomeWords(k.nOutcome)},
                 {"failedAt", k.sFailedAt},
                 {"verify", k.sVerify},
                 {"verifiedBytes", k.nVerifiedBytes},
                 {"imageSha256", k.sImageSha256},
                 {"reset", k.bReset},
                 {"resetStatus", k.bResetStatus ? nlohmann::ordered_json(k.nResetStatus) : nullptr},
                 {"units", jUnits}});
        }
        KxbPrintJson({{"keyboards", jKeyboards}});
        return;
    }
    std::vector<std::vector<std::string>> rows;
    if (options.bCsv) {
        rows.push_back({"started", "station", "script", "script_sha256", "run", "keyboard", "outcome",
                        "outcome_text", "failed_at", "verify", "verified_bytes", "units"});
        for (const HistoryKeyboardRead& read : keyboards) {
            const HistoryKeyboard& k = read.keyboard;
            rows.push_back({k.sStarted, read.run.sStation, read.run.sScriptPath, read.run.sScriptSha256,
                            read.run.sRunId, std::to_string(k.nKeyboard), std::to_string(k.nOutcome),
                            OutcomeWords(k.nOutcome), k.sFailedAt, k.sVerify,
                            std::to_string(k.nVerifiedBytes), ShownUnits(k.arUnit)});
        }
        PrintCsv(rows);
        return;
    }
    if (keyboards.empty()) {
        std::cout << "No keyboard in the record matches." << std::endl;
        return;
    }
    rows.push_back(
        {"Started (UTC)", "Station", "Script", "Keyboard", "Outcome", "Verify", "Failed at", "Units"});
    for (const HistoryKeyboardRead& read : keyboards) {
        const HistoryKeyboard& k = read.keyboard;
        rows.push_back({ShownTime(k.sStarted), read.run.sStation,
                        ShownScript(read.run.sScriptPath, read.run.sScriptSha256),
                        std::to_string(k.nKeyboard), OutcomeWords(k.nOutcome), k.sVerify, k.sFailedAt,
                        ShownUnits(k.arUnit)});
    }
    PrintColumns(rows, {false, false, false, true});
    std::cout << std::flush;
}

void PrintRuns(const std::vector<HistoryRunRead>& runs, const HistoryOptions& options) {
    if (options.bJson) {
        nlohmann::ordered_json jRuns = nlohmann::ordered_json::array();
        for (const HistoryRunRead& read : runs) {
            const HistoryRun& r = read.run;
            nlohmann::ordered_json jNull = nullptr;
            jRuns.push_back({{"run", r.sRunId},
                             {"station", r.sStation},
                             {"program", r.sProgram},
                             {"library", r.sLibrary},
                             {"arguments", r.sArguments},
                             {"script", r.sScriptPath},
                             {"scriptSha256", r.sScriptSha256},
                             {"checkOutcome", r.sCheckOutcome},
                             {"started", r.sStarted},
                             {"batch", r.sBatch},
                             {"session", r.sSession},
                             {"ended", read.bEnded ? nlohmann::ordered_json(read.sEnded) : jNull},
                             {"exitStatus", read.bEnded ? nlohmann::ordered_json(read.nExitStatus) : jNull},
                             {"endedBy", read.bEnded ? nlohmann::ordered_json(read.sEndedBy) : jNull},
                             {"keyboards", read.lKeyboards},
                             {"failed", read.lFailed}});
        }
        KxbPrintJson({{"runs", jRuns}});
        return;
    }
    std::vector<std::vector<std::string>> rows;
    if (options.bCsv) {
        rows.push_back({"started", "station", "script", "script_sha256", "run", "check_outcome", "keyboards",
                        "failed", "ended", "exit_status", "ended_by"});
        for (const HistoryRunRead& read : runs) {
            const HistoryRun& r = read.run;
            rows.push_back({r.sStarted, r.sStation, r.sScriptPath, r.sScriptSha256, r.sRunId, r.sCheckOutcome,
                            std::to_string(read.lKeyboards), std::to_string(read.lFailed), read.sEnded,
                            read.bEnded ? std::to_string(read.nExitStatus) : "", read.sEndedBy});
        }
        PrintCsv(rows);
        return;
    }
    if (runs.empty()) {
        std::cout << "No run in the record matches." << std::endl;
        return;
    }
    rows.push_back({"Started (UTC)", "Station", "Script", "Keyboards", "Failed", "End", "Check"});
    for (const HistoryRunRead& read : runs) {
        const HistoryRun& r = read.run;
        rows.push_back({ShownTime(r.sStarted), r.sStation, ShownScript(r.sScriptPath, r.sScriptSha256),
                        std::to_string(read.lKeyboards), std::to_string(read.lFailed), ShownEnd(read),
                        r.sCheckOutcome});
    }
    PrintColumns(rows, {false, false, false, true, true});
    std::cout << std::flush;
}

void PrintSummary(const std::vector<HistorySummaryRead>& summary, const HistoryOptions& options) {
    if (options.bJson) {
        nlohmann::ordered_json jSummary = nlohmann::ordered_json::array();
        for (const HistorySummaryRead& line : summary) {
            nlohmann::ordered_json jByOutcome = nlohmann::ordered_json::object();
            for (const auto& outcome : line.arByOutcome)
                jByOutcome[std::to_string(outcome.first)] = outcome.second;
            jSummary.push_back({{"scriptSha256", line.sScriptSha256},
                                {"script", line.sScriptPath},
                                {"day", line.sDay},
                                {"attempts", line.lAttempts},
                                {"written", line.lWritten},
                                {"failed", line.lFailed},
                                {"yield", Yield(line.lWritten, line.lAttempts)},
                                {"byOutcome", jByOutcome}});
        }
        KxbPrintJson({{"summary", jSummary}});
        return;
    }
    std::vector<std::vector<std::string>> rows;
    if (options.bCsv) {
        rows.push_back(
            {"day", "script", "script_sha256", "attempts", "written", "failed", "yield", "by_outcome"});
        for (const HistorySummaryRead& line : summary) {
            std::string sByOutcome;
            for (const auto& outcome : line.arByOutcome) {
                sByOutcome += (sByOutcome.empty() ? "" : ";") + std::to_string(outcome.first) + "=" +
                              std::to_string(outcome.second);
            }
            rows.push_back({line.sDay, line.sScriptPath, line.sScriptSha256, std::to_string(line.lAttempts),
                            std::to_string(line.lWritten), std::to_string(line.lFailed),
                            YieldText(line.lWritten, line.lAttempts), sByOutcome});
        }
        PrintCsv(rows);
        return;
    }
    if (summary.empty()) {
        std::cout << "No keyboard in the record matches." << std::endl;
        return;
    }
    rows.push_back({"Day", "Script", "Attempts", "Written", "Failed", "Yield", "Failures"});
    for (const HistorySummaryRead& line : summary) {
        std::string sFailures;
        for (const auto& outcome : line.arByOutcome) {
            sFailures += (sFailures.empty() ? "" : ", ") + OutcomeWords(outcome.first) + " " +
                         std::to_string(outcome.second);
        }
        rows.push_back({line.sDay, ShownScript(line.sScriptPath, line.sScriptSha256),
                        std::to_string(line.lAttempts), std::to_string(line.lWritten),
                        std::to_string(line.lFailed), YieldText(line.lWritten, line.lAttempts) + " %",
                        sFailures});
    }
    PrintColumns(rows, {false, false, true, true, true, true});
    std::cout << std::flush;
}

int OptionError(const std::string& sMessage) {
    std::cerr << "kxb history: " << sMessage << std::endl;
    return KxbUsageError(txtUsageHistory);
}

// Reads --script: a file that exists is hashed; anything else must be a hash or its start.
bool ReadScript(const std::string& sArgument, std::string* sScript, std::string* sMessage) {
    struct stat info = {};
    if (stat(sArgument.c_str(), &info) == 0) {
        if (Sha256FileHex(sArgument, sScript)) return true;
        *sMessage = "--script: cannot read '" + sArgument + "'";
        return false;
    }
    bool bHex = sArgument.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (bHex && sArgument.size() >= SHORT_HASH && sArgument.size() <= 64) {
        *sScript = sArgument;
        return true;
    }
    *sMessage =
        "--script takes a script file or its SHA-256 (at least its first 8 digits), not '" + sArgument + "'";
    return false;
}

// Reads the options into *options; returns -1 to go on, otherwise the verb's exit status.
int ReadOptions(int argc, char* argv[], HistoryOptions* options) {
    const struct option table[] = {
        {"since", required_argument, nullptr, 's'},
        {"until", required_argument, nullptr, 'u'},
        {"station", required_argument, nullptr, 'n'},
        {"script", required_argument, nullptr, 'S'},
        {"failed", no_argument, nullptr, 'f'},
        {"limit", required_argument, nullptr, 'l'},
        {"summary", no_argument, nullptr, 'y'},
        {"runs", no_argument, nullptr, 'r'},
        {"json", no_argument, nullptr, 'j'},
        {"csv", no_argument, nullptr, 'c'},
        {"create", no_argument, nullptr, 'C'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool bFilter = false;
    int nOption;
    while ((nOption = getopt_long(argc, argv, "", table, nullptr)) != -1) {
        std::string sMessage;
        bFilter = bFilter || (nOption != 'C' && nOption != 'h');
        switch (nOption) {
        case 's':
        case 'u':
            if (!HistoryParseTime(optarg, nOption == 'u',
                                  nOption == 's' ? &options->filter.sSince : &options->filter.sUntil)) {
                return OptionError(
                    std::string(nOption == 's' ? "--since" : "--until") +
                    " takes a date or a date and time (UTC), as 2026-12-09 or 2026-12-09 12:34, not '" +
                    optarg + "'");
            }
            break;
        case 'n':
            options->filter.sStation = optarg;
            break;
        case 'S':
            if (!ReadScript(optarg, &options->filter.sScript, &sMessage)) return OptionError(sMessage);
            break;
        case 'f':
            options->filter.bFailed = true;
            break;
        case 'l': {
            char* pEnd = nullptr;
            errno = 0;
            long lLimit = std::strtol(optarg, &pEnd, 10);
            if (errno != 0 || pEnd == optarg || *pEnd != '\0' || lLimit < 0) {
                return OptionError(std::string("--limit takes a number of lines, not '") + optarg + "'");
            }
            options->filter.lLimit = lLimit;
            break;
        }
        case 'y':
        case 'r': {
            int nShow = nOption == 'y' ? SHOW_SUMMARY : SHOW_RUNS;
            if (options->nShow != SHOW_KEYBOARDS && options->nShow != nShow) {
                return OptionError("--summary and --runs show different things; name one");
            }
            options->nShow = nShow;
            break;
        }
        case 'j':
            options->bJson = true;
            break;
        case 'c':
            options->bCsv = true;
            break;
        case 'C':
            options->bCreate = true;
            break;
        case 'h':
            return KxbUsage(txtUsageHistory);
        default:
            return KxbUsageError(txtUsageHistory);
        }
    }
    if (options->bJson && options->bCsv)
        return OptionError("--json and --csv are two ways to print; name one");
    if (options->bCreate && bFilter) return OptionError("--create takes the target alone");
    if (argc - optind > 1)
        return OptionError(std::string("one record at a time, not also '") + argv[optind + 1] + "'");
    if (optind < argc) {
        options->sTarget = argv[optind];
    } else {
        const char* txtTarget = std::getenv("KAVELWRITE_HISTORY");
        options->sTarget = txtTarget != nullptr ? txtTarget : "";
    }
    if (options->sTarget.empty())
        return OptionError("no record named: give TARGET or set KAVELWRITE_HISTORY");
    return -1;
}

} // namespace

int KxbHistory(int argc, char* argv[]) {
    HistoryOptions options;
    int nStatus = ReadOptions(argc, argv, &options);
    if (nStatus >= 0) return nStatus;
    History history;
    std::string sError;
    if (options.bCreate) {
        if (HistoryOpen(options.sTarget, HISTORY_CREATE, &history, &sError) != HISTORY_OK) {
            std::cerr << "kxb history: ERROR: " << sError << std::endl;
            return HISTORY_EXIT_STATUS;
        }
        std::cout << HistoryStoreText(history.get()) << ": holds the record's tables, layout "
                  << HISTORY_LAYOUT << std::endl;
        return 0;
    }
    nStatus = HistoryOpen(options.sTarget, HISTORY_READ, &history, &sError);
    if (nStatus == HISTORY_OK) {
        if (options.nShow == SHOW_SUMMARY) {
            std::vector<HistorySummaryRead> summary;
            nStatus = HistoryReadSummary(history.get(), options.filter, &summary, &sError);
            if (nStatus == HISTORY_OK) PrintSummary(summary, options);
        } else if (options.nShow == SHOW_RUNS) {
            std::vector<HistoryRunRead> runs;
            nStatus = HistoryReadRuns(history.get(), options.filter, &runs, &sError);
            if (nStatus == HISTORY_OK) PrintRuns(runs, options);
        } else {
            std::vector<HistoryKeyboardRead> keyboards;
            nStatus = HistoryReadKeyboards(history.get(), options.filter, &keyboards, &sError);
            if (nStatus == HISTORY_OK) PrintKeyboards(keyboards, options);
        }
    }
    if (nStatus == HISTORY_OK) return 0;
    std::cerr << "kxb history: ERROR: " << sError << std::endl;
    return HISTORY_EXIT_STATUS;
}
