#include "core/file_access.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/memory_test_support.h"
#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;
using namespace std::string_literals;

TEST(FileAccess, ReadsEachEncodingWithAndWithoutMark) {
    ScratchDirectory dir;
    const struct {
        const char* what;
        std::string bytes;
        WString text;
    } cases[] = {
        {"UTF-8 with mark", "\xEF\xBB\xBFh\xC3\xA9!", u"h\u00E9!"},
        {"UTF-8 without mark", "h\xC3\xA9!", u"h\u00E9!"},
        {"UTF-8 mark only", "\xEF\xBB\xBF", u""},
        {"UTF-8 goes on after an invalid sequence", "ab\xC3(cd", u"ab\uFFFD(cd"},
        {"Latin-1 without mark", "caf\xE9 au lait", u"caf\uFFFD au lait"},
        {"UTF-16LE with mark", "\xFF\xFE\x41\0\xAC\x20"s, u"A\u20AC"},
        {"UTF-16LE without mark", "A\0B\0"s, u"AB"},
        {"UTF-16LE odd byte dropped", "\xFF\xFE\x41\0B"s, u"A"},
        {"UTF-16BE with mark", "\xFE\xFF\0A"s, u"A"},
        {"UTF-16BE without mark", "\0A\x20\xAC"s, u"A\u20AC"},
        {"two 8-bit bytes", "ok", u"ok"},
    };
    for (const auto& c : cases) {
        WriteBytes(dir.Narrow("text"), c.bytes);
        WString text = u"unchanged";
        ASSERT_TRUE(FileAccess::ReadTextFile(dir.Wide("text"), text)) << c.what;
        EXPECT_EQ(text, c.text) << c.what;
    }
}

TEST(FileAccess, UnreadableOrUndetectableFilesFailWithOneLogLine) {
    ScratchDirectory dir;
    const std::string undetectable[] = {"x", "", "\0\0a"s};
    for (const std::string& bytes : undetectable) {
        WriteBytes(dir.Narrow("text"), bytes);
        CapturingTextLogger logger;
        WString text = u"unchanged";
        EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide("text"), text)) << bytes.size() << " bytes";
        EXPECT_EQ(text, u"unchanged");
        EXPECT_EQ(logger.Lines(),
                  std::vector<std::string>{"2 No detection of text encoding for file: " +
                                           dir.Narrow("text")});
    }
    CapturingTextLogger logger;
    WString text;
    EXPECT_FALSE(FileAccess::ReadTextFile(dir.Wide("missing"), text));
    EXPECT_EQ(logger.Lines(),
              std::vector<std::string>{"3 Error opening file " + dir.Narrow("missing") +
                                       ": (2) No such file or directory"});
}

// A text that does not fit in memory is a failed read, never an empty text.
TEST(FileAccess, ATextWithoutMemoryToDecodeItFails) {
    if (test_support::kSanitizedBuild) {
        GTEST_SKIP() << "a sanitizer's shadow memory does not live under an address-space limit";
    }
    ScratchDirectory dir;
    constexpr size_t kBytes = 64u << 20;
    WriteBytes(dir.Narrow("big"), std::string(kBytes, 'a'));
    const WString path = dir.Wide("big");
    // In a child whose address space has room for the file's bytes but not for their
    // UTF-16 form as well.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) {
            _exit(3);
        }
        fclose(statm);
        const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
        const rlimit limit{used + kBytes + (32u << 20), used + kBytes + (32u << 20)};
        if (setrlimit(RLIMIT_AS, &limit) != 0) {
            _exit(3);
        }
        WString text = u"unchanged";
        const bool read = FileAccess::ReadTextFile(path, text);
        _exit(read ? 1 : text == u"unchanged" ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the read succeeded; 2: the text was changed";
}

}  // namespace
}  // namespace qav
