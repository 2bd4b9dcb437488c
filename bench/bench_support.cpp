#include "bench/bench_support.h"

#include <fstream>
#include <sstream>

std::string SampleReport(const std::string& name) {
    return ReadFileBytes(std::filesystem::path(TESSIV_BENCH_DATA) / name);
}

double ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        double kib = 0;
        fields >> kib;
        return kib;
    }
    return 0;
}
