// For tests only: a scratch directory that cleans up after itself, a text logger that
// keeps what it is given, another thread that holds something until stopped, memory
// that ends in an unreadable page, a connected socket pair and a raw clock the test sets.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/format.h"
#include "core/stopwatch.h"
#include "core/text_logger.h"
#include "core/wide_text.h"
#include "platform/thread.h"

extern char** environ;

namespace qav::test_support {

// A fresh directory, removed with all it holds. When none can be made the test fails,
// and the path stays below /dev/null, where nothing can be created.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::string& parent = "/tmp") {
        std::string pattern = parent + "/qav-files-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        } else {
            ADD_FAILURE() << "no scratch directory in " << parent;
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    // The path of a name inside, in narrow and in wide form.
    std::string Narrow(const std::string& name) const { return m_path + "/" + name; }
    WString Wide(const std::string& name) const {
        const std::string path = Narrow(name);
        return WString(path.begin(), path.end());
    }

  private:
    std::string m_path = "/dev/null/qav-files";
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Keeps every admitted line; installs itself for its lifetime.
class CapturingTextLogger : public TextLogger {
  public:
    explicit CapturingTextLogger(int level = kSeverityStatus) : m_level(level) {
        SetTextLogger(this);
    }
    ~CapturingTextLogger() override { SetTextLogger(nullptr); }

    int GetLevel() override { return m_level; }
    void LogText(int severity, std::string_view text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(std::to_string(severity) + " " + std::string(text));
    }
    void LogFormatV(int severity, std::string_view format, FormatArgs args) override {
        LogText(severity, FormatStringV(format, args));
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

  private:
    int m_level;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Another thread for a test. It runs `body`, which calls Ready() once it holds what the
// test needs and returns once Stopping() is true. The constructor waits for Ready();
// Stop(), or the destructor, ends the thread and waits for it.
class TestThread {
  public:
    explicit TestThread(std::function<void(TestThread&)> body)
        : m_thread([this, body = std::move(body)] { body(*this); }) {
        while (m_id == 0) {
            std::this_thread::yield();
        }
    }
    ~TestThread() { Stop(); }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;

    void Ready() { m_id = platform::CurrentThreadId(); }
    bool Stopping() const { return m_stop; }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    // The kernel's id of the thread.
    uint32_t Id() const { return m_id; }

  private:
    std::atomic<uint32_t> m_id{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Readable pages followed by one that cannot be read.
class GuardedPages {
  public:
    explicit GuardedPages(size_t readablePages = 1)
        : m_page(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
          m_readable(readablePages * m_page),
          m_base(static_cast<char*>(mmap(nullptr, m_readable + m_page, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {
        mprotect(m_base + m_readable, m_page, PROT_NONE);
    }
    ~GuardedPages() { munmap(m_base, m_readable + m_page); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    size_t PageSize() const { return m_page; }
    char* Readable() { return m_base; }
    char* Unreadable() { return m_base + m_readable; }
    // Puts `text` (without its NUL) so that it ends exactly where the readable pages end.
    char* AtPageEnd(const std::string& text) {
        return static_cast<char*>(
            std::memcpy(Unreadable() - text.size(), text.data(), text.size()));
    }

  private:
    size_t m_page;
    size_t m_readable;
    char* m_base;
};

// A connected, non-blocking local stream pair: the test watches `mine` and acts as the
// peer through `peer`. A test that closes an end itself sets it to -1.
struct SocketPair {
    SocketPair() {
        int ends[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
        mine = ends[0];
        peer = ends[1];
    }
    ~SocketPair() {
        close(mine);
        close(peer);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    // Makes `mine` readable by one more byte.
    void Send() { EXPECT_EQ(write(peer, "x", 1), 1); }

    int mine;
    int peer;
};

// Puts every stopwatch on a raw clock that only the test moves, for its lifetime.
class FakeRawClock {
  public:
    explicit FakeRawClock(int64_t start = 0, bool highResolution = true,
                          int64_t ticksPerMicrosecond = 1) {
        s_now = start;
        Stopwatch::SetClockForTesting(highResolution, ticksPerMicrosecond, &Read);
    }
    ~FakeRawClock() { Stopwatch::ResetClockForTesting(); }
    FakeRawClock(const FakeRawClock&) = delete;
    FakeRawClock& operator=(const FakeRawClock&) = delete;

    void Set(int64_t raw) { s_now = raw; }
    void Advance(int64_t ticks) { s_now += ticks; }

  private:
    static int64_t Read() { return s_now.load(); }
    static inline std::atomic<int64_t> s_now{0};
};

// Starts a process, as fork does, in new namespaces of `unshareFlags` inside a new user
// namespace of its own, in which it is root over them alone: for a user without the
// privilege to make them otherwise. Its user and group map to `user` and `group`, those
// of the caller. Returns 0 in the child once it is in, the child's id in the caller, -1
// when no such process can be made. A child whose maps cannot be written exits with
// kNoNamespaceStatus.
//
// The system call itself makes the process: a sanitizer's runtime runs a thread of its
// own in every process, also in fork's child, and a process with threads can no longer
// enter a new user namespace. The child makes no call that a sanitizer watches.
inline constexpr int kNoNamespaceStatus = 77;
inline pid_t ForkIntoOwnUserNamespace(int unshareFlags, uid_t user = getuid(),
                                      gid_t group = getgid()) {
    // Made before the process: the child only writes them.
    const std::string userMap = "0 " + std::to_string(user) + " 1\n";
    const std::string groupMap = "0 " + std::to_string(group) + " 1\n";
    const long child = syscall(SYS_clone, CLONE_NEWUSER | unshareFlags | SIGCHLD, nullptr, nullptr,
                               nullptr, nullptr);
    if (child != 0) {
        return child < 0 ? -1 : static_cast<pid_t>(child);
    }
    const auto writeOnce = [](const char* path, const std::string& text) {
        const long file = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CLOEXEC);
        if (file < 0) {
            return false;
        }
        const bool written =
            syscall(SYS_write, file, text.data(), text.size()) == static_cast<long>(text.size());
        syscall(SYS_close, file);
        return written;
    };
    // Older kernels have no setgroups file, and allow the group map without it.
    writeOnce("/proc/self/setgroups", "deny\n");
    if (!writeOnce("/proc/self/uid_map", userMap) || !writeOnce("/proc/self/gid_map", groupMap)) {
        syscall(SYS_exit_group, kNoNamespaceStatus);
    }
    return 0;
}

// The exit status of `child`, or -1 when it did not exit (a failure of the test says why).
inline int WaitForExitStatus(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        ADD_FAILURE() << "the child ended by signal " << WTERMSIG(status);
        return -1;
    }
    return WEXITSTATUS(status);
}

// Runs the current test again in a child process of this program, filtered to this one
// test, with `variable`=1 in its environment and, when `unshareFlags` is not 0, in the
// new namespaces those flags make, inside a user namespace of its own where the privilege
// to make them is missing. Returns the child's exit status, or -1 when it did not exit (a
// failure of the test says why); kNoNamespaceStatus when the namespaces cannot be made.
inline int RerunTestInChild(const char* variable, int unshareFlags = 0) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::string program = "/proc/self/exe";
    char* argv[] = {program.data(), filter.data(), nullptr};
    // Everything the child needs is made before fork: the child only calls what is safe
    // after forking a process that has threads.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.push_back(std::string(variable) + "=1");
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (child == 0) {
        if (unshareFlags != 0 && unshare(unshareFlags) != 0) {
            _exit(kNoNamespaceStatus);
        }
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    const int status = WaitForExitStatus(child);
    if (status != kNoNamespaceStatus || unshareFlags == 0) {
        return status;
    }
    const pid_t inUserNamespace = ForkIntoOwnUserNamespace(unshareFlags);
    if (inUserNamespace < 0) {
        return kNoNamespaceStatus;
    }
    if (inUserNamespace == 0) {
        syscall(SYS_execve, program.c_str(), argv, envp.data());
        syscall(SYS_exit_group, 127);
    }
    return WaitForExitStatus(inUserNamespace);
}

}  // namespace qav::test_support
