// PLACEHOLDER: replaced by the verb's implementation.
#include "kxb.h"

const char* const txtUsageCheck = "Usage: kxb check\n";

int KxbCheck(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    return KxbUsageError(txtUsageCheck);
}
