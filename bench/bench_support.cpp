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

void WriteShortHostList(const std::filesystem::path& folder, int hosts) {
    std::string setting;
    for (int i = 0; i < hosts; ++i)
        setting += "Center-" + std::to_string(i) + ",http://192.0.2." + std::to_string(i) +
                   ":89/Interface/tarv/tarvAction_appreg.action@1\r\n";
    WriteFileBytes(folder / "Setting.ini", setting);
}
