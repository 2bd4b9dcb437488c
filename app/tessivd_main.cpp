// tessivd: the monitor without a desktop, as `tessiv --headless` runs it, linking no GUI, sound or D-Bus
// library.
#include <variant>

#include "app/curl_global.h"
#include "app/headless.h"
#include "app/launch.h"
#include "app/test_notify.h"

int main(int argc, char** argv) {
    std::variant<int, Launch> begun = BeginLaunch(argc, argv, LaunchFront::Service);
    if (const int* status = std::get_if<int>(&begun)) return *status;
    Launch& launch = std::get<Launch>(begun);
    int qtArgc = static_cast<int>(launch.options.rest.size());
    launch.options.rest.push_back(nullptr);
    CurlGlobal curl;
    if (launch.options.testNotify) return RunTestNotify(launch.settings.dataDir);
    return RunHeadless(qtArgc, launch.options.rest.data(), std::move(launch.settings));
}
