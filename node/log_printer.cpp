#include "node/log_printer.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "platform/clock.h"
#include "platform/output.h"
#include "platform/wake_up.h"

namespace qav {

// What the printer's thread uses: owned together by the printer and its thread, so that a
// thread left behind by Stop touches nothing that its owner frees.
class LogPrinter::Shared final : public RefCountedObject<RefCounted> {
  public:
    // The first line is ended here, on the starting thread: the printer's thread
    // allocates nothing for it.
    Shared(int descriptor, TakeLines take, std::string firstLine)
        : m_descriptor(descriptor),
          m_firstLine(firstLine.empty() ? std::string() : std::move(firstLine) + '\n'),
          m_take(std::move(take)) {}

    Event& WakeUp() { return m_wakeUp; }

    void RequestStop(int timeoutMs) {
        m_deadline.store(platform::MonotonicNanoseconds() +
                         static_cast<uint64_t>(std::max(timeoutMs, 0)) * 1000000u);
        m_stopping.store(true);
        m_wakeUp.Set();
        m_stopWakeUp.Signal();
    }

    // After this, the thread never calls `take` again: what it calls into may go.
    void Abandon() {
        std::lock_guard<std::mutex> hold(m_takeMutex);
        m_take = nullptr;
    }

    uint64_t LostLines() const { return m_lostLines.load(); }

    void Run();

  private:
    ~Shared() override = default;

    bool Take(std::vector<std::string>& lines);
    // Writes `text` (whole lines), waiting for room as long as the printer runs and until
    // the stop's deadline after that; what could not be written is counted.
    void Write(const std::string& text);
    void Print(std::vector<std::string>& lines);
    int TimeLeft() const;

    const int m_descriptor;
    const std::string m_firstLine;  // with its line break, or empty
    Event m_wakeUp;
    platform::WakeUpDescriptor m_stopWakeUp;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_deadline{0};
    std::atomic<uint64_t> m_lostLines{0};
    std::mutex m_takeMutex;
    TakeLines m_take;  // guarded by m_takeMutex
};

int LogPrinter::Shared::TimeLeft() const {
    const uint64_t now = platform::MonotonicNanoseconds();
    const uint64_t deadline = m_deadline.load();
    return now >= deadline ? 0 : static_cast<int>((deadline - now) / 1000000u);
}

bool LogPrinter::Shared::Take(std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> hold(m_takeMutex);
    if (!m_take) {
        return false;
    }
    m_take(lines);
    return true;
}

void LogPrinter::Shared::Write(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        // Whole lines at a time, as many as one write that cannot block takes: a pipe takes
        // such a write whole or not at all, so what is given up never leaves half a line.
        size_t length = std::min(text.size() - written, platform::kOutputChunk);
        if (written + length < text.size()) {
            const size_t end = text.rfind('\n', written + length - 1);
            if (end != std::string::npos && end >= written) {
                length = end + 1 - written;
            }
        }
        const bool stopping = m_stopping.load();
        int errorCode = 0;
        const size_t put = platform::WriteOutput(
            m_descriptor, text.data() + written, length, stopping ? TimeLeft() : -1,
            stopping ? -1 : m_stopWakeUp.descriptor(), errorCode);
        written += put;
        // Short of the end, a write that ran until the stop's deadline, or that failed, is
        // given up; one that was woken by the stop goes on with the deadline.
        if (put < length && (stopping || errorCode != 0)) {
            m_lostLines.fetch_add(static_cast<uint64_t>(
                std::count(text.begin() + static_cast<std::ptrdiff_t>(written), text.end(), '\n')));
            return;
        }
    }
}

void LogPrinter::Shared::Print(std::vector<std::string>& lines) {
    // In pieces, so that a burst does not need one buffer as big as itself.
    constexpr size_t kPiece = 16 * 1024;
    std::string text;
    size_t printed = 0;
    try {
        text.reserve(kPiece + 256);
        for (; printed < lines.size(); ++printed) {
            text += lines[printed];
            text += '\n';
            std::string().swap(lines[printed]);
            if (text.size() >= kPiece) {
                Write(text);
                text.clear();
            }
        }
    } catch (const std::bad_alloc&) {
        // The lines not yet in `text` are lost; those in it are still printed.
        m_lostLines.fetch_add(lines.size() - printed);
    }
    Write(text);
    lines.clear();
}

void LogPrinter::Shared::Run() {
    Write(m_firstLine);
    for (;;) {
        const bool last = m_stopping.load();
        if (!last) {
            m_wakeUp.Wait(-1);
            // Reset before taking: a line that comes after the take sets the event again.
            m_wakeUp.Reset();
        }
        std::vector<std::string> lines;
        bool taken = false;
        try {
            taken = Take(lines);
        } catch (const std::bad_alloc&) {
            // What the take formatted so far is printed; the take counts what it lost.
            taken = true;
        }
        Print(lines);
        if (last || !taken) {
            return;
        }
    }
}

LogPrinter::LogPrinter() = default;

LogPrinter::~LogPrinter() {
    Stop(kStopOutputMs);
}

bool LogPrinter::Start(int descriptor, TakeLines take, std::string firstLine) {
    if (m_thread.HoldsThread() || descriptor < 0 || !take) {
        return false;
    }
    m_shared = new Shared(descriptor, std::move(take), std::move(firstLine));
    m_shared->AddRef();  // the thread's, taken over by PrinterMain
    int error = 0;
    if (!platform::StartThread(m_thread, "LogPrinter", &LogPrinter::PrinterMain, m_shared.get(),
                               error)) {
        m_shared->Release();
        return false;
    }
    return true;
}

Event& LogPrinter::GetWakeUpEvent() {
    return m_shared->WakeUp();
}

int LogPrinter::PrinterMain(void* raw) {
    auto* shared = static_cast<Shared*>(raw);
    shared->Run();
    shared->Release();
    return 0;
}

bool LogPrinter::Stop(int timeoutMs) {
    if (!m_thread.HoldsThread()) {
        return false;
    }
    m_shared->RequestStop(timeoutMs);
    if (platform::JoinThread(m_thread, std::max(timeoutMs, 0) + kJoinMarginMs)) {
        return true;
    }
    // Caught in a write that blocks in spite of the room poll saw: it ends by itself when
    // the write returns, and meanwhile must not call into what its owner frees next.
    m_shared->Abandon();
    platform::DetachThread(m_thread);
    return false;
}

uint64_t LogPrinter::GetLostLineCount() const {
    return m_shared ? m_shared->LostLines() : 0;
}

}  // namespace qav
