#pragma once

#include <filesystem>
#include <string>
#include <vector>

// What the command line asks of Tessiv beyond Qt's own options, which stay in `rest` for the window.
struct LaunchOptions {
    bool headless = false;
    bool help = false;
    bool version = false;
    bool testNotify = false;        // `--test-notify`: one test message to every configured channel
    bool history = false;           // `--history ...`: everything after it but --data-dir is the report's
    std::string command;            // "ack" or "unack": for the monitor running in the folder
    std::string commandHost;        // its host's name, as typed (UTF-8)
    std::filesystem::path dataDir;  // --data-dir: Setting.ini, tessiv.conf, log.txt and the history
    std::vector<char*> rest;        // argv[0], the options left for Qt, or the report's arguments
    std::string error;              // a usage error, for standard error with exit status 2
};

// `windowless`: the command line of tessivd, which is always --headless (it may be given) and takes no Qt
// option.
LaunchOptions ParseLaunchOptions(int argc, char** argv, bool windowless = false);

inline constexpr const char* kLaunchUsage =
    "usage: tessiv [--data-dir DIR] [Qt options]            the monitor window\n"
    "       tessiv --headless [--data-dir DIR]              the same rounds without a display\n"
    "       tessiv [--data-dir DIR] --history outages|uptime [--days N] [--csv]\n"
    "       tessiv [--data-dir DIR] --ack NAME | --unack NAME\n"
    "       tessiv [--data-dir DIR] --test-notify           one test message to every channel, hook and "
    "webhook\n"
    "       tessiv --help | --version\n"
    "\n"
    "  --data-dir DIR  the folder of Setting.ini, tessiv.conf, log.txt and history.sqlite\n"
    "                  (default: beside the executable, or the per-user folders of an installed Tessiv)\n"
    "  --headless      pane lines go to standard output, alarm lines marked <3>, others <6>;\n"
    "                  SIGTERM or SIGINT ends it, SIGHUP reads Setting.ini and tessiv.conf again\n"
    "  --ack NAME      the running monitor keeps quiet about host NAME's fault until it changes;\n"
    "                  --unack NAME takes that back\n";

inline constexpr const char* kServiceUsage =
    "usage: tessivd [--data-dir DIR]                        the monitor without a display\n"
    "       tessivd [--data-dir DIR] --history outages|uptime [--days N] [--csv]\n"
    "       tessivd [--data-dir DIR] --ack NAME | --unack NAME\n"
    "       tessivd [--data-dir DIR] --test-notify          one test message to every channel, hook and "
    "webhook\n"
    "       tessivd --help | --version\n"
    "\n"
    "  --data-dir DIR  the folder of Setting.ini, tessiv.conf, log.txt and history.sqlite\n"
    "                  (default: beside the executable, or the per-user folders of an installed Tessiv)\n"
    "  pane lines go to standard output, alarm lines marked <3>, others <6>;\n"
    "  SIGTERM or SIGINT ends it, SIGHUP reads Setting.ini and tessiv.conf again\n"
    "  --ack NAME      the running monitor keeps quiet about host NAME's fault until it changes;\n"
    "                  --unack NAME takes that back\n";
