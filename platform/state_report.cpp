#include "platform/state_report.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/safe_read.h"
#include "platform/thread.h"

namespace qav::platform {

namespace {

// A listed thread. Owned by the registry; freed only under its mutex, so a report that
// holds the mutex never sees an entry go away.
struct ThreadEntry {
    uint32_t threadId;
    TraceFrame** slot;
    ThreadEntry* next;
};

class Registry {
  public:
    Registry() { pthread_key_create(&m_exitKey, &Registry::OnThreadExit); }

    ThreadEntry* Add(TraceFrame** slot) {
        auto* entry = new ThreadEntry{CurrentThreadId(), slot, nullptr};
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            entry->next = m_first;
            m_first = entry;
        }
        // The key's destructor takes the thread off when it ends without
        // FreeThreadExVarsStorage. It runs after the thread's C++ thread_local
        // destructors, so frames pushed by those are covered too.
        pthread_setspecific(m_exitKey, entry);
        return entry;
    }

    void Remove(ThreadEntry* entry) {
        pthread_setspecific(m_exitKey, nullptr);
        Unlink(entry);
    }

    template <typename Visitor>
    void ForEach(Visitor&& visit) {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const ThreadEntry* entry = m_first; entry != nullptr; entry = entry->next) {
            if (!visit(*entry)) {
                break;
            }
        }
    }

  private:
    static void OnThreadExit(void* entry);

    void Unlink(ThreadEntry* entry) {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (ThreadEntry** link = &m_first; *link != nullptr; link = &(*link)->next) {
            if (*link == entry) {
                *link = entry->next;
                delete entry;
                return;
            }
        }
    }

    std::mutex m_mutex;
    ThreadEntry* m_first = nullptr;
    pthread_key_t m_exitKey{};
};

// Never destroyed: threads may still end, and report, while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// The slot itself: trivially destructible thread storage, valid for the thread's whole
// life, so a frame popped after the thread was taken off still writes to live memory.
thread_local constinit TraceFrame* t_innermostFrame = nullptr;
thread_local constinit ThreadEntry* t_entry = nullptr;

void Registry::OnThreadExit(void* entry) {
    TheRegistry().Unlink(static_cast<ThreadEntry*>(entry));
    t_entry = nullptr;
    detail::t_listedSlot = nullptr;
}

std::atomic<TraceChainWriter> g_chainWriter{nullptr};

std::mutex& HookMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

FatalReportHook& Hook() {
    static FatalReportHook* hook = new FatalReportHook;
    return *hook;
}

// Room for one thread's chain in a report.
constexpr size_t kChainRoom = 200;

void AppendNumber(std::string& out, uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// Renders the chain that starts in `slot` (read safely: it may be another thread's).
size_t WriteChainFromSlot(TraceFrame* const* slot, char* buffer, size_t size) {
    TraceFrame* innermost = nullptr;
    const TraceChainWriter writer = g_chainWriter.load(std::memory_order_acquire);
    if (writer == nullptr || !SafeRead(slot, &innermost, sizeof innermost) ||
        innermost == nullptr) {
        return 0;
    }
    const int written = writer(innermost, buffer, size);
    return written > 0 ? static_cast<size_t>(written) : 0;
}

// The thread's current name, as the kernel keeps it (empty when the thread is gone).
std::string ThreadName(uint32_t threadId) {
    std::string path("/proc/self/task/");
    AppendNumber(path, threadId);
    path += "/comm";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char name[32];
    const ssize_t length = read(fd, name, sizeof name);
    close(fd);
    std::string result(name, length > 0 ? static_cast<size_t>(length) : 0);
    while (!result.empty() && result.back() == '\n') {
        result.pop_back();
    }
    return result;
}

void WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t result = write(fd, text.data() + done, text.size() - done);
        if (result <= 0) {
            return;
        }
        done += static_cast<size_t>(result);
    }
}

void Report(FatalReportKind kind, std::string_view text) {
    FatalReportHook hook;
    {
        std::lock_guard<std::mutex> guard(HookMutex());
        hook = Hook();
    }
    if (hook) {
        hook(kind, text);
        return;
    }
    std::string report(kind == FatalReportKind::kError ? "FATAL PROGRAM ERROR in thread "
                                                       : "PROGRAM STATE in thread ");
    AppendNumber(report, CurrentThreadId());
    report += ": ";
    report += text;
    report += "\n";
    char chain[kChainRoom];
    report.append(chain, WriteChainFromSlot(&t_innermostFrame, chain, sizeof chain));
    WriteAll(STDERR_FILENO, report);
}

}  // namespace

TraceFrame** GetAllocExVarsStorage(TraceFrame* /*frame*/, const char* /*tag*/) {
    if (t_entry == nullptr) {
        t_entry = TheRegistry().Add(&t_innermostFrame);
    }
    detail::t_listedSlot = &t_innermostFrame;
    return &t_innermostFrame;
}

void FreeThreadExVarsStorage() {
    if (t_entry != nullptr) {
        TheRegistry().Remove(t_entry);
        t_entry = nullptr;
    }
    detail::t_listedSlot = nullptr;
}

void FatalProgramError(std::string_view text) {
    Report(FatalReportKind::kError, text);
}

void FatalProgramState(std::string_view text) {
    Report(FatalReportKind::kState, text);
}

size_t WriteThreadsStateReport(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const size_t limit = size - 1;  // room for the NUL
    size_t length = 0;
    TheRegistry().ForEach([&](const ThreadEntry& entry) {
        std::string header("Thread ");
        AppendNumber(header, entry.threadId);
        header += " \"";
        header += ThreadName(entry.threadId);
        header += "\"\r\n";
        if (header.size() > limit - length) {
            return false;
        }
        std::memcpy(buffer + length, header.data(), header.size());
        length += header.size();
        length += WriteChainFromSlot(entry.slot, buffer + length, limit - length);
        return true;
    });
    buffer[length] = '\0';
    return length;
}

FatalReportHook SetFatalReportHook(FatalReportHook hook) {
    std::lock_guard<std::mutex> guard(HookMutex());
    std::swap(Hook(), hook);
    return hook;
}

void SetTraceChainWriter(TraceChainWriter writer) {
    g_chainWriter.store(writer, std::memory_order_release);
}

}  // namespace qav::platform
