// The progress line of a write pass, and the steps that every handler counts into it.
#include "driver.h"

#include <iostream>

namespace {

void (*progressHook)(int nPercent) = nullptr;

} // namespace

void SetProgressHook(void (*hook)(int nPercent)) {
    progressHook = hook;
}

int TerminalShowPercentage(int current, int total) {
    // Without a total there is no share to show (and nothing to divide by).
    if (current < total && total > 0) {
        // Shows the share of the step about to be done, so the line reaches 100 on the last one.
        int nPercent = static_cast<int>((current + 1) * 100.0 / total);
        std::cout << " Writing progress: " << nPercent << " %\r" << std::flush;
        if (progressHook != nullptr) progressHook(nPercent);
    }
    return 0;
}

void CountStep(int* current, int* total) {
    *current += 1;
    TerminalShowPercentage(*current, *total);
}
