// How a keyboard's block ends on the console: one row per outcome, which kavelwrite prints and kxb
// reads back to say what kavelwrite printed.
#include "driver.h"

namespace {

const KeyboardOutcome keyboardOutcomes[] = {
    {0, false, false, " Done."},
    {ERR_ERROR_DEVICE_OPEN, false, true, " ERROR: Device open error"},
    {ERR_ERROR_MODULES_ENUMERATION, false, true, " ERROR: Modules enumeration error"},
    {ERR_ERROR_DEVICE_COMMUNICATION, false, false, " ERROR: Device communication error"},
    {ERR_ERROR_DEVICE_COMPATIBILITY, false, false, " Device not suitable - nothing changed."},
    {ERR_ERROR_DEVICE_WRITE, false, false, " ERROR: Device write error"},
    {ERR_ERROR_DEVICE_WRITE, true, false, " ERROR: Interrupted - keyboard not reset."},
    {ERR_ERROR_DEVICE_DIFFERS, false, false, " ERROR: Device verify error"},
};

} // namespace

const char* const txtNO_DEVICE = "ERROR: No Kavel device detected";
const char* const txtDEVICES_DETECTED = " Kavel device(s) detected";

const KeyboardOutcome* KeyboardOutcomeOf(int nStatus, bool bInterrupted) {
    for (const KeyboardOutcome& outcome : keyboardOutcomes) {
        if (outcome.nStatus == nStatus && outcome.bInterrupted == bInterrupted) return &outcome;
    }
    return nullptr;
}

const KeyboardOutcome& WritePassOutcome(int r) {
    if (r == 0 || r == ERR_ERROR_DEVICE_COMPATIBILITY || r == ERR_ERROR_DEVICE_COMMUNICATION ||
        r == ERR_ERROR_DEVICE_DIFFERS) {
        return *KeyboardOutcomeOf(r);
    }
    // Any other result is a failed write; a stop before a message is one too, with a line of its own.
    return *KeyboardOutcomeOf(ERR_ERROR_DEVICE_WRITE, r == RESULT_INTERRUPTED);
}

std::string KeyboardOutcomeLine(const KeyboardOutcome& outcome, int nLibraryStatus) {
    std::string sLine = outcome.txtLine;
    if (outcome.bLibraryStatus) sLine += " (" + std::to_string(nLibraryStatus) + ")";
    return sLine;
}
