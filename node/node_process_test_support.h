// For tests only: the qav-node program run as an operator would, its output read as it
// comes, with bounded waits for what it prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace qav::test_support {

// How the program's standard descriptors and signals are set up when it starts.
struct NodeStart {
    // The size of the pipe of its output (0: the system's), so that a test can fill it
    // with little.
    int outputCapacity = 0;
    // Its stderr goes to a pipe of its own (read by ReadErrors), not to the output's.
    bool errorsApart = false;
    // Standard descriptors it starts with closed, as "<&- >&-" starts it.
    std::vector<int> closed;
    // It starts with SIGHUP ignored, as nohup starts it.
    bool hangUpIgnored = false;
    // Its stdout goes to this file (as "> /dev/full" sends it) instead of the output pipe.
    const char* outputFile = nullptr;
    // It may hold this many descriptors (0: as many as the test), as "ulimit -n" allows,
    // and starts with only its three standard ones open.
    int descriptorLimit = 0;
};

class NodeProcess {
  public:
    // `environment`: entries "NAME=value" added to the program's environment;
    // `outputCapacity`: see NodeStart.
    explicit NodeProcess(std::vector<std::string> arguments,
                         std::vector<std::string> environment = {}, int outputCapacity = 0)
        : NodeProcess(std::move(arguments), std::move(environment),
                      NodeStart{outputCapacity, false, {}, false}) {}

    NodeProcess(std::vector<std::string> arguments, std::vector<std::string> environment,
                NodeStart start) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        if (start.outputCapacity > 0) {
            fcntl(out[0], F_SETPIPE_SZ, start.outputCapacity);
        }
        int errors[2] = {-1, -1};
        if (start.errorsApart && pipe(errors) != 0) {
            close(out[0]);
            close(out[1]);
            return;
        }
        // Made before fork: the child only calls what is safe after forking a process
        // that has threads.
        for (char** entry = environ; *entry != nullptr; ++entry) {
            environment.emplace_back(*entry);
        }
        std::vector<char*> envp;
        for (std::string& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        std::vector<char*> argv = {const_cast<char*>(QAV_NODE_PROGRAM)};
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(start.errorsApart ? errors[1] : out[1], STDERR_FILENO);
            for (const int end : {out[0], out[1], errors[0], errors[1]}) {
                if (end > STDERR_FILENO) {
                    close(end);
                }
            }
            for (const int descriptor : start.closed) {
                close(descriptor);
            }
            if (start.hangUpIgnored) {
                signal(SIGHUP, SIG_IGN);
            }
            if (start.outputFile != nullptr) {
                const int file = open(start.outputFile, O_WRONLY | O_CLOEXEC);
                if (file < 0 || dup2(file, STDOUT_FILENO) < 0) {
                    _exit(127);
                }
            }
            if (start.descriptorLimit > 0) {
                close_range(STDERR_FILENO + 1, ~0u, 0);
                const rlimit limit{static_cast<rlim_t>(start.descriptorLimit),
                                   static_cast<rlim_t>(start.descriptorLimit)};
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                    _exit(127);
                }
            }
            execve(QAV_NODE_PROGRAM, argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        m_output = out[0];
        if (start.errorsApart) {
            close(errors[1]);
            m_errors = errors[0];
        }
    }

    ~NodeProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        CloseOutput();
        if (m_errors >= 0) {
            close(m_errors);
        }
    }

    // The reader of the output goes away, as "qav-node | head -c 100" does once it has
    // read enough: what the program writes after this fails.
    void CloseOutput() {
        if (m_output >= 0) {
            close(m_output);
            m_output = -1;
        }
    }

    // What the program wrote to stderr (started with errorsApart), read until its end or
    // until nothing came for `limit`: call it once the program has exited.
    std::string ReadErrors(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::string text;
        char buffer[4096];
        pollfd record{m_errors, POLLIN, 0};
        while (m_errors >= 0 && poll(&record, 1, static_cast<int>(limit.count())) > 0) {
            const ssize_t count = read(m_errors, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(count));
        }
        return text;
    }

    // Reads until `part` has appeared in the output or `limit` has passed.
    bool WaitFor(const std::string& part,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_text.find(part) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(left)) {
                return m_text.find(part) != std::string::npos;
            }
        }
        return true;
    }

    // Reads until `part` has appeared `count` times in the output or `limit` has passed.
    bool WaitForCount(const std::string& part, int count,
                      std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (Count(part) >= count) {
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(left)) {
                return Count(part) >= count;
            }
        }
    }

    // How often `part` appears in the output read so far.
    int Count(const std::string& part) const {
        int count = 0;
        for (size_t at = m_text.find(part); at != std::string::npos;
             at = m_text.find(part, at + part.size())) {
            ++count;
        }
        return count;
    }

    // Reads until the program has said on which ports it listens and its log printer
    // runs, whichever comes first: only then has it made everything it holds while it
    // runs (descriptors, threads, address space).
    bool WaitUntilStarted(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (!WaitFor(" UDP port ", limit) || !WaitFor("\n", limit)) {
            return false;
        }
        while (!HasThread("LogPrinter")) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            ReadSome(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Whether one of the program's threads has the kernel name `name`.
    bool HasThread(const std::string& name) const {
        std::error_code ignored;
        for (const auto& task : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(m_pid) + "/task", ignored)) {
            std::ifstream comm(task.path() / "comm");
            std::string taskName;
            if (std::getline(comm, taskName) && taskName == name) {
                return true;
            }
        }
        return false;
    }

    int NumberAfter(const std::string& part) {
        const size_t at = m_text.find(part);
        return at == std::string::npos ? -1 : std::atoi(m_text.c_str() + at + part.size());
    }

    void Signal(int signal) { kill(m_pid, signal); }
    pid_t Pid() const { return m_pid; }

    // What the program wrote and nobody has read yet.
    int PendingBytes() const {
        int bytes = 0;
        return ioctl(m_output, FIONREAD, &bytes) == 0 ? bytes : -1;
    }
    // Reads what the program has written so far, without waiting.
    void ReadAvailable() {
        while (ReadSome(std::chrono::milliseconds(0))) {
        }
    }

    // Waits up to `limit` for the program to end: true with its exit status (-1 when it did
    // not exit normally) in `status`, false when it still runs.
    bool WaitForExit(std::chrono::milliseconds limit, int& status) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int raw = 0;
            const pid_t ended = m_pid > 0 ? waitpid(m_pid, &raw, WNOHANG) : -1;
            if (ended == m_pid) {
                m_pid = -1;
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                return true;
            }
            if (ended < 0 || std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            usleep(2000);
        }
    }

    // The exit status, or -1 when the process did not exit normally.
    int Wait() {
        int status = 0;
        const pid_t pid = std::exchange(m_pid, -1);
        if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

    const std::string& Text() const { return m_text; }

  private:
    // Appends what the program wrote within `limit`; false when nothing came.
    bool ReadSome(std::chrono::milliseconds limit) {
        pollfd record{m_output, POLLIN, 0};
        if (poll(&record, 1, static_cast<int>(limit.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t count = read(m_output, buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        m_text.append(buffer, static_cast<size_t>(count));
        return true;
    }

    pid_t m_pid = -1;
    int m_output = -1;
    int m_errors = -1;
    std::string m_text;
};

}  // namespace qav::test_support
