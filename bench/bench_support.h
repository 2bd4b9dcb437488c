#pragma once

#include <filesystem>
#include <string>

// A fresh directory under the system temp dir, removed with its contents at the end of the scope.
class BenchDir {
public:
    BenchDir();
    ~BenchDir();
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

std::string ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);

// The sample reports of the tests.
std::string SampleReport(const std::string& name);

// Resident memory of this process in KiB (VmRSS in /proc/self/status); 0 when it cannot be read.
double ResidentKiB();
