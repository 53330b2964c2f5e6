#include "platform/standard_descriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qav::platform {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Whichever of 0 to 2 are closed, the fill gives each its own /dev/null (read-only for 0,
// write-only for the others) and leaves the open ones alone, even when a gap lies below
// an open descriptor. Each case runs in a child that starts with the descriptors closed;
// its exit status is 0, or the first wrong descriptor plus 1.
TEST(StandardDescriptors, FillsEachClosedOneAndLeavesTheOthers) {
    const std::vector<std::vector<int>> cases = {{}, {0}, {1}, {2}, {0, 2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : cases) {
        const pid_t child = fork();
        if (child == 0) {
            // Only calls that are safe in a child of a process with threads.
            struct stat before[3], null, now;
            for (int descriptor = 0; descriptor <= 2; ++descriptor) {
                fstat(descriptor, &before[descriptor]);
            }
            for (const int descriptor : closed) {
                close(descriptor);
            }
            int errorCode = 0;
            if (!FillClosedStandardDescriptors(errorCode) || stat("/dev/null", &null) != 0) {
                _exit(100);
            }
            for (int descriptor = 0; descriptor <= 2; ++descriptor) {
                bool wasClosed = false;
                for (const int shut : closed) {
                    wasClosed = wasClosed || shut == descriptor;
                }
                const int mode = fcntl(descriptor, F_GETFL) & O_ACCMODE;
                if (fstat(descriptor, &now) != 0 ||
                    !SameFile(now, wasClosed ? null : before[descriptor]) ||
                    (wasClosed && mode != (descriptor == 0 ? O_RDONLY : O_WRONLY))) {
                    _exit(descriptor + 1);
                }
            }
            _exit(0);
        }
        std::string label = "closed:";
        for (const int descriptor : closed) {
            label += " " + std::to_string(descriptor);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child) << label;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << label << ": status " << status;
    }
}

}  // namespace
}  // namespace qav::platform
