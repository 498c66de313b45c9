// The usage texts of kxb and of its verbs.
#include "kxb.h"

#include <iostream>

namespace {

const char* const txtUsageKxb =
    "Usage: kxb [--help] [--version] VERB [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Verbs:\n"
    "  check   check kxb scripts without a keyboard, every fault with its line\n"
    "  probe   identify the attached keyboards, with identification reads only\n"
    "  log     say what an annotated log file records, run by run\n"
    "  verify  say whether the keyboards hold what a script writes, with reads only\n"
    "  backup  print a script that puts back what a script would overwrite\n"
    "  twin    print a simulation file of the keyboards that a recording shows\n"
    "  schema  print the XML Schema of kxb scripts, for editors and xmllint\n"
    "  history list what the production record holds: keyboards, runs, yield per script and day\n"
    "\n"
    "'kxb VERB --help' shows the options of a verb.\n";

} // namespace

int KxbUsageError(const char* txtUsage) {
    std::cerr << (txtUsage == nullptr ? txtUsageKxb : txtUsage) << std::flush;
    return KXB_USAGE_ERROR;
}

int KxbUsage(const char* txtUsage) {
    std::cout << (txtUsage == nullptr ? txtUsageKxb : txtUsage) << std::flush;
    return 0;
}
