#include "platform/signals.h"

#include <signal.h>

namespace qav::platform {

void IgnoreBrokenPipeSignal() {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace qav::platform
