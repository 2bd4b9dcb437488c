#pragma once

#include <filesystem>
#include <string>

class Acknowledging;
class SingleInstance;

// `tessiv --ack NAME` and `--unack NAME`: hands the command to the monitor running in `dataDir` and prints
// its answer; 0 when it was done, 1 otherwise.
int RunMonitorCommand(int argc, char** argv, const std::string& verb, const std::string& hostUtf8,
                      const std::filesystem::path& dataDir);

// Lets later starts of the same user acknowledge a host's fault in this monitor.
void ServeAcknowledgements(SingleInstance& instance, Acknowledging& acknowledging);
