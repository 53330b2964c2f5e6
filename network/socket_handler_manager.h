// The socket wait loop: every socket that waits for events is registered here, and each
// call of Wait is one turn that polls the registered sockets once and calls the handlers of
// the ready ones. The polling thread holds it as its Waiter.
//
// Typical usage:
//   SocketHandlerManager manager;
//   manager.AddHandler(connection);          // by the socket's descriptor
//   while (running) manager.Wait(100);       // on the polling thread
//   manager.RemoveHandler(connection);
//
// A turn takes the sockets that are free and waiting for something, polls them without
// the manager's lock, and calls the handlers of the ready ones without it, inputs first
// (HandleInput, then ProcessInput), then errors, then outputs; within each kind the socket
// served longest ago comes first. A socket belongs to one turn at a time, so several
// threads may call Wait on one manager. A handler stays alive, and receives the rest of
// its turn's calls, when it removes itself during the turn. A handler that throws ends
// the turn: the sockets of the turn are released for the next turn and the exception
// reaches the caller of Wait.
//
// A turn also waits on the loop's own wake-up descriptor. Whatever changes what a socket
// waits for while a turn on another thread sits in its poll (a registration, a removal,
// a handler's WakeUp after it came to want output) ends that poll through it, and the next
// turn polls with the new events: a change made on another thread never waits for the
// turn's time-out. Changes coalesce: one signal stands for every change made until the
// loop takes it, and the thread that waits on the loop never signals, its own next turn
// sees the change anyway.
//
// Threads: every operation may be called from any thread, also from inside a handler.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/waiter.h"
#include "network/socket_handler.h"
#include "platform/poll.h"
#include "platform/wake_up.h"

namespace qav {

class SocketHandlerEntry;

class SocketHandlerManager : public Waiter {
  public:
    // poll() is always there on this platform; select() remains as the fallback wait,
    // limited to descriptors below platform::SelectSets::kSelectLimit. select() has no
    // error set worth watching here (its exception set means out-of-band data): under it a
    // socket's failure shows as input or output readiness, and HandleError is not called.
    enum class WaitMethod { kPoll, kSelect };

    explicit SocketHandlerManager(WaitMethod method = WaitMethod::kPoll);
    virtual ~SocketHandlerManager();
    SocketHandlerManager(const SocketHandlerManager&) = delete;
    SocketHandlerManager& operator=(const SocketHandlerManager&) = delete;

    // Registers the handler under its socket and keeps a reference to it. False when the
    // handler is null, its socket negative, or the socket already registered (the first
    // registration stays in force).
    bool AddHandler(SocketHandler* handler);
    // Ends the handler's registration; the manager's reference goes once no turn holds
    // it. False when the handler is not registered: another handler's registration of
    // the same descriptor stays. A turn that already collected its events still delivers
    // them.
    bool RemoveHandler(SocketHandler* handler);

    // Tells the loop that a registered handler's wait events changed (it now wants
    // output, say): a turn polling on another thread ends at once. Nothing on the thread
    // that waits on this loop, nor while an earlier signal is still untaken.
    void WakeUp();
    // How many times the wake-up descriptor was signalled.
    uint64_t GetWakeUpCount() const { return m_wakeUps.load(std::memory_order_relaxed); }

    // One turn of at most `timeoutMs` milliseconds of waiting (negative: without limit).
    // Returns kHandled, kBusyOrTimeout (lock not obtained in time, or no event),
    // kNothingToWait or kFailed (the wait call failed; logged, see GetLastSocketError).
    int Wait(int timeoutMs) override;
    // Raw-clock time spent inside poll or select since the last call.
    int64_t TakeWaitTime() override;

    // The error code of the last failed poll or select, 0 when none failed.
    int GetLastSocketError() const { return m_lastSocketError.load(std::memory_order_relaxed); }
    // How many times a socket was left out of a select turn because its descriptor does
    // not fit a set (once per socket and turn).
    uint64_t GetSkippedSocketCount() const {
        return m_skippedSockets.load(std::memory_order_relaxed);
    }

  protected:
    // The system calls of a turn, as platform::Poll and platform::Select; overridden by
    // tests to act while a turn waits or to make the wait fail.
    virtual int CallPoll(platform::PollRecord* records, size_t count, int timeoutMs,
                         int& errorCode);
    virtual int CallSelect(platform::SelectSets& sets, int timeoutMs, int& errorCode);

  private:
    struct Turn;
    struct Registration {
        int socket;
        SocketHandlerEntry* entry;  // holds one reference
    };

    bool TakeSockets(Turn& turn);
    void TakeWakeUp();
    void CollectResults(Turn& turn, bool usePoll);
    void ClearTurnMarks(Turn& turn);
    SocketHandlerEntry* FindEntry(int socket) const;

    Turn* AcquireTurn();
    void ReturnTurn(Turn* turn);

    const WaitMethod m_method;
    MutualExclusion m_lock;
    // Guarded by m_lock: sorted by socket, one registration per socket.
    std::vector<Registration> m_registrations;
    uint64_t m_waitCounter = 0;  // turns in which the wait reported a socket

    std::atomic<int> m_lastSocketError{0};
    std::atomic<int64_t> m_waitTime{0};
    std::atomic<uint64_t> m_skippedSockets{0};

    platform::WakeUpDescriptor m_wakeUp;
    // Set by the first change that signals the descriptor, cleared once the loop has
    // drained it: later changes meanwhile need no signal of their own.
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<uint64_t> m_wakeUps{0};
    // The thread that called Wait last: its own changes are seen by its next turn.
    std::atomic<uint32_t> m_waitingThread{0xFFFFFFFFu};

    // Turn storage kept between turns, so a steady turn allocates nothing. One slot per
    // thread that may wait at the same time; more turns than slots allocate their own.
    static constexpr int kSpareTurns = 4;
    std::atomic<Turn*> m_spareTurns[kSpareTurns] = {};
};

}  // namespace qav
