// Estimators for timings of two variants taken in alternation, sample i of one
// beside sample i of the other. Plain C++: no Windows, so they can be checked on
// their own.
//
// Why paired: out-of-process calls under Wine are bimodal on a loaded machine
// (served at once, or after a thread wakes up: several times slower). The median
// of a whole run then lands on one mode or the other depending on the mix, and a
// ratio of two such medians swings by several per cent between runs although both
// variants share the same distribution. The ratio of two neighbouring samples
// compares calls made under the same conditions; the median of those ratios is
// the per-call cost ratio, and mixed pairs (one fast, one slow) fall on both sides
// of it alike.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace benchstats {

inline double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// Median of a[i] / b[i] over [from, to), taken on the logarithms so that an even
// count gives the geometric middle (a ratio and its inverse stay inverses). Pairs
// with a non-positive time are left out (a clock that did not move); 0 when none
// is left.
inline double PairedRatio(const std::vector<double>& a, const std::vector<double>& b, size_t from, size_t to) {
    to = std::min(to, std::min(a.size(), b.size()));
    std::vector<double> logs;
    for (size_t i = from; i < to; ++i) {
        if (a[i] > 0.0 && b[i] > 0.0) logs.push_back(std::log(a[i] / b[i]));
    }
    if (logs.empty()) return 0.0;
    return std::exp(Median(logs));
}

inline double PairedRatio(const std::vector<double>& a, const std::vector<double>& b) {
    return PairedRatio(a, b, 0, std::min(a.size(), b.size()));
}

// Mean without the lowest and highest `cut` share of the samples: stalls of tens
// of milliseconds (another process scheduled) would otherwise dominate a mean.
inline double TrimmedMean(std::vector<double> v, double cut) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    size_t drop = static_cast<size_t>(static_cast<double>(v.size()) * cut);
    if (2 * drop >= v.size()) drop = (v.size() - 1) / 2;
    double sum = 0.0;
    for (size_t i = drop; i < v.size() - drop; ++i) sum += v[i];
    return sum / static_cast<double>(v.size() - 2 * drop);
}

// The paired ratio over the whole run, its lowest and highest value over `slices`
// consecutive stretches of the run (how much the machine moved it), and, beside
// it, the ratio of the two run medians and of the two 5%-trimmed means.
struct Ratio {
    double paired, low, high, medians, trimmed;
};

inline Ratio RatioOf(const std::vector<double>& a, const std::vector<double>& b, size_t slices = 5) {
    const size_t n = std::min(a.size(), b.size());
    Ratio r = {PairedRatio(a, b), 0.0, 0.0, 0.0, 0.0};
    double mb = Median(b), tb = TrimmedMean(b, 0.05);
    r.medians = mb > 0.0 ? Median(a) / mb : 0.0;
    r.trimmed = tb > 0.0 ? TrimmedMean(a, 0.05) / tb : 0.0;
    r.low = r.high = r.paired;
    if (slices > 0 && n >= slices) {
        r.low = 1e300;
        r.high = 0.0;
        for (size_t s = 0; s < slices; ++s) {
            double q = PairedRatio(a, b, n * s / slices, n * (s + 1) / slices);
            r.low = std::min(r.low, q);
            r.high = std::max(r.high, q);
        }
    }
    return r;
}

}  // namespace benchstats
