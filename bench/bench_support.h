#pragma once

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

// The sample reports of the tests.
std::string SampleReport(const std::string& name);

// Resident memory of this process in KiB (VmRSS in /proc/self/status); 0 when it cannot be read.
double ResidentKiB();

// Writes a Setting.ini of `hosts` enabled entries on unroutable addresses, as an operator's short list would
// be.
void WriteShortHostList(const std::filesystem::path& folder, int hosts = 20);
