// What the benchmark programs share: the clock they read and the median they report.
#ifndef KAVELWRITE_BENCH_SUPPORT_H
#define KAVELWRITE_BENCH_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <vector>

// Milliseconds on a clock that never goes back.
inline double NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// The median of the values; 0 for none.
inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

#endif
