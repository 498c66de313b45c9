// Any bytes as a kxb script: the check pass, and after a passed check a write pass on a virtual
// keyboard with modules of every family. Besides the sanitizers, a passed write pass must advance
// the progress by exactly the total the check pass counted, kxb check must agree with the check
// pass, the log file of the run must load again as a script that checks as the input did, and kxb
// verify must find what the write pass left where it left it.
#include "driver.h"
#include "kavelhidapi.h"
#include "kxb.h"
#include "walk.h"
#include "writers.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct MemoryWriter : pugi::xml_writer {
    std::string sText;
    void write(const void* data, size_t size) override { sText.append(static_cast<const char*>(data), size); }
};

// The log of a run, saved as the log file is saved, must load as a script and give the check
// result and step total of the script it came from: a log can always be run again.
void CheckLogRunsAgain(const pugi::xml_document& doc, int nResult, int nTotal) {
    const std::string stampLater = "t20261208011632";
    MemoryWriter writer;
    WriteDocumentText(doc, writer);
    pugi::xml_document reloaded;
    if (LoadScriptBuffer(reloaded, writer.sText.data(), writer.sText.size(), nullptr) != LOAD_OK)
        std::abort();
    int current = 0;
    int total = 0;
    int result = kxbCheckWrite(reloaded.first_child(), stampLater, nullptr, &current, &total);
    if (result != nResult || current != nTotal) std::abort();
}

// kxb check on a fresh load of the same bytes must agree with the check pass that annotated root:
// it passes exactly when the check pass did, and its first fault stands at the node the check pass
// annotated, with the same annotation, or where the check pass stops without one.
void ExpectKxbCheckAgrees(const uint8_t* data, size_t size, pugi::xml_node root, const std::string& stampTime,
                          int result) {
    pugi::xml_document fresh;
    if (LoadScriptBuffer(fresh, data, size, nullptr) != LOAD_OK) std::abort();
    std::vector<KxbFinding> findings;
    int nSteps = 0;
    int nWrites = 0;
    bool bOk = KxbCheckDocument(fresh.first_child(), findings, &nSteps, &nWrites) == 0;
    if (bOk != (result == 0)) std::abort();
    if (bOk) return;
    if (findings.empty() || findings.front().bWarning) std::abort();
    const KxbFinding& first = findings.front();

    // The node the check pass annotated: the one with an attribute of the stamp's name more than the
    // fresh load has (the bytes may hold such attributes of their own).
    pugi::xml_node annotated;
    for (pugi::xml_node node = root, twin = fresh.first_child(); node && !annotated;) {
        int nAdded = 0;
        for (pugi::xml_attribute attribute : node.attributes())
            nAdded += stampTime == attribute.name() ? 1 : 0;
        for (pugi::xml_attribute attribute : twin.attributes())
            nAdded -= stampTime == attribute.name() ? 1 : 0;
        if (nAdded != 0) annotated = node;
        pugi::xml_node next = node.first_child();
        pugi::xml_node twinNext = twin.first_child();
        while (!next && node != root) {
            next = node.next_sibling();
            twinNext = twin.next_sibling();
            if (!next) {
                node = node.parent();
                twin = twin.parent();
            }
        }
        node = next;
        twin = twinNext;
    }
    if (annotated) {
        // Both documents were parsed from the same bytes: the same node has the same offset.
        if (first.nOffset != annotated.offset_debug()) std::abort();
        if (first.sAnnotation != annotated.last_attribute().value()) std::abort();
        return;
    }
    pugi::xml_node stop = root;
    if (std::string(root.name()) == "XML_BIN_FILE") {
        for (stop = root.first_child(); stop && FindElement(stop.name()) != nullptr;)
            stop = stop.next_sibling();
    }
    if (!stop || first.nOffset != stop.offset_debug() || !first.sAnnotation.empty()) std::abort();
}

// The keyboard as the write pass used it, with every controller address that a memory write reached.
class WatchedKeyboard : public KavelHidDevice {
public:
    explicit WatchedKeyboard(KavelHidDevice* keyboard) : arWritten(0x10000, false), keyboard(keyboard) {}
    int Open() override { return keyboard->Open(); }
    int Close() override { return keyboard->Close(); }
    int EnumerateModules() override { return keyboard->EnumerateModules(); }
    int SendCommand(unsigned char cmd, unsigned char dst, unsigned char* data, int dataLen,
                    unsigned char* response, int* responseLen) override {
        if (cmd == MID_MSGT_CMD_WR_MEM && dst == MID_ADDR_MASTER && dataLen >= 2) {
            for (int i = 2; i < dataLen; i++) arWritten[(data[0] + (data[1] << 8) + i - 2) & 0xFFFF] = true;
        }
        return keyboard->SendCommand(cmd, dst, data, dataLen, response, responseLen);
    }
    std::vector<bool> arWritten;

private:
    KavelHidDevice* keyboard;
};

// A script without commands that the write pass wrote whole must read back as written, on the same
// keyboard, every pointer command sent again. Not where the place of its blocks hangs on when they
// are read: a block that overwrote a pointer an IntEep element reads, or a pointer command that is a
// memory message.
void ExpectVerifyAgrees(const uint8_t* data, size_t size, KavelHidDevice* device,
                        const WatchedKeyboard& watched) {
    pugi::xml_document fresh;
    if (LoadScriptBuffer(fresh, data, size, nullptr) != LOAD_OK) std::abort();
    for (pugi::xml_node child = fresh.first_child().first_child(); child; child = child.next_sibling()) {
        const ElementEntry* entry = FindElement(child.name());
        ElementHandler handler = entry != nullptr ? entry->handler : nullptr;
        if (handler == kxbCommand) return;
        if (handler == kxbIntEep) {
            long lPointer = StrHexToLong(ChildNodeValue(child, "PtrAddress"));
            if (watched.arWritten[lPointer & 0xFFFF] || watched.arWritten[(lPointer + 1) & 0xFFFF]) return;
        }
        if (handler == kxbIntEepCommandPtr) {
            long lCmd = StrHexToLong(ChildNodeValue(child, "PtrCMD")) & 0xFF;
            if (lCmd == MID_MSGT_CMD_RD_MEM || lCmd == MID_MSGT_CMD_WR_MEM) return;
        }
    }
    KeyboardReadBack readback;
    if (KxbReadBackWithoutWriting(fresh.first_child(), device, "kxb fuzz_device0", true, &readback) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("KAVELHID_SIMULATION", FUZZ_KEYBOARD, 1);
    unsetenv("KAVELHID_TRACE");
    unsetenv("KAVELHID_SIMULATION_SAVE");
    // The progress line is of no interest here.
    std::cout.rdbuf(nullptr);
    int nMajor = 0, nMinor = 0, nBuild = 0;
    HIDGetLibraryVersion(&nMajor, &nMinor, &nBuild);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pugi::xml_document doc;
    if (LoadScriptBuffer(doc, data, size, nullptr) != LOAD_OK) return 0;

    const std::string stampTime = "t20261208011631";
    pugi::xml_node root = doc.first_child();
    int current = 0;
    int total = 0;
    const int nCheckResult = kxbCheckWrite(root, stampTime, nullptr, &current, &total);
    const int nCheckTotal = current;
    ExpectKxbCheckAgrees(data, size, root, stampTime, nCheckResult);
    if (nCheckResult == 0) {
        total = current;
        KavelHid hid;
        hid.Enumerate();
        KavelHidDevice* device = hid.GetDevice(0);
        if (device == nullptr || device->Open() != 0 || device->EnumerateModules() != 0) std::abort();
        current = 0;
        WatchedKeyboard watched(device);
        int result = kxbCheckWrite(root, stampTime + "_device0", &watched, &current, &total);
        if (result == 0 && current != total) std::abort();
        if (result == 0) ExpectVerifyAgrees(data, size, device, watched);
    }
    CheckLogRunsAgain(doc, nCheckResult, nCheckTotal);
    return 0;
}
