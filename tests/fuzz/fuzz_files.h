#pragma once

// Shared by the fuzz targets that read and write real files: one work folder for the whole run, and a
// whole-file write.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_support.h"

namespace fuzz {

// One folder for the whole run, on tmpfs when there is one: saving syncs the file, which a disk makes slow.
// Never destroyed, so it is still there when the exit handler removes the folder.
inline const std::filesystem::path*& WorkDirSlot() {
    static const std::filesystem::path* dir = nullptr;
    return dir;
}

inline void RemoveWorkDir() {
    std::error_code ignored;
    if (WorkDirSlot() != nullptr) std::filesystem::remove_all(*WorkDirSlot(), ignored);
}

inline const std::filesystem::path& WorkDir() {
    namespace fs = std::filesystem;
    if (WorkDirSlot() == nullptr) {
        fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string name = (base / "tessiv-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(name.data()) != nullptr);
        WorkDirSlot() = new fs::path(name);
        std::atexit(RemoveWorkDir);
    }
    return *WorkDirSlot();
}

inline void WriteBytes(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

}  // namespace fuzz
