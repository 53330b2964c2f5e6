// The thread that prints the node's log to its output, so that an output that stalls (a
// pipe whose reader does not read) stalls the printer alone: records pile up in the log,
// which drops and counts the oldest, and no other thread ever waits for the output.
//
// While it runs the printer waits for room as long as it takes. Stop gives it a deadline
// to print what is left; output that cannot be written by then is given up (and counted),
// and Stop joins the printer within that time and a margin. A printer still caught in a
// write after that (an output on which even a small write blocks) is left behind: it
// holds everything it may still touch, so nothing of its owner is used by it any more,
// but for the output descriptor, which must therefore stay open (as stdout does).
//
// Typical usage (RelayNode):
//   LogPrinter printer;
//   printer.Start(1, [this](std::vector<std::string>& lines) { TakeLogLines(lines); },
//                 "started");
//   sink.SetWakeUpEvent(&printer.GetWakeUpEvent());
//   ...
//   printer.Stop(LogPrinter::kStopOutputMs);
//   sink.SetWakeUpEvent(nullptr);
//
// Threads: Start, Stop and the destructor from one thread (the owner's); the wake-up
// event is set from any thread. `take` runs on the printer's thread, never after Stop has
// returned.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/ref_counted.h"
#include "platform/thread.h"

namespace qav {

class LogPrinter {
  public:
    // Appends the lines that are ready (without line breaks) to `lines`.
    using TakeLines = std::function<void(std::vector<std::string>& lines)>;

    // How long a stop lets the printer print what is left before it gives up the output.
    static constexpr int kStopOutputMs = 1000;
    // How much longer Stop waits for the printer to end before it leaves it behind.
    static constexpr int kJoinMarginMs = 250;

    LogPrinter();
    // Stops a printer that still runs.
    ~LogPrinter();
    LogPrinter(const LogPrinter&) = delete;
    LogPrinter& operator=(const LogPrinter&) = delete;

    // Starts the thread that prints to `descriptor` `firstLine` (unless empty), then what
    // `take` hands over, each time the wake-up event is set. The first line is printed by
    // the running thread, so it tells that everything the printer needs is in place. False
    // when the thread cannot start or one runs already.
    bool Start(int descriptor, TakeLines take, std::string firstLine = {});
    bool IsRunning() const { return m_thread.HoldsThread(); }

    // Set it whenever lines are ready. Valid from Start on; it lives as long as this
    // object and any printer thread left behind.
    Event& GetWakeUpEvent();

    // Makes the printer take and print what is left within `timeoutMs`, and waits for it to
    // end for that long and kJoinMarginMs. True when it ended; false when there was none or
    // it was left behind. Safe to call twice.
    bool Stop(int timeoutMs);

    // Lines that could not be printed: given up at the stop, refused by the output, or
    // lost for lack of memory. Read after Stop.
    uint64_t GetLostLineCount() const;

  private:
    class Shared;

    static int PrinterMain(void* shared);

    RefPtr<Shared> m_shared;
    platform::ThreadHandle m_thread;
};

}  // namespace qav
