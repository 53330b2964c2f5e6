// The socket wait loop: every socket that waits for events is registered here, and each
// call of Wait is one turn that waits for the registered sockets once and calls the
// handlers of the ready ones. The polling thread holds it as its Waiter.
//
// Typical usage:
//   SocketHandlerManager manager;
//   manager.AddHandler(connection);          // by the socket's descriptor
//   while (running) manager.Wait(100);       // on the polling thread
//   manager.WaitEventsChanged(connection);   // it came to want output, say
//   manager.RemoveHandler(connection);
//
// A turn calls the handlers of the ready sockets without the manager's lock, inputs first
// (HandleInput, then ProcessInput), then errors, then outputs; within each kind the socket
// served longest ago comes first. A socket belongs to one turn at a time, and is not
// waited for again until its handlers have run, so several threads may call Wait on one
// manager. A handler stays alive, and receives the rest of its turn's calls, when it
// removes itself during the turn. A handler that throws ends the turn: the sockets of the
// turn are released for the next turn and the exception reaches the caller of Wait.
//
// On Linux the loop waits with epoll (WaitMethod::kEpoll, the default): each socket is
// registered with the kernel when the loop first finds it waiting for something, and a
// turn costs the sockets that are ready, not those registered. The kernel hands a ready
// socket to one turn only (one-shot), and the turn gives it back, with its wait events as
// they are then, once its handlers have run. A handler's GetWaitEvents
// is therefore asked, on a thread inside Wait, only
//   - at the first turn after AddHandler,
//   - after each turn that served the socket,
//   - at the next turn after WaitEventsChanged named it, or after WakeUp,
//   - at every turn while it waits for nothing (so a socket that pauses by waiting for
//     nothing comes back on its own);
// a handler whose wait events change in any other way calls WaitEventsChanged. A socket
// that comes to wait for nothing while the kernel watches it leaves the kernel's set; one
// that answers nothing when the turn that served it gives it back (the server in its
// accept pause) stays registered but disarmed, and reports nothing, errors included,
// until it wants an event again. With poll or select every turn asks every handler, and
// WaitEventsChanged only wakes the loop.
//
// A socket is removed (RemoveHandler) before its descriptor is closed. The kernel ends the
// epoll registration of a closed descriptor without a word, so a handler whose descriptor
// was closed while registered is never called again (poll would report it invalid).
//
// A socket the kernel refuses to watch is logged once ("Failed to watch socket: ..."),
// its handler gets HandleError once, as for a descriptor that poll finds invalid, and the
// loop tries again each turn until it is watched or removed.
//
// A turn also waits on the loop's own wake-up descriptor. Whatever changes what a socket
// waits for while a turn on another thread waits (a registration, a handler that came to
// want output) ends that wait through it, and the next turn waits with the new events: a
// change made on another thread never waits for the turn's time-out. Changes coalesce:
// one signal stands for every change made until the loop takes it, and the thread that
// waits on the loop never signals, its own next turn sees the change anyway. Interrupt, the
// polling thread's stop, always signals. Should the system refuse the descriptor, the
// loop says so in the log and changes wait for the time-out; should the epoll set refuse
// to watch it, the loop says so and polls instead.
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
#include "platform/epoll.h"
#include "platform/poll.h"
#include "platform/wake_up.h"

namespace qav {

class SocketHandlerEntry;

class SocketHandlerManager : public Waiter {
  public:
    // epoll is the wait of choice. poll() stays for a manager whose epoll set the system
    // refused (out of descriptors or memory at its making): slower with many sockets, but
    // the node goes on. select() remains as the oldest fallback, limited to descriptors
    // below platform::SelectSets::kSelectLimit. select() has no error set worth watching
    // here (its exception set means out-of-band data): under it a socket's failure shows as
    // input or output readiness, and HandleError is not called.
    enum class WaitMethod { kEpoll, kPoll, kSelect };

    explicit SocketHandlerManager(WaitMethod method = WaitMethod::kEpoll);
    virtual ~SocketHandlerManager();
    SocketHandlerManager(const SocketHandlerManager&) = delete;
    SocketHandlerManager& operator=(const SocketHandlerManager&) = delete;

    // Registers the handler under its socket and keeps a reference to it. The handler is
    // removed before its socket is closed (see the header comment). False when the
    // handler is null, its socket negative, or the socket already registered (the first
    // registration stays in force).
    bool AddHandler(SocketHandler* handler);
    // Ends the handler's registration; the manager's reference goes once no turn holds
    // it. False when the handler is not registered: another handler's registration of
    // the same descriptor stays. A turn that already collected its events still delivers
    // them.
    bool RemoveHandler(SocketHandler* handler);

    // The wait that this manager's turns use: kEpoll falls back to kPoll when the system
    // refused the epoll set.
    WaitMethod GetWaitMethod() const { return m_method; }

    // Tells the loop that the handler's wait events may have changed (it now wants
    // output, say): the next turn asks it again, and a turn waiting on another thread ends
    // at once. Nothing is signalled on the thread that waits on this loop, nor while an
    // earlier signal is still untaken. Ignored for a handler not registered.
    void WaitEventsChanged(SocketHandler* handler);
    // The same for every registered handler at once, when the caller cannot say which
    // changed: the next turn asks them all.
    void WakeUp();
    // Ends a turn waiting on another thread at once, or else the next turn that has
    // something to wait for, which returns kBusyOrTimeout without waiting: the polling
    // thread's stop calls it.
    void Interrupt() override;
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
    // Tests: as the public constructor, but an epoll set refuses the wake-up descriptor
    // with `wakeUpRefusal` (an error code; 0: as the kernel answers), as the kernel does
    // only when out of memory or of watches.
    SocketHandlerManager(WaitMethod method, int wakeUpRefusal);

    // The system calls of a turn, as platform::Poll, platform::Select and
    // platform::EpollSet::Wait; overridden by tests to act while a turn waits or to make
    // the wait fail.
    virtual int CallPoll(platform::PollRecord* records, size_t count, int timeoutMs,
                         int& errorCode);
    virtual int CallEpollWait(platform::EpollEvent* events, size_t capacity, int timeoutMs,
                              int& errorCode);
    virtual int CallSelect(platform::SelectSets& sets, int timeoutMs, int& errorCode);

  private:
    struct Turn;
    struct Registration {
        int socket;
        SocketHandlerEntry* entry;  // holds one reference
    };

    bool TakeSockets(Turn& turn);
    void Signal();
    bool TakeInterruption();
    void TakeWakeUp();
    void CollectResults(Turn& turn, bool usePoll);
    void ClearTurnMarks(Turn& turn);
    SocketHandlerEntry* FindEntry(int socket) const;

    // The poll and select variants; REQUIRES m_lock held.
    int WaitWithPoll(Turn& turn, MutualExclusionLock& lock, int timeoutMs, const char*& szState);

    // The epoll variant. All REQUIRE m_lock held.
    int WaitWithEpoll(Turn& turn, MutualExclusionLock& lock, int timeoutMs, const char*& szState);
    // Asks the handlers that need it (see the header comment) and brings the kernel's
    // registrations in line; sockets refused since their last turn go into the turn's
    // errors.
    void RecheckWaitEvents(Turn& turn);
    // Registers, changes or ends the kernel's registration for `events`. True when the
    // entry must be asked again at the next turn (it waits for nothing, or was refused).
    bool ApplyWaitEvents(Turn& turn, SocketHandlerEntry* entry, uint32_t events);
    // Without m_lock: logs the refusals of the turn.
    static void ReportRefusals(Turn& turn);
    void Recheck(SocketHandlerEntry* entry);
    // Ends the entry's part in the epoll variant; it has left the registrations.
    void Forget(SocketHandlerEntry* entry);
    void CollectEpollResults(Turn& turn, size_t count, int& result);
    // Gives the sockets the turn served back to the kernel, with their new wait events.
    void RearmTurn(Turn& turn);

    Turn* AcquireTurn();
    void ReturnTurn(Turn* turn);

    WaitMethod m_method;  // set once by the constructor
    MutualExclusion m_lock;
    // Guarded by m_lock: sorted by socket, one registration per socket.
    std::vector<Registration> m_registrations;
    uint64_t m_waitCounter = 0;  // turns in which the wait reported a socket

    // The epoll variant's state, guarded by m_lock.
    platform::EpollSet m_epoll;
    // The entries to ask at the next turn; each has its m_inRecheck set.
    std::vector<SocketHandlerEntry*> m_recheck;
    size_t m_armedCount = 0;    // entries the kernel may report now
    uint32_t m_lastSerial = 0;  // of the last registration
    // WakeUp asked for every handler to be asked again.
    std::atomic<bool> m_recheckAll{false};

    std::atomic<int> m_lastSocketError{0};
    std::atomic<int64_t> m_waitTime{0};
    std::atomic<uint64_t> m_skippedSockets{0};

    platform::WakeUpDescriptor m_wakeUp;
    // Set by the first change that signals the descriptor, cleared once the loop has
    // drained it: later changes meanwhile need no signal of their own.
    std::atomic<bool> m_wakeUpPending{false};
    // Set by Interrupt, taken by the next turn.
    std::atomic<bool> m_interrupted{false};
    std::atomic<uint64_t> m_wakeUps{0};
    // The thread that called Wait last: its own changes are seen by its next turn.
    std::atomic<uint32_t> m_waitingThread{0xFFFFFFFFu};

    // Turn storage kept between turns, so a steady turn allocates nothing. One slot per
    // thread that may wait at the same time; more turns than slots allocate their own.
    static constexpr int kSpareTurns = 4;
    std::atomic<Turn*> m_spareTurns[kSpareTurns] = {};
};

}  // namespace qav
