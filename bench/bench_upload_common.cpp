#include "bench/bench_upload_common.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace orvant::bench {

double Seconds(const std::function<void()>& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

long ChildPeakKiB(const std::function<void()>& f) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            f();
        } catch (const std::exception&) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    rusage ru {};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss;
}

void Shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("failed: " + cmd);
}

}  // namespace orvant::bench
