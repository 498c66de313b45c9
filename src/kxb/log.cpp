// PLACEHOLDER: replaced by the verb's implementation.
#include "kxb.h"

const char* const txtUsageLog = "Usage: kxb log\n";

int KxbLog(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    return KxbUsageError(txtUsageLog);
}
