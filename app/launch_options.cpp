#include "app/launch_options.h"

#include <string_view>

LaunchOptions ParseLaunchOptions(int argc, char** argv, bool windowless) {
    LaunchOptions options;
    if (argc > 0) options.rest.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--history" && !options.history) {
            // From here on the words are the report's, but for --data-dir, wherever it stands.
            options.history = true;
            options.rest.clear();
            continue;
        }
        if (options.history && arg != "--headless" && arg != "--data-dir" &&
            !arg.starts_with("--data-dir=")) {
            options.rest.push_back(argv[i]);
            continue;
        }
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--test-notify") {
            options.testNotify = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--ack" || arg == "--unack") {
            if (i + 1 >= argc || std::string_view(argv[i + 1]).empty()) {
                options.error = std::string(arg) + " needs the name of a host";
                return options;
            }
            if (!options.command.empty()) {
                options.error = "one --ack or --unack at a time";
                return options;
            }
            options.command = arg.substr(2);
            options.commandHost = argv[++i];
        } else if (arg == "--data-dir" || arg.starts_with("--data-dir=")) {
            std::string_view value;
            if (arg == "--data-dir") {
                if (i + 1 >= argc) {
                    options.error = "--data-dir needs a folder";
                    return options;
                }
                value = argv[++i];
            } else {
                value = arg.substr(std::string_view("--data-dir=").size());
            }
            if (value.empty()) {
                options.error = "--data-dir needs a folder";
                return options;
            }
            options.dataDir = std::filesystem::path(value);
        } else {
            options.rest.push_back(argv[i]);
        }
    }
    if (windowless) {
        if (!options.history) options.headless = true;
        if (options.rest.size() > 1 && !options.history)
            options.error = "unknown option " + std::string(options.rest[1]);
        return options;
    }
    if (options.headless && options.history) {
        options.error = "--history prints the history and leaves; it does not go with --headless";
        return options;
    }
    if (!options.command.empty() && (options.headless || options.history || options.rest.size() > 1)) {
        options.error =
            "--" + options.command + " talks to the running monitor and goes only with --data-dir";
        return options;
    }
    if (options.testNotify && !options.command.empty()) {
        options.error = "--test-notify and --" + options.command + " are separate runs";
        return options;
    }
    if (options.testNotify && (options.headless || options.history || options.rest.size() > 1)) {
        options.error = "--test-notify sends its test messages and leaves; it goes with --data-dir alone";
        return options;
    }
    // Without a window nothing is Qt's.
    if (options.headless && options.rest.size() > 1)
        options.error = "unknown option " + std::string(options.rest[1]) + " with --headless";
    return options;
}
