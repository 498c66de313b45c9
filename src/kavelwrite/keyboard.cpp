// One keyboard's block: opening it, its write pass, its read-back with --verify, its outcome.
#include "kavelwrite.h"

#include "driver.h"
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
                   int* current, int* total) {
    std::vector<KeyboardReadBack> keyboards(1);
    KeyboardReadBack& readback = keyboards.front();
    int r = ReadBackFinish(pass, true, timestampDevice, current, total, &readback);
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

} // namespace

int WriteKeyboard(KavelHidDevice* device, int i, pugi::xml_node root, const std::string& stampTime,
                  int* current, int* total, const KeyboardRun& run) {
    std::cout << std::endl << "device" << i << ":";
    // A keyboard the library cannot hand out is reported like one that does not open.
    int nStatus = device ? device->Open() : -1;
    if (nStatus != 0) {
        std::cout << KeyboardOutcomeLine(*KeyboardOutcomeOf(ERR_ERROR_DEVICE_OPEN), nStatus) << std::endl;
        return ERR_ERROR_DEVICE_OPEN;
    }
    std::cout << std::endl;
    nStatus = device->EnumerateModules();
    if (nStatus != 0) {
        std::cout << KeyboardOutcomeLine(*KeyboardOutcomeOf(ERR_ERROR_MODULES_ENUMERATION), nStatus)
                  << std::endl;
        return ERR_ERROR_MODULES_ENUMERATION;
    }
    *current = 0;
    std::string timestampDevice = TimestampDevice(stampTime, i);
    WriteOptions options;
    options.bWaitReset = run.bWaitReset;
    // With --verify the read-back watches the pass, and the reset waits for its judgement: a keyboard
    // whose memory did not take a write is not reset into a half old configuration.
    ReadBackPassOwner pass = run.bVerify ? ReadBackBegin(device) : ReadBackPassOwner();
    options.bReset = !pass;
    options.observer = pass ? ReadBackObserver(pass.get()) : nullptr;
    int r = kxbCheckWrite(root, timestampDevice, device, current, total, options);
    if (r == 0 && pass) {
        r = VerifyKeyboard(pass.get(), i, timestampDevice, run, current, total);
        if (r == 0) r = kxbResetKeyboard(root, timestampDevice, device, current, total, run.bWaitReset);
    }
    // A keyboard that was written to the end shows the whole progress line before it is done.
    if (r == 0) {
        TerminalShowPercentage(0, 1);
        std::cout << std::endl;
    }
    const KeyboardOutcome& outcome = WritePassOutcome(r);
    std::cout << outcome.txtLine << std::endl;
    return outcome.nStatus;
}
