// Summaries of measured latencies for the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace pallorwind::bench {

struct Stats {
    double median, p99, max;
};

// Median, 99th percentile and maximum of `samples` (not empty).
inline Stats Summarize(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[std::size_t(q * double(samples.size() - 1))]; };
    return {at(0.5), at(0.99), samples.back()};
}

template <typename Duration> double Ms(Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace pallorwind::bench
