// The fuzzing build does not pause: the keyboard it writes to is virtual and never busy for real.
#include "driver.h"

void SleepMilliseconds(int) {}
