// kxb verify: whether every attached keyboard holds what a script leaves in its memory, block by
// block, found with reads only.
#include "kxb.h"

#include "driver.h"
#include "hidlink.h"
#include "kavelhidapi.h"

#include <nlohmann/json.hpp>

#include <getopt.h>
#include <iostream>

const char* const txtUsageVerify =
    "Usage: kxb verify [--json] [--send-pointer-commands] [--record FILE] SCRIPT\n"
    "\n"
    "Reads back from every attached keyboard what SCRIPT leaves in its memory and says, block by\n"
    "block, whether the keyboard holds it: one line for every block that does not match, at the\n"
    "node kavelwrite annotates for it, and one summary line per keyboard. Each keyboard is\n"
    "identified and matched against the Device element as kavelwrite does; then only memory reads\n"
    "are sent, never a write, a command of the script or a reset.\n"
    "\n"
    "  --json                   print one JSON document instead of lines\n"
    "  --send-pointer-commands  send the pointer command of every IntEep_CommandPtr element, so\n"
    "                           that its blocks can be verified (only for commands that only read)\n"
    "  --record FILE            record every call into the keyboard library in FILE (replaced)\n"
    "  --help                   show this help\n"
    "\n"
    "Exit status: 0 every block that could be verified matches; 167 a keyboard holds other bytes\n"
    "than the script leaves there; 160 the script fails the check; 161 no keyboard could be looked\n"
    "for; otherwise the last failing keyboard's 162, 163, 164 (a read failed) or 165 (it does not\n"
    "suit the script); 168 no script named; 169 the script does not load; 170 the recording\n"
    "cannot be made; 2 a wrong option.\n";

namespace {

nlohmann::ordered_json IntOrNull(bool bKnown, int nValue) {
    return bKnown ? nlohmann::ordered_json(nValue) : nlohmann::ordered_json();
}

// "device0: holds the script: blocks: 5 match, 0 differ, ...; bytes: 38 match, 0 differ"
std::string SummaryLine(int i, const KeyboardReadBack& readback) {
    std::string sLine = "device" + std::to_string(i) + ":";
    if (readback.nStatus == 0) {
        sLine += " holds the script";
    } else if (readback.nStatus == ERR_ERROR_DEVICE_DIFFERS) {
        sLine += " differs from the script";
    } else {
        sLine += KxbKeyboardFailure(readback.nStatus, readback.nLibraryStatus);
        // A keyboard that was not walked has no blocks to count.
        if (readback.arBlock.empty()) return sLine;
    }
    int arCount[BLOCK_UNREADABLE + 1] = {0, 0, 0, 0, 0};
    for (const KxbBlock& block : readback.arBlock) arCount[block.nState]++;
    return sLine + ": blocks: " + std::to_string(arCount[BLOCK_MATCH]) + " match, " +
           std::to_string(arCount[BLOCK_DIFFER]) + " differ, " + std::to_string(arCount[BLOCK_NOT_VERIFIED]) +
           " not verified, " + std::to_string(arCount[BLOCK_SKIPPED]) + " skipped, " +
           std::to_string(arCount[BLOCK_UNREADABLE]) +
           " unreadable; bytes: " + std::to_string(readback.nBytesMatch) + " match, " +
           std::to_string(readback.nBytesDiffer) + " differ";
}

nlohmann::ordered_json BlockJson(const KxbBlock& block) {
    const KxbPosition& position = block.position;
    nlohmann::ordered_json json;
    json["line"] = IntOrNull(position.nLine > 0, position.nLine);
    json["column"] = IntOrNull(position.nLine > 0, position.nColumn);
    json["element"] = block.node.name();
    json["unit"] = IntOrNull(block.bPlaced, block.nUnit);
    json["address"] = IntOrNull(block.bPlaced, block.nAddress);
    json["length"] = IntOrNull(block.bPlaced, block.nLength);
    json["state"] = KxbBlockStateText(block.nState);
    bool bCompared = block.nState == BLOCK_MATCH || block.nState == BLOCK_DIFFER;
    json["differences"] = IntOrNull(bCompared, block.nDifferences);
    nlohmann::ordered_json first;
    if (block.nState == BLOCK_DIFFER) {
        first["address"] = block.nFirstAddress;
        first["keyboard"] = block.nFirstKeyboard;
        first["script"] = block.nFirstScript;
    }
    json["first"] = first;
    json["reason"] = block.sReason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(block.sReason);
    return json;
}

} // namespace

int KxbVerify(int argc, char* argv[]) {
    KxbReadOptions options;
    pugi::xml_document doc;
    pugi::xml_encoding encoding = pugi::encoding_auto;
    int nStatus = KxbReadBackScript(argc, argv, txtUsageVerify, false, &options, doc, &encoding);
    if (nStatus >= 0) return nStatus;
    const std::string& filename = options.sScript;

    std::vector<KeyboardReadBack> keyboards;
    int nCount = 0;
    {
        HidEnumerator hid = HidCreate();
        nCount = HidEnumerate(hid.get());
        for (int i = 0; i < nCount; i++) {
            keyboards.emplace_back();
            KxbOpenAndReadBack(doc.first_child(), HidGetDevice(hid.get(), i), i, options.bSendPointerCommands,
                               &keyboards.back());
        }
    }

    KxbPlaceBlocks(filename, encoding, keyboards);

    nlohmann::ordered_json jKeyboards = nlohmann::ordered_json::array();
    if (nCount < 0) (options.bJson ? std::cerr : std::cout) << txtNO_DEVICE << std::endl;
    if (nCount >= 0 && !options.bJson) std::cout << nCount << txtDEVICES_DETECTED << std::endl;
    int nExit = nCount < 0 ? ERR_ERROR_NO_DEVICE : 0;
    for (size_t i = 0; i < keyboards.size(); i++) {
        const KeyboardReadBack& readback = keyboards[i];
        const int nIndex = static_cast<int>(i);
        // As kavelwrite does: the last keyboard that failed gives the status.
        if (readback.nStatus != 0) nExit = readback.nStatus;
        nlohmann::ordered_json jBlocks = nlohmann::ordered_json::array();
        for (const KxbBlock& block : readback.arBlock) {
            if (options.bJson) {
                jBlocks.push_back(BlockJson(block));
            } else if (block.nState != BLOCK_MATCH) {
                std::cout << KxbBlockLine(filename, nIndex, block) << std::endl;
            }
        }
        if (!options.bJson) {
            std::cout << SummaryLine(nIndex, readback) << std::endl;
            continue;
        }
        nlohmann::ordered_json jKeyboard;
        jKeyboard["index"] = nIndex;
        jKeyboard["status"] = readback.nStatus;
        if (readback.nStatus == ERR_ERROR_DEVICE_OPEN || readback.nStatus == ERR_ERROR_MODULES_ENUMERATION)
            jKeyboard["error"] = readback.nLibraryStatus;
        jKeyboard["blocks"] = jBlocks;
        jKeyboards.push_back(jKeyboard);
    }
    if (options.bJson) {
        nlohmann::ordered_json report;
        report["file"] = filename;
        report["keyboards"] = jKeyboards;
        KxbPrintJson(report);
    }
    return nExit;
}
