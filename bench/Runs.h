#pragma once
// The runs of one measurement: every benchmark reports their median and spread, so that no single
// noisy run passes or fails a target alone.
#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrine::bench {

struct Runs {
    std::vector<double> values;

    void Add(double value) { values.push_back(value); }
    double Median() const {
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? -1 : sorted[sorted.size() / 2];
    }
    double Min() const {
        return values.empty() ? -1 : *std::min_element(values.begin(), values.end());
    }
    double Max() const {
        return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
    }
    // "<what> median <m> <unit>  (runs <min>..<max>)"
    void Print(const char* what, const char* unit, int decimals = 1) const {
        std::printf("%-36s median %9.*f %s  (%zu runs %.*f..%.*f)\n", what, decimals, Median(),
                    unit, values.size(), decimals, Min(), decimals, Max());
    }
};

}  // namespace kestrine::bench
