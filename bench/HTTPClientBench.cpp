// Sequential small POSTs to brindlow-devserver over loopback: requests per second
// through HTTPClient (one reused connection) and through the curl tool making the
// same requests in one process with keep-alive.
//
//   HTTPClientBench [requests]     default 3000

#include <chrono>
#include <cstdio>
#include <fstream>

#include "Support/DevServerProcess.h"
#include "Support/Subprocess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 3000;
    testing::DevServerProcess server;
    const auto [token, refresh] = server.signIn("alice");
    BrindlowAPI api(server.environment(),
                    HTTPClient(server.transport(), std::make_shared<testing::FixedTokenProvider>(token)));
    api.registerRecording("bench", {{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    api.heartbeat("bench");  // warm the connection

    auto t0 = Clock::now();
    for (int i = 0; i < requests; ++i) api.heartbeat("bench");
    const double ours = requests / std::chrono::duration<double>(Clock::now() - t0).count();

    const auto config = server.dataDir() / "curl.conf";
    {
        std::ofstream out(config);
        const std::string url = server.base("monolith") + "/recordings/bench/heartbeat";
        for (int i = 0; i < requests; ++i) {
            out << "url = \"" << url << "\"\nrequest = \"POST\"\nheader = \"Authorization: Bearer " << token
                << "\"\nheader = \"Accept: application/json\"\nheader = \"Content-Type: application/json\"\n"
                << "data = \"{}\"\noutput = \"/dev/null\"\n" << (i + 1 < requests ? "next\n" : "");
        }
    }
    t0 = Clock::now();
    const auto result = testing::runCommand({"curl", "-s", "-K", config.string()});
    const double tool = requests / std::chrono::duration<double>(Clock::now() - t0).count();
    if (result.exitCode != 0) std::fprintf(stderr, "curl failed (%d)\n", result.exitCode);

    std::printf("%d sequential POSTs over loopback with keep-alive\n", requests);
    std::printf("HTTPClient: %8.0f requests/s\n", ours);
    std::printf("curl tool:  %8.0f requests/s\n", tool);
    std::printf("ratio HTTPClient/curl: %.2f\n", ours / tool);
    return 0;
}
