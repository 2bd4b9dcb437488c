#include "app/monitor_command.h"

#include <cstdio>

#include <QCoreApplication>

#include "app/acknowledging.h"
#include "guard/single_instance.h"
#include "text/gbk.h"

int RunMonitorCommand(int argc, char** argv, const std::string& verb, const std::string& hostUtf8,
                      const std::filesystem::path& dataDir) {
    QCoreApplication app(argc, argv);
    const SingleInstance::CommandAnswer answer = SingleInstance::SendCommand(dataDir, verb, hostUtf8);
    if (answer.ok) {
        std::printf("%s\n", answer.message.c_str());
        return 0;
    }
    std::fprintf(stderr, "tessiv: %s\n", answer.message.c_str());
    return 1;
}

void ServeAcknowledgements(SingleInstance& instance, Acknowledging& acknowledging) {
    instance.SetCommandHandler(
        [&acknowledging](const std::string& verb,
                         const std::string& argument) -> SingleInstance::CommandAnswer {
            // Names in Setting.ini are GBK; the command line's are UTF-8.
            const std::string name = gbk::FromUtf8(argument);
            Acknowledging::Answer answer;
            if (verb == "ack")
                answer = acknowledging.Acknowledge(name, "command line");
            else if (verb == "unack")
                answer = acknowledging.Unacknowledge(name, "command line");
            else
                return {false, "unknown command " + verb};
            return {answer.ok, answer.message};
        });
}
