// bench_util.h - timing, statistics and the result table of the benchmark
// program.
//
// Single-threaded use only (the writer-wait thread keeps its own samples).
// Nothing here fails: results are collected in memory and printed at the end.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The q-quantile (0..1) by the nearest-rank method; 0 for no samples.
inline double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(q * static_cast<double>(v.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, v.size());
    return v[rank - 1];
}

inline double Median(const std::vector<double>& v) {
    if (v.empty()) return 0;
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

// One line of the result table and one object of the JSON.
struct Result {
    std::string Name;
    uint32_t Nodes = 0;
    std::string Unit = "s";  // "s", "bytes" or "share" (a fraction, shown in per cent)
    double Median = 0;       // in Unit
    int Runs = 0;
    double P99 = -1;       // in Unit, when measured
    std::string Baseline;  // empty: no comparison
    double BaselineMedian = 0;
    double Target = 0;  // ratio (or, without a baseline, absolute value) not to exceed; 0: none
    std::string Note;

    double Ratio() const { return BaselineMedian > 0 ? Median / BaselineMedian : 0; }
    bool HasTarget() const { return Target > 0; }
    bool Met() const {
        double v = Baseline.empty() ? (P99 >= 0 ? P99 : Median) : Ratio();
        return v <= Target;
    }
};

std::string FormatValue(double v, const std::string& unit);
std::string ResultsMarkdown(const std::vector<Result>& results);
std::string ResultsJson(const std::vector<Result>& results, const std::string& machine);

}  // namespace bench
