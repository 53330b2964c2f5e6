// Drives a buffered connection reader over a scripted stream: the input chooses the
// buffer size, the pieces the stream delivers and how it reports them, and the reader
// operations. A model of the whole byte stream follows every operation; what must hold
// for any input: each byte the reader hands out (delivered, counted as skipped, or
// dropped by an operation that says so) is the next byte of the stream, so none is
// repeated, lost or reordered; scans stop where their byte, pattern or terminator is;
// a read that may wait comes back short only when the stream has nothing left.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "network/buffered_connection_reader.h"
#include "network/scripted_connection_stream.h"

namespace {

using qav::test_support::ScriptedConnectionStream;

using qav::fuzz::Check;

// Takes the input apart; past its end every value is 0.
class Input : public qav::fuzz::FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    int32_t Int16() {
        const uint8_t low = Byte();
        return static_cast<int16_t>(low | (Byte() << 8));
    }
    std::string_view Bytes(size_t count) {
        count = std::min(count, m_size - std::min(m_at, m_size));
        std::string_view bytes(reinterpret_cast<const char*>(m_data) + m_at, count);
        m_at += count;
        return bytes;
    }
};

const std::string_view kSync(reinterpret_cast<const char*>(qav::kSyncPattern), 4);

class Model {
  public:
    Model(Input& input, int32_t bufferSize)
        : m_input(input),
          m_bufferSize(bufferSize),
          m_stream(new ScriptedConnectionStream),
          m_reader(m_stream.get(), bufferSize) {}

    void Step();
    void Finish();

  private:
    // What the stream has handed to the reader so far, read or not.
    int64_t Delivered() const { return m_stream->Delivered(); }

    // The bytes handed out must be the next ones of the stream.
    void Consumed(std::string_view bytes) {
        Check(m_position + static_cast<int64_t>(bytes.size()) <= Delivered());
        Check(std::string_view(m_bytes).substr(static_cast<size_t>(m_position), bytes.size()) ==
              bytes);
        m_position += static_cast<int64_t>(bytes.size());
    }
    // Bytes passed over without being handed out; `mustNotContain` may not start in them.
    void Passed(int64_t count, std::string_view mustNotContain) {
        Check(count >= 0 && m_position + count <= Delivered());
        if (mustNotContain.empty()) {
            m_position += count;
            return;
        }
        const std::string_view passed = std::string_view(m_bytes).substr(
            static_cast<size_t>(m_position),
            static_cast<size_t>(count) + mustNotContain.size() - 1);
        Check(passed.find(mustNotContain) == std::string_view::npos ||
              passed.find(mustNotContain) >= static_cast<size_t>(count));
        m_position += count;
    }
    // After a drop of unknown size: what is still buffered must be the newest bytes.
    void Resynchronize() {
        const std::string rest = TakeAllBuffered();
        const int64_t start = Delivered() - static_cast<int64_t>(rest.size());
        Check(start >= m_position);
        m_position = start;
        Consumed(rest);
    }
    std::string TakeAllBuffered() {
        std::string bytes(static_cast<size_t>(std::max(m_bufferSize, 0)), '\0');
        uint8_t* cursor = reinterpret_cast<uint8_t*>(bytes.data());
        int32_t count = static_cast<int32_t>(bytes.size());
        bytes.resize(static_cast<size_t>(m_reader.TakeBuffered(cursor, count)));
        Check(cursor == reinterpret_cast<uint8_t*>(bytes.data()) + bytes.size());
        return bytes;
    }

    void Arrive(std::string_view piece) {
        m_bytes.append(piece);
        m_stream->Arrive(piece, m_input.Byte() % 4);
    }
    void Read();
    void TakeBuffered();
    void ReadStringEndingWith();
    void ReadUntilToken();
    void ReadUntilChar();

    Input& m_input;
    const int32_t m_bufferSize;
    qav::RefPtr<ScriptedConnectionStream> m_stream;
    qav::BufferedConnectionReader m_reader;
    std::string m_bytes;     // the whole stream so far
    int64_t m_position = 0;  // of the next byte the reader must hand out
    std::string m_text;      // collected by ReadStringEndingWith, as a caller keeps it
    bool m_honest = true;    // the stream reports what it has
};

void Model::Read() {
    const int32_t count = m_input.Int16() % 600;
    const bool wait = (m_input.Byte() & 1) != 0;
    std::vector<uint8_t> destination(static_cast<size_t>(std::max(count, 0)));
    const int32_t got = m_reader.Read(destination.data(), count, wait);
    Check(got >= 0 && got <= std::max(count, 0));
    Consumed(std::string_view(reinterpret_cast<const char*>(destination.data()),
                              static_cast<size_t>(got)));
    if (wait && got < count && m_honest) {
        Check(m_stream->Queued() == 0 && m_position == Delivered());
    }
}

void Model::TakeBuffered() {
    int32_t count = m_input.Int16() % 600;
    std::vector<uint8_t> destination(static_cast<size_t>(std::max(count, 0)));
    uint8_t* cursor = destination.data();
    const int32_t before = count;
    const int32_t got = m_reader.TakeBuffered(cursor, count);
    Check(got >= 0 && cursor == destination.data() + got && count == before - got);
    Consumed(std::string_view(reinterpret_cast<const char*>(destination.data()),
                              static_cast<size_t>(got)));
}

void Model::ReadStringEndingWith() {
    static const char* const kTerminators[] = {"\r\n\r\n", "\r\n", "\n", "</m>", "\x01\x2A"};
    std::string terminator;
    const uint8_t choice = m_input.Byte();
    if (choice < 5 * 40) {
        terminator = kTerminators[choice % 5];
    } else {
        terminator = std::string(m_input.Bytes(choice % 4));  // may be empty
        terminator = terminator.c_str();                      // as the reader sees it
    }
    const bool include = (m_input.Byte() & 1) != 0;
    const int32_t maximum = m_input.Int16();
    const size_t before = m_text.size();
    const int32_t result =
        m_reader.ReadStringEndingWith(m_text, terminator.c_str(), include, maximum);
    if (result == qav::kScanBadRequest) {
        Check(terminator.empty() || terminator.size() >= static_cast<size_t>(m_bufferSize));
        Check(m_text.size() == before);
        return;
    }
    if (result == qav::kScanTooLong) {
        Check(m_text.empty());
        Resynchronize();
        return;
    }
    Check(result == qav::kScanNeedMore || result == qav::kScanFound);
    Check(m_text.size() >= before);
    Consumed(std::string_view(m_text).substr(before));
    if (result == qav::kScanNeedMore && m_honest) {
        Check(m_stream->Queued() == 0);
    }
    if (result == qav::kScanFound) {
        Check(m_text.size() <= static_cast<size_t>(std::max(maximum, 0)));
        if (include) {
            Check(m_text.size() >= terminator.size() &&
                  m_text.compare(m_text.size() - terminator.size(), terminator.size(),
                                 terminator) == 0);
        } else {
            Check(std::string_view(m_bytes).substr(static_cast<size_t>(m_position),
                                                   terminator.size()) == terminator);
        }
        m_text.clear();
    }
}

void Model::ReadUntilToken() {
    int32_t skipped = -1;
    const int32_t result = m_reader.ReadUntilToken(skipped);
    if (result == qav::kScanBadRequest) {
        Check(m_bufferSize < 5);
        return;
    }
    Check(result == qav::kScanFound || result == qav::kScanNeedMore);
    Passed(skipped, kSync);
    if (result == qav::kScanFound) {
        Check(std::string_view(m_bytes).substr(static_cast<size_t>(m_position), 4) == kSync);
    } else if (m_honest) {
        Check(m_stream->Queued() == 0);
    }
}

void Model::ReadUntilChar() {
    const char byte = static_cast<char>(m_input.Byte());
    const bool consume = (m_input.Byte() & 1) != 0;
    int32_t skipped = 0;
    const bool found = m_reader.ReadUntilChar(static_cast<uint8_t>(byte), consume, skipped);
    Passed(skipped, std::string_view(&byte, 1));
    if (found) {
        Check(m_position < Delivered() && m_bytes[static_cast<size_t>(m_position)] == byte);
        m_position += consume ? 1 : 0;
    } else {
        // A reader with no room to buffer cannot look at the stream at all.
        Check(m_position == Delivered() &&
              (!m_honest || m_bufferSize < 2 || m_stream->Queued() == 0));
    }
}

void Model::Step() {
    switch (m_input.Byte() % 14) {
        case 0:
        case 1:
            Arrive(m_input.Bytes(m_input.Byte() % 24));
            break;
        case 2:
            Arrive(kSync);
            break;
        case 3:
        case 4:
            Read();
            break;
        case 5:
            TakeBuffered();
            break;
        case 6: {
            const int32_t count = m_input.Int16() % 600;
            const int32_t skipped = m_reader.Skip(count, (m_input.Byte() & 1) != 0);
            Check(skipped >= 0 && skipped <= std::max(count, 0));
            Passed(skipped, "");
            break;
        }
        case 7:
            ReadUntilChar();
            break;
        case 8:
        case 9:
            ReadStringEndingWith();
            break;
        case 10:
            ReadUntilToken();
            break;
        case 11: {
            const int32_t offset = m_input.Int16();
            const int32_t got = m_reader.ReadBlock(offset);
            Check(got >= 0);
            if (offset == 0) {  // drops what was buffered
                Check(Delivered() - got >= m_position);
                m_position = Delivered() - got;
            }
            break;
        }
        case 12: {
            const int32_t state = m_reader.GetReadQueueState();
            Check(state == qav::kReadQueueClosed || state == qav::kReadQueueEmpty ||
                  state == qav::kReadQueueDataReady);
            const int32_t available = m_reader.GetAvailableReadQueueSize();
            Check(available >= 0);
            if (m_honest) {
                Check(available <= Delivered() - m_position + m_stream->Queued());
            }
            break;
        }
        default: {
            const uint8_t choice = m_input.Byte();
            static const int32_t kReports[] = {0, -1, 1, 1000};
            m_honest = choice % 5 == 4;
            m_stream->ReportAvailable(m_honest ? std::nullopt
                                               : std::optional<int32_t>(kReports[choice % 5]));
            m_reader.SetBuffering((choice & 0x80) == 0);
            break;
        }
    }
    Check(m_position <= Delivered());
}

void Model::Finish() {
    m_stream->ReportAvailable(std::nullopt);
    Consumed(TakeAllBuffered());
    Check(m_position == Delivered());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) {
        return 0;
    }
    Input input(data, size);
    const uint8_t sizeChoice = input.Byte();
    const int32_t bufferSize = sizeChoice < 8 ? sizeChoice : sizeChoice % 128;
    Model model(input, bufferSize);
    for (int steps = 0; steps < 2000 && !input.Done(); ++steps) {
        model.Step();
    }
    model.Finish();
    return 0;
}
