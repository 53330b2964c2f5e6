#include "network/network_namespace_test_support.h"

#include <grp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core/test_support.h"

namespace qav {
namespace {

// The inode of the network namespace `path` names.
ino_t NetworkNamespaceOf(const char* path) {
    struct stat about {};
    return ::stat(path, &about) == 0 ? about.st_ino : 0;
}

// An ordinary user, without the privilege to make a network namespace, still gets one
// inside a user namespace of its own.
TEST(NetworkNamespaceSupport, AnOrdinaryUserEntersANetworkNamespaceOfItsOwn) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can become the ordinary user this test needs";
    }
    constexpr uid_t kNobody = 65534;
    const ino_t mine = NetworkNamespaceOf("/proc/self/ns/net");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0) {
            ::_exit(3);
        }
        // As any process an ordinary user starts: changing users made it undumpable, which
        // hands its /proc files to root.
        ::prctl(PR_SET_DUMPABLE, 1);
        if (::unshare(CLONE_NEWNET) == 0) {
            ::_exit(4);  // the user is not as ordinary as the test needs
        }
        const pid_t inside = test_support::ForkIntoOwnUserNamespace(CLONE_NEWNET, kNobody, kNobody);
        if (inside < 0) {
            ::_exit(test_support::kNoNamespaceStatus);
        }
        if (inside == 0) {
            ::_exit(NetworkNamespaceOf("/proc/self/ns/net") != mine ? 0 : 5);
        }
        int status = 0;
        ::_exit(::waitpid(inside, &status, 0) == inside && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                             : 6);
    }
    const int status = test_support::WaitForExitStatus(child);
    if (status == test_support::kNoNamespaceStatus) {
        GTEST_SKIP() << "user namespaces are not allowed here";
    }
    EXPECT_EQ(status, 0) << "3: no ordinary user; 4: it had the privilege; 5: still in the "
                            "namespace it came from; 6: ended by a signal";
}

// Where no veth pair can be made, the child that needs one ends with a status that makes
// its parent skip the test, rather than failing everything that follows from it.
TEST(NetworkNamespaceSupport, NoVethPairEndsTheChildForItsParentToSkip) {
    if (test_support::InsideNetworkNamespace()) {
        test_support::AddVeth("eth1", "peer1", "10.0.0.1/24");
        ADD_FAILURE() << "the test went on without its veth pair";
        return;
    }
    if (std::system("ip -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "the ip command is not installed";
    }
    // An ip command that knows no veth, and does all else as the real one does.
    test_support::ScratchDirectory directory;
    const std::string realIp = directory.Narrow("real-ip");
    ASSERT_EQ(std::system(("command -v ip >" + realIp).c_str()), 0);
    std::string real = test_support::ReadBytes(realIp);
    real.erase(real.find_last_not_of('\n') + 1);
    const char* const refuseVeth =
        "#!/bin/sh\n"
        "case \" $* \" in *\" type veth \"*)\n"
        "  echo 'Error: Unknown device type.' >&2; exit 2;;\n"
        "esac\n";
    test_support::WriteBytes(directory.Narrow("ip"), refuseVeth + ("exec " + real + " \"$@\"\n"));
    ASSERT_EQ(::chmod(directory.Narrow("ip").c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    const std::string saved = path != nullptr ? path : "/usr/bin:/bin";
    ::setenv("PATH", (directory.Path() + ":" + saved).c_str(), 1);
    const int status =
        test_support::RerunTestInChild(test_support::kNetworkNamespaceVariable, CLONE_NEWNET);
    ::setenv("PATH", saved.c_str(), 1);
    if (status == test_support::kNoNamespaceStatus) {
        GTEST_SKIP() << "no network namespace can be made here";
    }
    EXPECT_EQ(status, test_support::kNoVethStatus);
}

}  // namespace
}  // namespace qav
