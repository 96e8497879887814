// Timing, medians and child-process peak memory for the upload benchmarks.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvant::bench {

double Seconds(const std::function<void()>& f);
double Median(std::vector<double> v);
// Runs f in a forked child and returns the child's peak resident set in KiB
// (-1 when the child failed).
long ChildPeakKiB(const std::function<void()>& f);
// Runs a shell command; throws when it fails.
void Shell(const std::string& cmd);

}  // namespace orvant::bench
