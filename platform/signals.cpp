#include "platform/signals.h"

#include <signal.h>

#include <ctime>

namespace qav::platform {

namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

void IgnoreBrokenPipeSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void BlockStopSignals() {
    const sigset_t signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int WaitForStopSignal(int timeoutMs) {
    const sigset_t signals = StopSignals();
    timespec timeout{};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    // Timeouts and interruptions by other signals both give 0: the caller loops anyway.
    const int signal = sigtimedwait(&signals, nullptr, &timeout);
    return signal > 0 ? signal : 0;
}

}  // namespace qav::platform
