// Linux's readiness set (epoll): descriptors are registered with the kernel once and a
// wait costs the descriptors that are ready, not those registered.
//
// Typical usage:
//   EpollSet set;
//   if (!set.Open()) ... set.OpenError() says why
//   set.Add(socket, kPollInput, key, /*oneShot=*/true, error);
//   EpollEvent events[64];
//   int ready = set.Wait(events, 64, 100, error);   // events[i].key names the descriptor
//   set.Modify(socket, kPollInput | kPollOutput, key, true, error);  // re-arms a one-shot
//   set.Remove(socket, error);                      // before the descriptor is closed
//
// The event bits are those of platform/poll.h (kPollInput, kPollOutput, and returned only
// kPollError and kPollHangUp, which the kernel reports without being asked). A one-shot
// registration reports once and then stays registered but silent until Modify re-arms it,
// so that one descriptor goes to one waiting thread at a time.
//
// The kernel keys a registration by the open file, not by the number: a descriptor closed
// while registered leaves the set by itself (unless a duplicate keeps the file open, in
// which case its events still come with the old key). Callers remove a descriptor before
// closing it and check each key they get back.
//
// An interrupted wait (EINTR) is an ordinary wake-up, as for Poll. Threads: any; the set's
// operations may run on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::platform {

// One ready descriptor of a Wait.
struct EpollEvent {
    uint32_t events;  // the kPoll* bits that happened
    uint64_t key;     // what the registration was given
};

class EpollSet {
  public:
    // Made without a kernel set; Open makes one.
    EpollSet() = default;
    ~EpollSet();
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;

    // False when the system refused a set; OpenError says why.
    bool Open();
    bool IsOpen() const { return m_descriptor >= 0; }
    // Gives the kernel set back; every registration ends with it.
    void Close();
    int OpenError() const { return m_openError; }

    // Each returns false with `errorCode` set when the kernel refuses.
    bool Add(int descriptor, uint32_t events, uint64_t key, bool oneShot, int& errorCode);
    bool Modify(int descriptor, uint32_t events, uint64_t key, bool oneShot, int& errorCode);
    bool Remove(int descriptor, int& errorCode);

    // Waits until a registered descriptor is ready or `timeoutMs` passes (negative:
    // without limit) and fills at most `capacity` events. Returns their number, 0 on
    // time-out or interruption, or -1 with `errorCode` set.
    int Wait(EpollEvent* events, size_t capacity, int timeoutMs, int& errorCode);

  private:
    int m_descriptor = -1;
    int m_openError = 0;
};

}  // namespace qav::platform
