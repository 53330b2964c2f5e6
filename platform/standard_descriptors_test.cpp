#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qav::platform {
namespace {

// Runs the fill in a child process that starts with `closed` shut, and returns the
// child's verdict: 0 when every closed descriptor became /dev/null, open for reading (0)
// or writing (1 and 2), and every other one stayed what it was; otherwise the first
// descriptor that is wrong, plus 1.
int FillInChild(const std::vector<int>& closed) {
    const pid_t child = fork();
    if (child == 0) {
        // Only calls that are safe in a child of a process with threads.
        struct stat before[3];
        for (int descriptor = 0; descriptor <= 2; ++descriptor) {
            if (fstat(descriptor, &before[descriptor]) != 0) {
                _exit(100);
            }
        }
        for (const int descriptor : closed) {
            close(descriptor);
        }
        int errorCode = 0;
        if (!FillClosedStandardDescriptors(errorCode)) {
            _exit(101);
        }
        struct stat null;
        if (stat("/dev/null", &null) != 0) {
            _exit(102);
        }
        for (int descriptor = 0; descriptor <= 2; ++descriptor) {
            bool wasClosed = false;
            for (const int shut : closed) {
                wasClosed = wasClosed || shut == descriptor;
            }
            struct stat now;
            const int flags = fcntl(descriptor, F_GETFL);
            if (fstat(descriptor, &now) != 0 || flags < 0) {
                _exit(descriptor + 1);
            }
            const struct stat& expected = wasClosed ? null : before[descriptor];
            const int mode = descriptor == 0 ? O_RDONLY : O_WRONLY;
            if (now.st_dev != expected.st_dev || now.st_ino != expected.st_ino ||
                now.st_rdev != expected.st_rdev || (wasClosed && (flags & O_ACCMODE) != mode)) {
                _exit(descriptor + 1);
            }
        }
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Whichever of 0 to 2 are closed, the fill gives each its own /dev/null and leaves the
// open ones alone, even when the gap is above an open descriptor or below one.
TEST(StandardDescriptors, FillsEachClosedOneAndLeavesTheOthers) {
    const std::vector<std::vector<int>> cases = {{}, {0}, {1}, {2}, {0, 2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : cases) {
        std::string label = "closed:";
        for (const int descriptor : closed) {
            label += " " + std::to_string(descriptor);
        }
        EXPECT_EQ(FillInChild(closed), 0) << label;
    }
}

}  // namespace
}  // namespace qav::platform
