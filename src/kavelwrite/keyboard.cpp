// One keyboard's block: opening it, its write pass, its read-back with --verify, its reset and its
// outcome; and what the record and the event stream keep of it.
#include "kavelwrite.h"

#include "driver.h"
#include "history.h"
#include "kavelhidapi.h"
#include "readback.h"
#include "walk.h"

#include <iostream>

namespace {

// "1 byte", "2 bytes".
std::string Counted(int nCount, const std::string& sThing) {
    return std::to_string(nCount) + " " + sThing + (nCount == 1 ? "" : "s");
}

// Reads back what the write pass wrote and says so in the keyboard's block: one line when every
// byte holds, otherwise a line per block that does not. Returns what ReadBackFinish returns.
int VerifyKeyboard(ReadBackPass* pass, int i, const std::string& timestampDevice, const KeyboardRun& run,
                   int* current, int* total, KeyboardReport* report) {
    std::vector<KeyboardReadBack> keyboards(1);
    KeyboardReadBack& readback = keyboards.front();
    int r = ReadBackFinish(pass, true, timestampDevice, current, total, &readback);
    report->nVerifiedBytes = readback.nBytesMatch;
    report->sVerify = r == 0                          ? KxbBlockStateText(BLOCK_MATCH)
                      : r == ERR_ERROR_DEVICE_DIFFERS ? KxbBlockStateText(BLOCK_DIFFER)
                      : r == RESULT_INTERRUPTED       ? ""
                                                      : KxbBlockStateText(BLOCK_UNREADABLE);
    report->arHeld = std::move(readback.arHeld);
    if (r == RESULT_INTERRUPTED) return r;
    if (r == 0) {
        int nBlocks = 0;
        int nNotVerified = 0;
        for (const KxbBlock& block : readback.arBlock) {
            nBlocks += block.nState == BLOCK_MATCH ? 1 : 0;
            nNotVerified += block.nState == BLOCK_NOT_VERIFIED ? 1 : 0;
        }
        std::cout << " Verified: " << Counted(readback.nBytesMatch, "byte") << " in "
                  << Counted(nBlocks, "block") << ", " << Counted(nNotVerified, "message") << " not verified"
                  << std::endl;
        return r;
    }
    KxbPlaceBlocks(run.filename, run.encoding, keyboards);
    for (const KxbBlock& block : readback.arBlock) {
        if (block.nState == BLOCK_DIFFER || block.nState == BLOCK_UNREADABLE)
            std::cout << " " << KxbBlockLine(run.filename, i, block) << std::endl;
    }
    return r;
}

// Watches a keyboard's write pass: the read-back, with --verify, is told everything; the event
// stream learns the keyboard's units as soon as the Device element has read them.
class KeyboardWatch : public WalkObserver {
public:
    KeyboardWatch(WalkObserver* readback, const KeyboardRun& run, const std::string& timestampDevice,
                  KeyboardReport* report)
        : readback(readback), run(run), timestampDevice(timestampDevice), report(report) {}

    void DeviceJudged(pugi::xml_node element, int nResult) override {
        report->arUnit = ReportedUnits(element, timestampDevice);
        EventKeyboard(run.nBatch, report->nKeyboard, report->arUnit);
        if (readback != nullptr) readback->DeviceJudged(element, nResult);
    }
    void ElementBegin(pugi::xml_node element, unsigned nTraits) override {
        if (readback != nullptr) readback->ElementBegin(element, nTraits);
    }
    void BlockWritten(const WalkBlock& block) override {
        if (readback != nullptr) readback->BlockWritten(block);
    }
    void ElementEnd(pugi::xml_node element, unsigned nTraits, int nResult) override {
        if (readback != nullptr) readback->ElementEnd(element, nTraits, nResult);
    }

private:
    WalkObserver* readback;
    const KeyboardRun& run;
    const std::string& timestampDevice;
    KeyboardReport* report;
};

// True when a run annotation's value says that the node failed: a message that failed, a stop, or
// a block that the read-back did not find.
bool IsFailure(const char* txtValue) {
    const std::string sValue = txtValue;
    return sValue.compare(0, txtERROR.size(), txtERROR) == 0 || sValue == txtINTERRUPTED ||
           sValue.compare(0, 6, "differ") == 0 || sValue.compare(0, 10, "unreadable") == 0;
}

// The node at which the pass named timestampDevice failed: the first in the document annotated with
// a failure by the pass or its read-back, the Device element for a keyboard that does not suit the
// script or for a failure inside its detection report; an empty handle for none.
pugi::xml_node FailedNode(pugi::xml_node root, const std::string& timestampDevice, int nStatus) {
    pugi::xml_node device = root.child("Device");
    if (nStatus == ERR_ERROR_DEVICE_COMPATIBILITY) return device;
    const std::string sVerify = TimestampVerify(timestampDevice);
    pugi::xml_node failed;
    for (pugi::xml_node node = root; node && !failed;) {
        if (IsFailure(node.attribute(timestampDevice.c_str()).value()) ||
            IsFailure(node.attribute(sVerify.c_str()).value())) {
            failed = node;
            break;
        }
        // Document order, without recursion.
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != root && !node.next_sibling()) node = node.parent();
        node = node == root ? pugi::xml_node() : node.next_sibling();
    }
    // A report is the run's own: it has no place in the script file.
    for (pugi::xml_node up = failed; up; up = up.parent()) {
        if (txtDETECTED_DEVICE == up.name()) return device;
    }
    return failed;
}

// "FILE:LINE:COLUMN" of the node at which the keyboard's pass failed, or "" for none.
std::string FailedAt(pugi::xml_node root, const std::string& timestampDevice, int nStatus,
                     const KeyboardRun& run) {
    pugi::xml_node failed = FailedNode(root, timestampDevice, nStatus);
    if (!failed) return "";
    std::vector<KxbPosition> positions = KxbPlaceOffsets(run.filename, run.encoding, {failed.offset_debug()});
    return KxbPlaceText(run.filename, positions.empty() ? KxbPosition() : positions.front());
}

// Finishes the report of a keyboard whose block ended with outcome.
void EndReport(const KeyboardOutcome& outcome, int nLibraryStatus, KeyboardReport* report) {
    const int STATUS_SIGNAL_BASE = 128;
    report->nOutcome = outcome.bInterrupted ? STATUS_SIGNAL_BASE + StopRequested() : outcome.nStatus;
    report->nLibraryStatus = nLibraryStatus;
    report->sOutcome = ltrim(KeyboardOutcomeLine(outcome, nLibraryStatus));
    report->sEnded = HistoryUtcNow();
}

} // namespace

int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run, KeyboardReport* report) {
    KeyboardReport local;
    if (report == nullptr) report = &local;
    *report = KeyboardReport();
    report->nKeyboard = i;
    report->sStarted = HistoryUtcNow();
    std::cout << std::endl << "device" << i << ":";
    // A keyboard the library cannot hand out is reported like one that does not open.
    int nStatus = device ? device->Open() : -1;
    if (nStatus != 0) {
        const KeyboardOutcome& outcome = *KeyboardOutcomeOf(ERR_ERROR_DEVICE_OPEN);
        std::cout << KeyboardOutcomeLine(outcome, nStatus) << std::endl;
        EventKeyboard(run.nBatch, i, report->arUnit);
        EndReport(outcome, nStatus, report);
        return outcome.nStatus;
    }
    std::cout << std::endl;
    nStatus = device->EnumerateModules();
    if (nStatus != 0) {
        const KeyboardOutcome& outcome = *KeyboardOutcomeOf(ERR_ERROR_MODULES_ENUMERATION);
        std::cout << KeyboardOutcomeLine(outcome, nStatus) << std::endl;
        EventKeyboard(run.nBatch, i, report->arUnit);
        EndReport(outcome, nStatus, report);
        return outcome.nStatus;
    }
    *current = 0;
    std::string timestampDevice = TimestampDevice(stampTime, i);
    // With --verify the read-back watches the pass, and the reset waits for its judgement: a keyboard
    // whose memory did not take a write is not reset into a half old configuration.
    ReadBackPassOwner pass = run.bVerify ? ReadBackBegin(device) : ReadBackPassOwner();
    KeyboardWatch watch(pass ? ReadBackObserver(pass.get()) : nullptr, run, timestampDevice, report);
    WriteOptions options;
    options.bReset = false;
    options.observer = &watch;
    int r = kxbCheckWrite(root, timestampDevice, device, current, total, options);
    if (r == 0 && pass) r = VerifyKeyboard(pass.get(), i, timestampDevice, run, current, total, report);
    if (r == 0) {
        r = kxbResetKeyboard(root, timestampDevice, device, current, total, run.bWaitReset,
                             &report->nResetStatus);
        report->bReset = r == 0;
    }
    // A keyboard that was written to the end shows the whole progress line before it is done.
    if (r == 0) {
        TerminalShowPercentage(0, 1);
        std::cout << std::endl;
    }
    const KeyboardOutcome& outcome = WritePassOutcome(r);
    std::cout << outcome.txtLine << std::endl;
    if (r != 0 && run.bFailedAt) report->sFailedAt = FailedAt(root, timestampDevice, outcome.nStatus, run);
    EndReport(outcome, 0, report);
    return outcome.nStatus;
}
