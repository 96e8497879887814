// Timing, medians and child-process peak memory for the upload benchmarks.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvant::bench {

// Wall-clock seconds of f, and the process's CPU seconds during f (the
// fairer figure on a machine shared with other work).
struct TTimes {
    double wall = 0;
    double cpu = 0;
};
TTimes Measure(const std::function<void()>& f);
double Median(std::vector<double> v);
// Runs f in a forked child; its resident set in KiB before f and its peak
// while f ran (both -1 when the child failed).
struct TPeak {
    long startKiB = -1;
    long peakKiB = -1;
};
TPeak ChildPeakKiB(const std::function<void()>& f);
// Runs a shell command; throws when it fails.
void Shell(const std::string& cmd);

}  // namespace orvant::bench
