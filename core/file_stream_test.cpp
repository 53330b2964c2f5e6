#include "core/file_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/file_test_support.h"

namespace qav {
namespace {

using testing::ReadBytes;
using testing::ScratchDirectory;
using testing::WriteBytes;

// Gives the tests the hooks the transfer services use.
class TestStream : public FileStream {
  public:
    using FileStream::OpenPath;
    using FileStream::SetKeyTable;
};

struct RecordingCompletion : WriteCompletion {
    struct Call {
        const void* data;
        int64_t length;
        bool shortWrite;
    };
    void OnWritten(const void* data, int64_t length, bool shortWrite) override {
        calls.push_back({data, length, shortWrite});
    }
    std::vector<Call> calls;
};

std::string Mask(const std::string& plain, const std::vector<uint8_t>& key) {
    std::string masked = plain;
    for (size_t i = 0; i < masked.size(); ++i) {
        masked[i] = static_cast<char>(masked[i] ^ key[i % key.size()]);
    }
    return masked;
}

TEST(FileStream, UnmasksWithTheKeyByteOfEachFilePosition) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    const std::vector<uint8_t> key = {0x11, 0x22, 0x33};
    const std::string plain = "The quick brown fox jumps over the lazy dog";
    WriteBytes(dir.Narrow("masked"), Mask(plain, key));

    // Reads of every size, starting at every position across the key length.
    for (int64_t start = 0; start < 7; ++start) {
        for (int64_t step : {1, 2, 3, 4, 5, 64}) {
            File file;
            ASSERT_TRUE(file.Open(dir.Wide("masked"), kFileModeRead, true));
            ASSERT_TRUE(file.Seek(start));
            TestStream stream;
            stream.AttachFile(&file);
            ASSERT_EQ(stream.GetPosition(), start);
            stream.SetKeyTable(key.data(), static_cast<uint32_t>(key.size()));
            std::string got;
            char chunk[64];
            for (int64_t n; (n = stream.Read(chunk, step)) > 0;) {
                got.append(chunk, static_cast<size_t>(n));
            }
            EXPECT_EQ(got, plain.substr(static_cast<size_t>(start)))
                << "start " << start << " step " << step;
            EXPECT_EQ(stream.GetPosition(), static_cast<int64_t>(plain.size()));
        }
    }
}

TEST(FileStream, ReadsPlainWithoutAKeyAndFailsWithoutAFile) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("plain"), "abc");
    TestStream stream;
    char buffer[8];
    EXPECT_EQ(stream.Read(buffer, 8), -1);
    EXPECT_EQ(stream.Write("x", 1, nullptr), -1);
    EXPECT_EQ(stream.GetState(), kFileStreamClosed);
    EXPECT_EQ(stream.IsOpen(), 0);
    EXPECT_EQ(stream.Open(), kFileStreamNoOwnFile);
    EXPECT_EQ(stream.UpdatePosition(), kFileStreamNoFile);
    EXPECT_EQ(stream.GetRemainingSize(), 0);

    ASSERT_EQ(stream.OpenPath(dir.Wide("plain"), kFileModeRead, true), kFileStreamOpened);
    const uint8_t key[] = {0xFF};
    stream.SetKeyTable(key, 0);  // a length of 0 means no masking
    EXPECT_EQ(stream.Read(buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(FileStream, OwnedFileIsClosedKeptAndReopened) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    const std::vector<uint8_t> key = {1, 2, 3, 4};
    WriteBytes(dir.Narrow("data"), Mask("0123456789", key));
    TestStream stream;
    ASSERT_EQ(stream.OpenPath(dir.Wide("data"), kFileModeRead, true), kFileStreamOpened);
    stream.SetKeyTable(key.data(), 4);
    EXPECT_EQ(stream.GetState(), kFileStreamOpen);
    EXPECT_EQ(stream.IsOpen(), -1);
    char buffer[16];
    ASSERT_EQ(stream.Read(buffer, 6), 6);
    EXPECT_EQ(stream.UpdatePosition(), kFileStreamDataLeft);
    EXPECT_EQ(stream.GetRemainingSize(), 4);

    stream.Close();
    EXPECT_EQ(stream.GetState(), kFileStreamClosed);
    EXPECT_EQ(stream.GetRemainingSize(), 0);
    // Reopened, the stream reads from the start and unmasks from key byte 0 again.
    ASSERT_EQ(stream.Open(), kFileStreamOpened);
    EXPECT_EQ(stream.GetPosition(), 0);
    ASSERT_EQ(stream.Read(buffer, 16), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(stream.UpdatePosition(), kFileStreamAtEnd);

    std::filesystem::remove(dir.Narrow("data"));
    stream.Close();
    EXPECT_EQ(stream.Open(), kFileStreamOpenFailed);
}

TEST(FileStream, BorrowedFileIsForgottenOnCloseAndNeverDeleted) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    File file;
    ASSERT_TRUE(file.Open(dir.Wide("out"), kFileModeCreate, false));
    {
        TestStream stream;
        ASSERT_EQ(stream.OpenPath(dir.Wide("other"), kFileModeCreate, false), kFileStreamOpened);
        stream.AttachFile(&file);  // deletes the owned File
        EXPECT_EQ(stream.Open(), kFileStreamNoOwnFile);
        RecordingCompletion completion;
        const char* data = "hello";
        EXPECT_EQ(stream.Write(data, 5, &completion), 5);
        EXPECT_EQ(stream.GetPosition(), 5);
        ASSERT_EQ(completion.calls.size(), 1u);
        EXPECT_EQ(completion.calls[0].data, data);
        EXPECT_EQ(completion.calls[0].length, 5);
        EXPECT_FALSE(completion.calls[0].shortWrite);
        stream.Close();
        EXPECT_EQ(stream.GetState(), kFileStreamClosed);
        EXPECT_EQ(stream.Write("x", 1, nullptr), -1);
    }
    EXPECT_TRUE(file.IsOpen()) << "the borrowed File stays open after the stream";
    file.Close();
    EXPECT_EQ(ReadBytes(dir.Narrow("out")), "hello");
}

TEST(FileStream, ShortWriteIsReportedToTheCompletion) {
    ScratchDirectory dir;
    ASSERT_TRUE(dir.Ok());
    WriteBytes(dir.Narrow("ro"), "x");
    TestStream stream;
    ASSERT_EQ(stream.OpenPath(dir.Wide("ro"), kFileModeRead, true), kFileStreamOpened);
    RecordingCompletion completion;
    EXPECT_EQ(stream.Write("abc", 3, &completion), 0);
    EXPECT_EQ(stream.GetPosition(), 0);
    ASSERT_EQ(completion.calls.size(), 1u);
    EXPECT_TRUE(completion.calls[0].shortWrite);
}

TEST(FileStream, LastReleaseDeletesTheStream) {
    auto* stream = new TestStream();
    EXPECT_EQ(stream->AddRef(), 1);
    EXPECT_EQ(stream->AddRef(), 2);
    EXPECT_EQ(stream->Release(), 1);
    EXPECT_EQ(stream->Release(), 0);  // a leak here shows under the address sanitizer
}

}  // namespace
}  // namespace qav
