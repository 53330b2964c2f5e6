// qav-node: a relay node in the server role. Prints its log to stdout, one record per
// line, and stops cleanly on SIGINT, SIGTERM or SIGHUP, within about a second and a half
// whatever its output does; lines that its output did not take are counted on stderr at
// the stop. Exits 0 after a stop by signal, 1 when the node cannot start, its polling
// thread has ended, memory ran out where it could not be done without or the usage asked
// for cannot be written, 2 on a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "core/format.h"
#include "node/node_options.h"
#include "node/relay_node.h"
#include "platform/output.h"
#include "platform/signals.h"
#include "platform/standard_descriptors.h"
#include "platform/system_error.h"

namespace {

constexpr int kStdout = 1;
constexpr int kStderr = 2;
// How long the program's own lines may wait for room in an output that does not drain.
constexpr int kOwnLineMs = 250;
// How often the main thread looks at the polling thread while it waits for a signal.
constexpr int kWatchMs = 200;

// A line of the program's own, in one write, given up when the output has no room for it
// in time: no output that nobody reads may hold the program. It needs no memory, so that
// it can tell of memory running out.
void WriteLine(int descriptor, std::string_view line) {
    char text[512];
    const size_t length = line.size() < sizeof text - 1 ? line.size() : sizeof text - 1;
    std::memcpy(text, line.data(), length);
    text[length] = '\n';
    int errorCode = 0;
    qav::platform::WriteOutput(descriptor, text, length + 1, kOwnLineMs, -1, errorCode);
}

int RunNode(qav::RelayNode& node, const qav::NodeOptions& options) {
    std::string error;
    if (!node.Start(options, error)) {
        node.PrintLog(kStdout, kOwnLineMs);
        WriteLine(kStderr, "qav-node: " + error);
        return 1;
    }
    // Printed by the printer, ahead of every record: once the line is out, the node has
    // started whole, and nothing of the start can fail any more.
    if (!node.StartLogPrinter(
            kStdout, qav::FormatString("qav-node: listening on TCP port %d and UDP port %d",
                                       node.GetTcpPort(), node.GetUdpPort()))) {
        node.Stop();
        WriteLine(kStderr, "qav-node: cannot start the log printer");
        return 1;
    }

    int signal = 0;
    while ((signal = qav::platform::WaitForStopSignal(kWatchMs)) == 0) {
        if (node.HasPollingThreadEnded()) {
            // The node would take nothing in any more: a supervisor must see it fail.
            WriteLine(kStderr, "qav-node: the polling thread has ended; stopping");
            node.Stop();
            return 1;
        }
    }
    // Queued, not written: the sockets stop before anything waits for the output.
    node.PrintLine(qav::FormatString("qav-node: stopping on signal %d", signal));
    node.Stop();
    if (const uint64_t lost = node.GetLostOutputLineCount(); lost > 0) {
        // The output went away or did not drain: the operator learns that the log is not
        // whole where it is most likely still read.
        WriteLine(kStderr, qav::FormatString("qav-node: %lld output lines lost",
                                             static_cast<long long>(lost)));
    } else {
        WriteLine(kStdout, "qav-node: stopped");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything opens a descriptor, which would otherwise take the number of a
    // closed standard one and receive what is printed there.
    if (int errorCode = 0; !qav::platform::FillClosedStandardDescriptors(errorCode)) {
        WriteLine(kStderr, qav::FormatString("qav-node: cannot open /dev/null for a closed "
                                             "standard descriptor: %s",
                                             qav::platform::ErrorMessage(errorCode)));
        return 1;
    }
    qav::NodeOptions options;
    std::string error;
    if (!qav::ParseNodeOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "qav-node: %s (see qav-node --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        // Asked for, so it waits for the output as long as it takes; an output that fails
        // (a full device, say) makes it a failure, not a silent success.
        const std::string_view usage = qav::GetNodeUsage();
        int errorCode = 0;
        if (qav::platform::WriteOutput(kStdout, usage.data(), usage.size(), -1, -1, errorCode) <
            usage.size()) {
            WriteLine(kStderr, qav::FormatString("qav-node: cannot write the usage: %s",
                                                 qav::platform::ErrorMessage(errorCode)));
            return 1;
        }
        return 0;
    }
    // Before any thread starts, so that every thread inherits the mask and the stop
    // signals wait for the loop below.
    qav::platform::BlockStopSignals();
    qav::platform::IgnoreBrokenPipeSignal();

    // From here on only the printer and the lines above write to the output, each with a
    // bound on its wait: nothing goes through the C library's buffers.
    qav::RelayNode node;
    try {
        return RunNode(node, options);
    } catch (const std::bad_alloc&) {
        // Out of memory where the node could not count it as a loss (while it started or
        // stopped): it ends at once, failing, rather than leaving half of a stop behind.
        WriteLine(kStderr, "qav-node: out of memory; stopping");
        std::_Exit(1);
    }
}
