#include "bench/bench_upload_common.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace orvant::bench {

namespace {
double CpuSeconds() {
    timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
}  // namespace

TTimes Measure(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = CpuSeconds();
    f();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), CpuSeconds() - c0};
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

namespace {

long StatusKiB(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long v = -1;
    const size_t n = std::strlen(field);
    while (f && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0) v = std::atol(line + n + 1);
    if (f) std::fclose(f);
    return v;
}

}  // namespace

TPeak ChildPeakKiB(const std::function<void()>& f) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A forked child starts with the parent's peak: reset it to the
        // child's own resident set before the measured work.
        if (std::FILE* c = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", c);
            std::fclose(c);
        }
        TPeak p;
        p.startKiB = StatusKiB("VmRSS:");
        try {
            f();
        } catch (const std::exception&) {
            ::_exit(1);
        }
        p.peakKiB = StatusKiB("VmHWM:");
        if (::write(fds[1], &p, sizeof p) != ssize_t(sizeof p)) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    TPeak p;
    if (pid < 0 || ::read(fds[0], &p, sizeof p) != ssize_t(sizeof p)) p = {};
    ::close(fds[0]);
    int status = 0;
    if (pid > 0) ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) p = {};
    return p;
}

void Shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("failed: " + cmd);
}

}  // namespace orvant::bench
