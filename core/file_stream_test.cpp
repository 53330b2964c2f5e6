#include "core/file_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "core/test_support.h"

namespace qav {
namespace {

using namespace test_support;

// Gives the tests the hooks the transfer services use.
class TestStream : public FileStream {
  public:
    using FileStream::OpenPath;
    using FileStream::SetKeyTable;
};

using Call = std::tuple<const void*, int64_t, bool>;  // data, length, short write

struct RecordingCompletion : WriteCompletion {
    void OnWritten(const void* data, int64_t length, bool shortWrite) override {
        calls.emplace_back(data, length, shortWrite);
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

TEST(FileStream, WithoutAFileEveryCallFails) {
    TestStream stream;
    char buffer[8];
    EXPECT_EQ(stream.Read(buffer, 8), -1);
    EXPECT_EQ(stream.Write("x", 1, nullptr), -1);
    EXPECT_EQ(stream.GetState(), kFileStreamClosed);
    EXPECT_EQ(stream.IsOpen(), 0);
    EXPECT_EQ(stream.Open(), kFileStreamNoOwnFile);
    EXPECT_EQ(stream.UpdatePosition(), kFileStreamNoFile);
    EXPECT_EQ(stream.GetRemainingSize(), 0);
}

TEST(FileStream, OwnedFileIsClosedKeptAndReopened) {
    ScratchDirectory dir;
    const std::vector<uint8_t> key = {1, 2, 3, 4};
    const std::string masked = Mask("0123456789", key);
    WriteBytes(dir.Narrow("data"), masked);
    TestStream stream;
    ASSERT_EQ(stream.OpenPath(dir.Wide("data"), kFileModeRead, true), kFileStreamOpened);
    EXPECT_EQ(stream.GetState(), kFileStreamOpen);
    EXPECT_EQ(stream.IsOpen(), -1);
    char buffer[16];
    stream.SetKeyTable(key.data(), 0);  // a length of 0 reads unmasked
    ASSERT_EQ(stream.Read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), masked.substr(0, 2));
    stream.SetKeyTable(key.data(), 4);
    ASSERT_EQ(stream.Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "2345");
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

TEST(FileStream, WritesReachTheCompletionAndABorrowedFileOutlivesTheStream) {
    ScratchDirectory dir;
    WriteBytes(dir.Narrow("read-only"), "x");
    File file;
    ASSERT_TRUE(file.Open(dir.Wide("out"), kFileModeCreate, false));
    const char* refused = "abc";
    const char* data = "hello";
    RecordingCompletion completion;
    {
        TestStream stream;
        ASSERT_EQ(stream.OpenPath(dir.Wide("read-only"), kFileModeRead, true), kFileStreamOpened);
        EXPECT_EQ(stream.Write(refused, 3, &completion), 0);
        EXPECT_EQ(stream.GetPosition(), 0);
        stream.AttachFile(&file);  // deletes the owned File
        EXPECT_EQ(stream.Open(), kFileStreamNoOwnFile);
        EXPECT_EQ(stream.Write(data, 5, &completion), 5);
        EXPECT_EQ(stream.GetPosition(), 5);
        stream.Close();
        EXPECT_EQ(stream.GetState(), kFileStreamClosed);
    }
    EXPECT_EQ(completion.calls, (std::vector<Call>{{refused, 3, true}, {data, 5, false}}));
    EXPECT_TRUE(file.IsOpen()) << "the borrowed File stays open after the stream";
    file.Close();
    EXPECT_EQ(ReadBytes(dir.Narrow("out")), "hello");
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
