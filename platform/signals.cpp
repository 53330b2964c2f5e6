#include "platform/signals.h"

#include <signal.h>

#include <atomic>
#include <ctime>

namespace qav::platform {

namespace {

// Whether SIGHUP is one of the stop signals; decided once, by BlockStopSignals.
std::atomic<bool> g_hangUpStops{false};

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (g_hangUpStops.load()) {
        sigaddset(&signals, SIGHUP);
    }
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
    // A blocked signal is kept pending even when its action is to ignore it, so blocking
    // a hang-up that the starter chose to ignore would make it stop the process after all.
    struct sigaction hangUp {};
    const bool ignored = sigaction(SIGHUP, nullptr, &hangUp) == 0 && hangUp.sa_handler == SIG_IGN;
    g_hangUpStops.store(!ignored);
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
