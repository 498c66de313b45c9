// The one place where the program pauses: the retry pauses of busy keyboards and the reset wait.
// Tests and the fuzzing build link a definition of their own instead of this file.
#include "driver.h"

#include <cerrno>
#include <ctime>

void SleepMilliseconds(int nMilliseconds) {
    if (nMilliseconds <= 0) return;
    struct timespec remaining;
    remaining.tv_sec = nMilliseconds / 1000;
    remaining.tv_nsec = static_cast<long>(nMilliseconds % 1000) * 1000000L;
    // Nothing waits for a pause once a stop is requested. Any other signal must not shorten the
    // pause the keyboard needs.
    while (StopRequested() == 0 && nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
