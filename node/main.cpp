// qav-node: a relay node in the server role. Prints its log to stdout, one record per
// line, and stops cleanly on SIGINT or SIGTERM.
#include <cstdio>
#include <string>

#include "node/node_options.h"
#include "node/relay_node.h"
#include "platform/signals.h"

int main(int argc, char** argv) {
    qav::NodeOptions options;
    std::string error;
    if (!qav::ParseNodeOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "qav-node: %s\n%s", error.c_str(), qav::GetNodeUsage());
        return 2;
    }
    if (options.help) {
        std::fputs(qav::GetNodeUsage(), stdout);
        return 0;
    }
    // Before any thread starts, so that every thread inherits the mask and the stop
    // signals wait for the loop below.
    qav::platform::BlockStopSignals();
    qav::platform::IgnoreBrokenPipeSignal();

    qav::RelayNode node;
    if (!node.Start(options, error)) {
        node.PrintLog(stdout);
        std::fprintf(stderr, "qav-node: %s\n", error.c_str());
        return 1;
    }
    std::printf("qav-node: listening on TCP port %d and UDP port %d\n", node.GetTcpPort(),
                node.GetUdpPort());
    std::fflush(stdout);
    if (!node.StartLogPrinter(stdout)) {
        node.Stop();
        std::fprintf(stderr, "qav-node: cannot start the log printer\n");
        return 1;
    }

    int signal = 0;
    while ((signal = qav::platform::WaitForStopSignal(1000)) == 0) {
        // The printer prints the log as it comes; this thread only waits for the signal.
    }
    std::printf("qav-node: stopping on signal %d\n", signal);
    node.Stop();
    std::printf("qav-node: stopped\n");
    return 0;
}
