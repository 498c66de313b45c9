// PLACEHOLDER: replaced by the verb's implementation.
#include "kxb.h"

const char* const txtUsageProbe = "Usage: kxb probe\n";

int KxbProbe(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    return KxbUsageError(txtUsageProbe);
}
