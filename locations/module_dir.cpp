#include "locations/module_dir.h"

#include <system_error>

std::filesystem::path GetModuleDir() {
    std::error_code error;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return exe.parent_path();
}
