#include "platform/safe_read.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

namespace qav::platform {

namespace {

enum Method { kUnknown, kVmRead, kPipe };

std::atomic<int> g_method{kUnknown};

// Less than PIPE_BUF, so a pipe takes a chunk whole or not at all.
constexpr size_t kChunk = 4096;

size_t PageSize() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// Direct system calls: the sanitizers' wrappers of these calls would check the source
// range themselves and report the very reads that must not be reported.
enum class Outcome { kRead, kUnreadable, kNotPermitted };

Outcome ReadByVm(const void* address, void* out, size_t length) {
    iovec local{out, length};
    iovec remote{const_cast<void*>(address), length};
    const long result = syscall(SYS_process_vm_readv, getpid(), &local, 1UL, &remote, 1UL, 0UL);
    if (result == static_cast<long>(length)) {
        return Outcome::kRead;
    }
    if (result < 0 && (errno == EPERM || errno == ENOSYS)) {
        return Outcome::kNotPermitted;
    }
    return Outcome::kUnreadable;
}

// A write to a pipe fails with EFAULT on unreadable memory; the bytes are then read
// back from the pipe.
bool ReadByPipe(const void* address, void* out, size_t length) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    bool ok = true;
    const char* from = static_cast<const char*>(address);
    char* to = static_cast<char*>(out);
    for (size_t done = 0; ok && done < length;) {
        const size_t chunk = std::min(kChunk, length - done);
        ok = syscall(SYS_write, fds[1], from + done, chunk) == static_cast<long>(chunk) &&
             syscall(SYS_read, fds[0], to + done, chunk) == static_cast<long>(chunk);
        done += chunk;
    }
    close(fds[0]);
    close(fds[1]);
    return ok;
}

}  // namespace

bool SafeRead(const void* address, void* out, size_t length) {
    if (length == 0) {
        return true;
    }
    const auto start = reinterpret_cast<uintptr_t>(address);
    if (start == 0 || start + length < start) {
        return false;
    }
    if (g_method.load(std::memory_order_relaxed) != kPipe) {
        switch (ReadByVm(address, out, length)) {
            case Outcome::kRead:
                g_method.store(kVmRead, std::memory_order_relaxed);
                return true;
            case Outcome::kUnreadable:
                return false;
            case Outcome::kNotPermitted:
                // A sandbox that forbids the call forbids it for good.
                g_method.store(kPipe, std::memory_order_relaxed);
                break;
        }
    }
    return ReadByPipe(address, out, length);
}

void UsePipeProbeForTesting(bool pipe) {
    g_method.store(pipe ? kPipe : kUnknown, std::memory_order_relaxed);
}

size_t SafeReadPrefix(const void* address, void* out, size_t length) {
    // Readability changes only at page boundaries: read page by page and stop at the
    // first page that fails.
    const size_t page = PageSize();
    auto at = reinterpret_cast<uintptr_t>(address);
    char* to = static_cast<char*>(out);
    size_t done = 0;
    while (done < length) {
        const size_t toPageEnd = page - (at % page);
        const size_t chunk = std::min(length - done, toPageEnd);
        if (!SafeRead(reinterpret_cast<const void*>(at), to + done, chunk)) {
            break;
        }
        done += chunk;
        at += chunk;
    }
    return done;
}

}  // namespace qav::platform
