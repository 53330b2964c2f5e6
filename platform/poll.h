// Waiting on many descriptors at once: poll() and, for the fallback path, select().
//
// The record and the bits are the system's own (checked against the system headers where
// the wrappers are built), so an array of records goes to the kernel as it is and the
// callers need no system header.
//
// An interrupted wait (EINTR) is an ordinary wake-up: it returns 0 with no descriptor
// reported, as a time-out does. Threads: any; the arrays and sets belong to the caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::platform {

// One descriptor of a Poll call.
struct PollRecord {
    int descriptor;           // negative: ignored by the kernel, nothing returned
    uint16_t events;          // what to wait for
    uint16_t returnedEvents;  // what happened; written by Poll
};

constexpr uint16_t kPollInput = 0x0001;    // data to read, or a connection to accept
constexpr uint16_t kPollOutput = 0x0004;   // room to write
constexpr uint16_t kPollError = 0x0008;    // returned only: an error is pending
constexpr uint16_t kPollHangUp = 0x0010;   // returned only: the peer hung up
constexpr uint16_t kPollInvalid = 0x0020;  // returned only: the descriptor is not open
constexpr uint16_t kPollFailure = kPollError | kPollHangUp | kPollInvalid;

// Waits until a descriptor is ready or `timeoutMs` passes (negative: without limit).
// Returns the number of records with returned events, 0 on time-out or interruption (all
// returned events 0), or -1 with `errorCode` set.
int Poll(PollRecord* records, size_t count, int timeoutMs, int& errorCode);

// The three descriptor sets of a Select call. Only descriptors from 0 to kSelectLimit - 1
// fit a set; Add skips any other and counts it.
class SelectSets {
  public:
    static constexpr int kSelectLimit = 1024;
    enum : uint32_t { kRead = 1, kWrite = 2, kException = 4 };

    SelectSets() { Clear(); }

    // Empties the sets and the skip count.
    void Clear();
    // Adds the descriptor to each set named in `sets`. False (and counted) when it does not
    // fit; adding one already present changes nothing.
    bool Add(int descriptor, uint32_t sets);
    // After Select: whether the descriptor is in the set (one of kRead, kWrite, kException).
    bool Contains(int descriptor, uint32_t set) const;

    // The highest descriptor added, -1 when none.
    int Highest() const { return m_highest; }
    // Descriptors refused by Add since the last Clear.
    size_t SkippedCount() const { return m_skipped; }

  private:
    friend int Select(SelectSets& sets, int timeoutMs, int& errorCode);

    // The kernel's set layout: bit (d % word bits) of word (d / word bits).
    using Word = unsigned long;
    static constexpr int kWordBits = static_cast<int>(sizeof(Word) * 8);
    static constexpr int kWords = kSelectLimit / kWordBits;

    Word m_words[3][kWords];
    int m_highest = -1;
    size_t m_skipped = 0;
};

// Waits until a descriptor of the sets is ready or `timeoutMs` passes (negative: without
// limit). On return the sets hold only the ready descriptors (none after a time-out or an
// interruption). Returns the number of ready (descriptor, set) pairs, 0 on time-out or
// interruption, or -1 with `errorCode` set (a set naming a closed descriptor fails).
int Select(SelectSets& sets, int timeoutMs, int& errorCode);

}  // namespace qav::platform
