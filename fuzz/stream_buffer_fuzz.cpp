// Drives one stream buffer through an operation sequence taken from the input, on one
// thread, and checks it against a plain byte queue after every step: the stored count,
// the totals, the positions' bounds, and every byte that comes out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "core/stream_buffer.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

class Input : public qav::fuzz::FuzzInput {
  public:
    using FuzzInput::FuzzInput;
    // Mostly small, sometimes large, now and then negative.
    int32_t Size() {
        const uint8_t kind = Byte();
        if (kind < 240) {
            return kind;
        }
        if (kind < 250) {
            // Two statements: the operands of | may be read in either order.
            const uint8_t low = Byte();
            return low | Byte() << 8;
        }
        return -1 - Byte();
    }
};

bool SameState(const qav::StreamBufferState& a, const qav::StreamBufferState& b) {
    return a.capacity == b.capacity && a.readPosition == b.readPosition &&
           a.writePosition == b.writePosition && a.dataEnd == b.dataEnd &&
           a.notEmpty == b.notEmpty && a.writingClosed == b.writingClosed &&
           a.totalWritten == b.totalWritten && a.totalRead == b.totalRead;
}

class Harness {
  public:
    void Run(Input& input) {
        m_ring.SetCapacity(input.Byte());
        while (!input.Done()) {
            Step(input);
            CheckModel();
        }
    }

  private:
    void Step(Input& input) {
        const qav::StreamBufferState before = m_ring.GetState();
        switch (input.Byte() % 12) {
            case 0:
                Write(input.Size());
                break;
            case 1:
                Read(input.Size(), input.Size());
                break;
            case 2:
                Allocate(input.Size(), false, before);
                break;
            case 3:
                Allocate(input.Size(), true, before);
                break;
            case 4:
                Commit(input.Size(), input.Byte(), before);
                break;
            case 5:
                Peek();
                break;
            case 6:
                Release(input.Size(), input.Byte() % 2 == 0, before);
                break;
            case 7:
                AdvanceOnBlock(input.Size(), before);
                break;
            case 8:
                Reset();
                break;
            case 9:
                SetCapacity(input.Size(), before);
                break;
            case 10:
                m_ring.CloseWriting();
                m_closed = true;
                break;
            default: {
                uint8_t foreign = 0;
                Check(!m_ring.AdvanceWrite(&foreign, 1));
                Check(SameState(before, m_ring.GetState()));
            }
        }
    }

    void Write(int32_t length) {
        std::vector<uint8_t> bytes(length > 0 ? length : 0);
        for (uint8_t& byte : bytes) {
            byte = m_next++;
        }
        const int32_t taken = m_ring.Write(bytes.data(), length);
        Check(taken >= 0 && taken <= (length > 0 ? length : 0));
        const qav::StreamBufferState after = m_ring.GetState();
        Check(taken == length || length < 0 || after.capacity == 0 ||
              (after.notEmpty && after.readPosition == after.writePosition));
        m_model.insert(m_model.end(), bytes.begin(), bytes.begin() + taken);
        m_block = nullptr;
        m_run = nullptr;  // the write position may have come round to it
    }

    void Read(int32_t minimum, int32_t maximum) {
        const int32_t stored = static_cast<int32_t>(m_model.size());
        if (minimum > stored && !m_closed && minimum <= maximum) {
            return;  // it would wait for a writer that does not exist
        }
        std::vector<uint8_t> out(maximum > 0 ? maximum : 0);
        const int32_t got = m_ring.Read(out.data(), minimum, maximum);
        const bool valid = minimum >= 0 && minimum <= maximum;
        Check(got == (valid ? std::min(maximum, stored) : 0));
        for (int32_t i = 0; i < got; ++i) {
            Check(out[i] == m_model.front());
            m_model.pop_front();
        }
        m_run = nullptr;
    }

    void Allocate(int32_t size, bool resize, const qav::StreamBufferState& before) {
        m_block = resize ? m_ring.AllocateBlockResizeIfNeeded(size) : m_ring.AllocateBlock(size);
        const qav::StreamBufferState after = m_ring.GetState();
        if (size > 0 && ((before.StoredBytes() == 0 && size <= before.capacity) ||
                         (resize && before.capacity + size <= qav::StreamBuffer::kMaximumGrowth))) {
            Check(m_block != nullptr);
        }
        if (size <= 0) {
            Check(m_block == nullptr);
        }
        if (after.capacity != before.capacity) {
            Check(resize && after.capacity == before.capacity + size);
            // The array was replaced: its owner lets go of a run it held in the old one.
            m_run = nullptr;
        }
        m_blockSize = size;
        for (int32_t i = 0; m_block != nullptr && i < size; ++i) {
            m_block[i] = static_cast<uint8_t>(m_next + i);
        }
    }

    void Commit(int32_t committed, uint8_t variant, const qav::StreamBufferState& before) {
        if (m_block == nullptr) {
            return;
        }
        const bool exact = variant % 4 != 0;  // else a wrong address and allocated size
        const uint8_t* address = exact ? m_block : m_block + 1;
        const int32_t allocated = exact ? m_blockSize : m_blockSize + variant;
        const bool done = m_ring.CommitWriteBlock(address, committed, allocated);
        const bool good = exact && committed >= 0 && committed <= m_blockSize;
        if (good || committed < 0 || committed > allocated || (committed > 0 && !exact)) {
            Check(done == good);
        }
        if (done && committed > 0) {
            Accept(committed);
            return;
        }
        Check(SameState(before, m_ring.GetState()));
        if (done) {
            m_block = nullptr;  // abandoned
        }
    }

    // A commit by address. The ring does not know the block's size: a longer length
    // takes what lies behind the block when there is room for it.
    void AdvanceOnBlock(int32_t length, const qav::StreamBufferState& before) {
        if (m_block == nullptr) {
            return;
        }
        const bool done = m_ring.AdvanceWrite(m_block, length);
        if (length > 0 && length <= m_blockSize) {
            Check(done);
        } else if (length <= 0) {
            Check(!done);
        }
        if (!done) {
            Check(SameState(before, m_ring.GetState()));
            return;
        }
        Check(m_ring.GetState().totalWritten == before.totalWritten + length);
        Accept(length);
    }

    void Peek() {
        int32_t length = -1;
        m_run = m_ring.PeekBlockToRead(length);
        m_runLength = length;
        if (m_model.empty()) {
            Check(m_run == nullptr && length == 0);
            return;
        }
        Check(m_run != nullptr && length > 0 && length <= static_cast<int32_t>(m_model.size()));
        for (int32_t i = 0; i < length; ++i) {
            Check(m_run[i] == m_model[i]);
        }
    }

    // By ReleaseReadBlock, or by AdvanceWrite at the read position.
    void Release(int32_t length, bool byAdvance, const qav::StreamBufferState& before) {
        if (m_run == nullptr) {
            return;
        }
        const bool done =
            byAdvance ? m_ring.AdvanceWrite(m_run, length) : m_ring.ReleaseReadBlock(m_run, length);
        if ((length == 0 && !byAdvance) || (length > 0 && length <= m_runLength)) {
            Check(done);
        } else if (length <= 0) {
            Check(!done);
        }
        if (!done || length == 0) {
            Check(SameState(before, m_ring.GetState()));
            return;
        }
        Check(m_ring.GetState().totalRead == before.totalRead + length);
        Check(length <= static_cast<int32_t>(m_model.size()));
        m_model.erase(m_model.begin(), m_model.begin() + length);
        m_run += length;
        m_runLength -= length;
        if (m_runLength <= 0) {
            m_run = nullptr;  // the reader may have turned to the start
        }
    }

    void Reset() {
        m_ring.Reset();
        m_model.clear();
        m_closed = false;
        // The owner holds no block across a reset.
        m_block = nullptr;
        m_run = nullptr;
    }

    void SetCapacity(int32_t bytes, const qav::StreamBufferState& before) {
        const bool done = m_ring.SetCapacity(bytes);
        Check(done == (bytes == before.capacity || (bytes >= 0 && bytes >= before.dataEnd)));
        if (!done || bytes == before.capacity) {
            Check(SameState(before, m_ring.GetState()));
            return;
        }
        // The array was replaced: the owner holds no block of the old one.
        m_block = nullptr;
        m_run = nullptr;
    }

    // The writer's block was committed with `length` bytes: they join the model.
    void Accept(int32_t length) {
        for (int32_t i = 0; i < length; ++i) {
            m_model.push_back(m_block[i]);
        }
        m_next = static_cast<uint8_t>(m_next + length);
        m_block = nullptr;
    }

    void CheckModel() {
        const qav::StreamBufferState s = m_ring.GetState();
        const int64_t stored = static_cast<int64_t>(m_model.size());
        Check(s.StoredBytes() == stored);
        Check(s.totalWritten - s.totalRead == stored);
        Check(s.readPosition >= 0 && s.readPosition <= s.dataEnd);
        Check(s.writePosition >= 0 && s.writePosition <= s.dataEnd);
        Check(s.dataEnd <= s.capacity);
        Check(s.writePosition < s.capacity || s.capacity == 0);
        Check(s.writingClosed == m_closed);
        Check(m_ring.IsOpen() == (!m_closed || stored > 0));
    }

    qav::StreamBuffer m_ring;
    std::deque<uint8_t> m_model;
    uint8_t m_next = 0;
    bool m_closed = false;
    // The writer's block and the reader's peeked run, each dropped as its owner must when
    // the array they lie in may be replaced.
    uint8_t* m_block = nullptr;
    int32_t m_blockSize = 0;
    const uint8_t* m_run = nullptr;
    int32_t m_runLength = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    Harness harness;
    harness.Run(input);
    return 0;
}
