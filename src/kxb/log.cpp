// kxb log: what an annotated log file records, run by run: the check pass, and per keyboard what
// was identified, how many messages were done, failed or skipped, where the pass stopped and what
// kavelwrite printed for it.
#include "kxb.h"

#include "device.h"
#include "driver.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <map>

const char* const txtUsageLog =
    "Usage: kxb log [--json] FILE\n"
    "\n"
    "Reads a log file that kavelwrite saved beside a script (its name ends in _t and the run stamp)\n"
    "and says for every run it records whether the check pass passed (or where it failed), and for\n"
    "every keyboard what was identified, how many messages were done, failed or skipped, where the\n"
    "pass stopped, and the outcome that kavelwrite printed for it, with its exit status.\n"
    "\n"
    "  --json   print one JSON document instead of lines\n"
    "  --help   show this help\n"
    "\n"
    "Exit status: 0 the log was read; 169 it does not load; 168 no file named; 2 a wrong option.\n";

namespace {

// What tells how a run's check pass went.
const std::string txtFromAnnotation = "annotation";
const std::string txtFromWritePasses = "write passes";
const std::string txtFromCheckRules = "check rules";

// One run annotation of a pass: the node it stands on and its value.
struct LogAnnotation {
    pugi::xml_node node;
    std::string sValue;
};

// What one keyboard's write pass left: its DetectedDevice report and its annotations in document
// order.
struct LogKeyboard {
    pugi::xml_node report;
    std::vector<LogAnnotation> annotations;
    std::vector<LogAnnotation> readback; // what a read-back before the reset said of each block
};

// What one run left: the check pass's annotations and every keyboard's.
struct LogRun {
    std::string sStamp;
    std::vector<LogAnnotation> check;
    std::map<int, LogKeyboard> keyboards;
};

// What is said about one keyboard.
struct KeyboardSummary {
    int nIndex = 0;
    bool bRecord = false;                     // the pass left a report or an annotation
    const KeyboardOutcome* outcome = nullptr; // null: not known from the log
    int nDone = 0;
    int nFailed = 0;
    int nSkipped = 0;
    bool bReadBack = false; // the pass read its blocks back
    int nMatch = 0;
    int nDiffer = 0;
    int nUnreadable = 0;
    bool bStopped = false;
    KxbFinding stop; // where it stopped: the node's name and the annotation
    pugi::xml_node report;
};

// What is said about one run.
struct RunSummary {
    std::string sStamp;
    bool bCheckOk = false;
    std::string sCheckFrom; // what says so: the annotation, the write passes, or the check rules
    bool bFault = false;
    KxbFinding fault;
    std::vector<KeyboardSummary> keyboards;
};

// The run of that stamp, made when it is first met.
LogRun& RunOf(std::vector<LogRun>& runs, std::map<std::string, size_t>& index, const std::string& sStamp) {
    auto found = index.find(sStamp);
    if (found != index.end()) return runs[found->second];
    index[sStamp] = runs.size();
    runs.push_back(LogRun());
    runs.back().sStamp = sStamp;
    return runs.back();
}

// Every run the document records, in the order their stamps are first met; the stamp at the end of
// the log's own file name is the last run, which may have left nothing in the document.
std::vector<LogRun> ReadRuns(pugi::xml_node root, const std::string& filename) {
    std::vector<LogRun> runs;
    std::map<std::string, size_t> index;
    std::string sStamp;
    int nIndex = -1;
    // Walked without recursion, in document order.
    pugi::xml_node node = root;
    while (node) {
        if (node.type() == pugi::node_element) {
            for (pugi::xml_attribute attribute : node.attributes()) {
                bool bVerify = false;
                if (!ParseTimestampDevice(attribute.name(), &sStamp, &nIndex, &bVerify)) continue;
                LogRun& run = RunOf(runs, index, sStamp);
                LogAnnotation annotation = {node, attribute.value()};
                if (nIndex < 0) {
                    run.check.push_back(annotation);
                } else if (bVerify) {
                    run.keyboards[nIndex].readback.push_back(annotation);
                } else {
                    run.keyboards[nIndex].annotations.push_back(annotation);
                }
            }
            if (txtDETECTED_DEVICE == node.name() &&
                ParseTimestampDevice(AttributeValue(node, txtKxbId), &sStamp, &nIndex) && nIndex >= 0) {
                LogKeyboard& keyboard = RunOf(runs, index, sStamp).keyboards[nIndex];
                if (!keyboard.report) keyboard.report = node;
            }
        }
        pugi::xml_node next = node.first_child();
        while (!next && node && node != root) {
            next = node.next_sibling();
            if (!next) node = node.parent();
        }
        node = next;
    }
    if (ParseLogFileName(filename, &sStamp)) RunOf(runs, index, sStamp);
    return runs;
}

bool StartsWith(const std::string& sText, const std::string& sStart) {
    return sText.compare(0, sStart.size(), sStart) == 0;
}

// True when node lies inside the report.
bool InReport(pugi::xml_node node, pugi::xml_node report) {
    return report && (node == report || node.parent() == report);
}

void SetStop(KeyboardSummary& summary, pugi::xml_node node, const std::string& sAnnotation) {
    summary.bStopped = true;
    summary.stop.nOffset = node.offset_debug();
    summary.stop.sElement = node.name();
    summary.stop.sAnnotation = sAnnotation;
}

// What the pass of one keyboard did and how kavelwrite reported it. The walker judges the Device
// element before anything else, so the report's units come before every other annotation.
KeyboardSummary SummariseKeyboard(int nIndex, const LogKeyboard& keyboard) {
    KeyboardSummary summary;
    summary.nIndex = nIndex;
    summary.report = keyboard.report;
    summary.bRecord = keyboard.report || !keyboard.annotations.empty();
    const LogAnnotation* interrupted = nullptr;
    const LogAnnotation* unreadable = nullptr;
    const LogAnnotation* failed = nullptr;
    for (const LogAnnotation& annotation : keyboard.annotations) {
        const bool bReport = InReport(annotation.node, keyboard.report);
        if (StartsWith(annotation.sValue, txtRESULT)) {
            summary.nDone++;
        } else if (StartsWith(annotation.sValue, txtERROR)) {
            summary.nFailed++;
            if (bReport && unreadable == nullptr) unreadable = &annotation;
            if (!bReport && failed == nullptr) failed = &annotation;
        } else if (annotation.sValue == txtSKIPPED) {
            summary.nSkipped++;
        } else if (annotation.sValue == txtINTERRUPTED && interrupted == nullptr) {
            interrupted = &annotation;
        }
    }
    pugi::xml_node unsuitable;
    for (pugi::xml_node unit = keyboard.report.first_child(); unit; unit = unit.next_sibling()) {
        if (txtREPORT_NOT_OK == unit.child_value()) unsuitable = unit;
    }
    // The read-back comes after the last write: a block that differs, or one that could not be
    // read, kept the keyboard from its reset.
    const LogAnnotation* differ = nullptr;
    const LogAnnotation* readFailed = nullptr;
    summary.bReadBack = !keyboard.readback.empty();
    for (const LogAnnotation& annotation : keyboard.readback) {
        if (annotation.sValue == txtINTERRUPTED) {
            if (interrupted == nullptr) interrupted = &annotation;
        } else if (StartsWith(annotation.sValue, KxbBlockStateText(BLOCK_MATCH))) {
            summary.nMatch++;
        } else if (StartsWith(annotation.sValue, KxbBlockStateText(BLOCK_DIFFER))) {
            summary.nDiffer++;
            if (differ == nullptr) differ = &annotation;
        } else {
            summary.nUnreadable++;
            if (readFailed == nullptr) readFailed = &annotation;
        }
    }
    // A pass cut short stopped where its annotation stands, whatever had failed before.
    if (interrupted != nullptr) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_WRITE, true);
        SetStop(summary, interrupted->node, interrupted->sValue);
    } else if (unreadable != nullptr) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_COMMUNICATION);
        SetStop(summary, unreadable->node, unreadable->sValue);
    } else if (unsuitable) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_COMPATIBILITY);
        SetStop(summary, unsuitable, txtREPORT_NOT_OK);
    } else if (failed != nullptr) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_WRITE);
        SetStop(summary, failed->node, failed->sValue);
    } else if (readFailed != nullptr) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_COMMUNICATION);
        SetStop(summary, readFailed->node, readFailed->sValue);
    } else if (differ != nullptr) {
        summary.outcome = KeyboardOutcomeOf(ERR_ERROR_DEVICE_DIFFERS);
        SetStop(summary, differ->node, differ->sValue);
    } else if (summary.bRecord) {
        summary.outcome = KeyboardOutcomeOf(0);
    }
    return summary;
}

// The runs as they are said: check pass and keyboards, every place in the log placed.
std::vector<RunSummary> Summarise(pugi::xml_document& doc, const std::string& filename,
                                  pugi::xml_encoding encoding) {
    pugi::xml_node root = doc.first_child();
    std::vector<LogRun> runs = ReadRuns(root, filename);
    std::vector<RunSummary> summaries;
    // The check rules run on the document at most once, for runs that left no word of their check.
    bool bChecked = false;
    std::vector<KxbFinding> checkFindings;
    for (const LogRun& run : runs) {
        RunSummary summary;
        summary.sStamp = run.sStamp;
        for (const LogAnnotation& annotation : run.check) {
            if (StartsWith(annotation.sValue, txtPARSE_ERROR) && !summary.bFault) {
                summary.bFault = true;
                summary.fault =
                    KxbAnnotatedFinding(annotation.node, annotation.sValue.substr(txtPARSE_ERROR.size()));
            }
        }
        if (summary.bFault) {
            summary.sCheckFrom = txtFromAnnotation;
        } else if (!run.keyboards.empty()) {
            summary.bCheckOk = true;
            summary.sCheckFrom = txtFromWritePasses;
        } else {
            if (!bChecked) {
                int nSteps = 0;
                int nWrites = 0;
                KxbCheckDocument(root, checkFindings, &nSteps, &nWrites);
                bChecked = true;
            }
            summary.sCheckFrom = txtFromCheckRules;
            summary.bCheckOk = checkFindings.empty() || checkFindings.front().bWarning;
            if (!summary.bCheckOk) {
                summary.bFault = true;
                summary.fault = checkFindings.front();
            }
        }
        // Every keyboard up to the highest index recorded; one that left nothing did not open or
        // had its modules not enumerated.
        int nHighest = run.keyboards.empty() ? -1 : run.keyboards.rbegin()->first;
        for (int i = 0; i <= nHighest; i++) {
            auto found = run.keyboards.find(i);
            summary.keyboards.push_back(
                SummariseKeyboard(i, found == run.keyboards.end() ? LogKeyboard() : found->second));
        }
        summaries.push_back(summary);
    }

    // Every place in one reading of the log.
    std::vector<KxbFinding*> places;
    for (RunSummary& summary : summaries) {
        places.push_back(&summary.fault);
        for (KeyboardSummary& keyboard : summary.keyboards) places.push_back(&keyboard.stop);
    }
    KxbPlaceFindings(filename, encoding, places);
    return summaries;
}

nlohmann::ordered_json OrNull(bool bSet, const nlohmann::ordered_json& value) {
    return bSet ? value : nlohmann::ordered_json();
}

nlohmann::ordered_json KeyboardJson(const KeyboardSummary& keyboard, const std::string& timestampDevice) {
    nlohmann::ordered_json json;
    json["index"] = keyboard.nIndex;
    json["outcome"] = OrNull(keyboard.outcome != nullptr, keyboard.outcome ? keyboard.outcome->txtLine : "");
    // An interrupted run exits with 128 and the signal's number, which the log does not hold.
    bool bStatus = keyboard.outcome != nullptr && !keyboard.outcome->bInterrupted;
    json["status"] = OrNull(bStatus, bStatus ? keyboard.outcome->nStatus : 0);
    // Without a record the log cannot tell a keyboard that did not open from one whose modules
    // were not enumerated.
    json["possible"] = keyboard.bRecord
                           ? nlohmann::ordered_json()
                           : nlohmann::ordered_json({ERR_ERROR_DEVICE_OPEN, ERR_ERROR_MODULES_ENUMERATION});
    json["interrupted"] = keyboard.outcome != nullptr && keyboard.outcome->bInterrupted;
    json["reset"] = keyboard.outcome != nullptr && keyboard.outcome->nStatus == 0;
    json["done"] = keyboard.nDone;
    json["failed"] = keyboard.nFailed;
    json["skipped"] = keyboard.nSkipped;
    nlohmann::ordered_json readBack;
    if (keyboard.bReadBack) {
        readBack["match"] = keyboard.nMatch;
        readBack["differ"] = keyboard.nDiffer;
        readBack["unreadable"] = keyboard.nUnreadable;
    }
    json["readBack"] = readBack;
    nlohmann::ordered_json stopped;
    if (keyboard.bStopped) {
        stopped["line"] = keyboard.stop.position.nLine;
        stopped["column"] = keyboard.stop.position.nColumn;
        stopped["element"] = keyboard.stop.sElement;
        stopped["annotation"] = keyboard.stop.sAnnotation;
    }
    json["stopped"] = stopped;
    json["identified"] = nlohmann::ordered_json::array();
    for (pugi::xml_node unit = keyboard.report.first_child(); unit; unit = unit.next_sibling()) {
        nlohmann::ordered_json identified;
        identified["unit"] = unit.name();
        pugi::xml_attribute info = unit.attribute(txtREPORT_INFO.c_str());
        identified["info"] = OrNull(!info.empty(), info.value());
        identified["match"] = OrNull(*unit.child_value() != '\0', unit.child_value());
        pugi::xml_attribute annotation = unit.attribute(timestampDevice.c_str());
        identified["annotation"] = OrNull(!annotation.empty(), annotation.value());
        json["identified"].push_back(identified);
    }
    return json;
}

nlohmann::ordered_json RunsJson(const std::vector<RunSummary>& summaries, bool bDeviceElement) {
    nlohmann::ordered_json runs = nlohmann::ordered_json::array();
    for (const RunSummary& summary : summaries) {
        nlohmann::ordered_json run;
        run["stamp"] = summary.sStamp;
        nlohmann::ordered_json check;
        check["ok"] = summary.bCheckOk;
        check["from"] = OrNull(!summary.sCheckFrom.empty(), summary.sCheckFrom);
        check["fault"] = OrNull(summary.bFault, KxbFindingJson(summary.fault));
        run["check"] = check;
        run["deviceElement"] = bDeviceElement;
        run["keyboards"] = nlohmann::ordered_json::array();
        for (const KeyboardSummary& keyboard : summary.keyboards)
            run["keyboards"].push_back(
                KeyboardJson(keyboard, TimestampDevice(summary.sStamp, keyboard.nIndex)));
        runs.push_back(run);
    }
    nlohmann::ordered_json report;
    report["runs"] = runs;
    return report;
}

// "Controller Id=11 Ver=1.2.3.0 Ok": a unit of the report, as a line shows it.
std::string UnitText(pugi::xml_node unit, const std::string& timestampDevice) {
    std::string sText = unit.name();
    pugi::xml_attribute info = unit.attribute(txtREPORT_INFO.c_str());
    if (!info.empty()) sText += std::string(" ") + info.value();
    pugi::xml_attribute annotation = unit.attribute(timestampDevice.c_str());
    if (!annotation.empty()) sText += std::string(" ") + annotation.value();
    if (*unit.child_value() != '\0') sText += std::string(" ") + unit.child_value();
    return sText;
}

void PrintRuns(const std::vector<RunSummary>& summaries, const std::string& filename, bool bDeviceElement) {
    if (summaries.empty()) std::cout << filename << ": no run recorded" << std::endl;
    for (const RunSummary& summary : summaries) {
        std::cout << "run " << summary.sStamp << std::endl;
        // A check pass that left no word of its own is judged again by the check rules.
        const std::string sAgain =
            summary.sCheckFrom == txtFromCheckRules ? " (judged again: the run left no annotation)" : "";
        if (summary.bFault) {
            std::cout << "  check pass: failed" << sAgain << ": " << KxbFindingLine(filename, summary.fault)
                      << std::endl;
        } else {
            std::cout << "  check pass: passed" << sAgain << std::endl;
        }
        if (summary.bCheckOk && summary.keyboards.empty()) {
            std::cout
                << (bDeviceElement
                        ? "  no keyboard left a record: none was found, none could be looked for (161), "
                          "none opened (162) or had its modules enumerated (163), or the run was "
                          "stopped before the keyboards"
                        : "  no keyboard left a record: the script has no Device element, so each "
                          "keyboard found was not suitable (165) or could not be identified (164), "
                          "unless it did not open (162) or its modules were not enumerated (163)")
                << std::endl;
        }
        for (const KeyboardSummary& keyboard : summary.keyboards) {
            std::cout << "  device" << keyboard.nIndex << ":";
            if (keyboard.outcome == nullptr) {
                std::cout << " no record: it did not open (162) or its modules were not enumerated (163)"
                          << std::endl;
                continue;
            }
            std::cout << " \"" << keyboard.outcome->txtLine << "\"";
            if (!keyboard.outcome->bInterrupted) std::cout << " (" << keyboard.outcome->nStatus << ")";
            std::cout << ": " << keyboard.nDone << " done, " << keyboard.nFailed << " failed, "
                      << keyboard.nSkipped << " skipped" << std::endl;
            if (keyboard.bReadBack) {
                std::cout << "    read back: " << keyboard.nMatch << " match, " << keyboard.nDiffer
                          << " differ, " << keyboard.nUnreadable << " unreadable" << std::endl;
            }
            const std::string timestampDevice = TimestampDevice(summary.sStamp, keyboard.nIndex);
            for (pugi::xml_node unit = keyboard.report.first_child(); unit; unit = unit.next_sibling()) {
                // A slot without a module that suits is left out; --json shows every unit.
                if (IsEmptySlotInfo(AttributeValue(unit, txtREPORT_INFO)) &&
                    txtREPORT_OK == unit.child_value())
                    continue;
                std::cout << "    identified: " << UnitText(unit, timestampDevice) << std::endl;
            }
            if (keyboard.bStopped) {
                std::cout << "    stopped: " << filename << ":" << keyboard.stop.position.nLine << ":"
                          << keyboard.stop.position.nColumn << ": " << keyboard.stop.sElement << " "
                          << keyboard.stop.sAnnotation
                          << (keyboard.outcome->bInterrupted ? " (the keyboard was not reset)" : "")
                          << std::endl;
            }
        }
    }
}

} // namespace

nlohmann::ordered_json KxbLogReport(pugi::xml_document& doc, const std::string& filename,
                                    pugi::xml_encoding encoding) {
    return RunsJson(Summarise(doc, filename, encoding), doc.first_child().child(txtKxbDevice));
}

int KxbLog(int argc, char* argv[]) {
    bool bJson = false;
    int nStatus = KxbFileOptions(argc, argv, txtUsageLog, "log file", &bJson);
    if (nStatus >= 0) return nStatus;
    if (optind + 1 < argc) {
        std::cerr << "kxb log: one log file at a time" << std::endl;
        return KxbUsageError(txtUsageLog);
    }

    const std::string filename = argv[optind];
    pugi::xml_document doc;
    KxbFinding failure;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    if (KxbLoadFile(doc, filename, &failure, &encoding) != LOAD_OK) {
        if (bJson) {
            nlohmann::ordered_json report;
            report["runs"] = nlohmann::ordered_json::array();
            report["error"] = KxbFindingJson(failure);
            KxbPrintJson(report);
        } else {
            std::cout << KxbFindingLine(filename, failure) << std::endl;
        }
        return ERR_ERROR_LOAD_FILE;
    }
    bool bDeviceElement = doc.first_child().child(txtKxbDevice);
    std::vector<RunSummary> summaries = Summarise(doc, filename, encoding);
    if (bJson) {
        KxbPrintJson(RunsJson(summaries, bDeviceElement));
    } else {
        PrintRuns(summaries, filename, bDeviceElement);
    }
    return 0;
}
