#include "network/socket_handler_manager.h"

#include <algorithm>

#include "core/stopwatch.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "network/socket_failure_report.h"
#include "platform/thread.h"

namespace qav {

namespace {

// Entry flags. The pending bits are those of the lists' kinds.
constexpr uint32_t kInputPending = 1;
constexpr uint32_t kOutputPending = 2;
constexpr uint32_t kErrorPending = 4;
constexpr uint32_t kTaken = 8;  // taken into a turn by m_ownerThread
constexpr uint32_t kNoOwner = 0xFFFFFFFFu;

// What the kernel's epoll set holds for an entry.
enum class KernelState : uint8_t {
    kOutside,  // not registered (never, refused, or ended because it came to wait for
               // nothing while armed)
    kSilent,   // registered, but reports nothing: its one-shot went to a turn (and it
               // stays so while it waits for nothing after that turn)
    kArmed,    // registered and reporting its m_armedEvents
};

// The key of a kernel registration: the descriptor and the serial of the registration,
// so that an event that comes for a registration since ended, whose descriptor number a
// new socket now has, is told apart from the new one's.
uint64_t EpollKey(int socket, uint32_t serial) {
    return uint64_t{serial} << 32 | static_cast<uint32_t>(socket);
}
constexpr uint64_t kWakeUpKey = ~uint64_t{0};  // no serial is 0xFFFFFFFF

// How many ready sockets one epoll turn takes; the rest come in the next turn.
constexpr size_t kEpollEventsPerTurn = 128;

// The first registration whose socket is not below `socket`.
template <typename Registrations>
auto LowerBound(Registrations& registrations, int socket) {
    return std::lower_bound(
        registrations.begin(), registrations.end(), socket,
        [](const auto& registration, int value) { return registration.socket < value; });
}

}  // namespace

// One registration: the handler and what the turns need to know about it. A socket is
// taken into a turn only while its flags are 0; the taking turn alone sets its bits, under
// the manager's lock, and it alone clears them, the pending bits after the handler calls.
class SocketHandlerEntry {
  public:
    SocketHandlerEntry(SocketHandler* handler, uint64_t lastServed)
        : m_lastServed(lastServed), m_handler(handler) {}
    SocketHandlerEntry(const SocketHandlerEntry&) = delete;
    SocketHandlerEntry& operator=(const SocketHandlerEntry&) = delete;

    int32_t AddRef() { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    int32_t Release() {
        const int32_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    SocketHandler* handler() const { return m_handler.get(); }

    std::atomic<uint32_t> m_flags{0};
    std::atomic<uint32_t> m_ownerThread{kNoOwner};
    // The wait counter of the last turn that had an event for it (at first: when added).
    std::atomic<uint64_t> m_lastServed;

    // The epoll variant's bookkeeping, guarded by the manager's lock.
    int m_socket = -1;  // the descriptor it is registered under
    uint32_t m_serial = 0;
    bool m_registered = true;  // false once removed
    KernelState m_kernelState = KernelState::kOutside;
    uint32_t m_armedEvents = 0;   // the kPoll* bits of the registration while armed
    bool m_inTurn = false;        // a turn collected it and has not given it back yet
    bool m_inRecheck = false;     // listed in m_recheck
    bool m_watchRefused = false;  // the kernel refused the last registration
    bool m_errorDue = false;      // refused, and its handler not yet told

  private:
    ~SocketHandlerEntry() = default;

    RefPtr<SocketHandler> m_handler;
    std::atomic<int32_t> m_refCount{1};  // the registration's own
};

// One turn's entries of one kind of event. Every entry in it holds a reference and has
// the list's pending bit set until its handler call is over.
class HandlerEventList {
  public:
    explicit HandlerEventList(uint32_t kind) : m_kind(kind) {}
    ~HandlerEventList() { Reset(); }
    HandlerEventList(const HandlerEventList&) = delete;
    HandlerEventList& operator=(const HandlerEventList&) = delete;

    // REQUIRES: the manager's lock, and the entry taken by the calling turn.
    void Add(SocketHandlerEntry* entry) {
        m_items.push_back({entry, 0});
        entry->AddRef();
        entry->m_flags.fetch_or(m_kind, std::memory_order_relaxed);
    }

    // The entry served longest ago first.
    void Sort() {
        for (Item& item : m_items) {
            item.lastServed = item.entry->m_lastServed.load(std::memory_order_relaxed);
        }
        std::sort(m_items.begin(), m_items.end(),
                  [](const Item& a, const Item& b) { return a.lastServed < b.lastServed; });
    }

    void SetLastServed(uint64_t waitCounter) {
        for (Item& item : m_items) {
            item.entry->m_lastServed.store(waitCounter, std::memory_order_relaxed);
        }
    }

    size_t size() const { return m_items.size(); }
    SocketHandler* handler(size_t index) const { return m_items[index].entry->handler(); }

    // The handler call of item `index` (the next one) is over: the socket may be polled
    // again as soon as its other events are handled too.
    void MarkHandled(size_t index) {
        m_items[index].entry->m_flags.fetch_and(~m_kind, std::memory_order_release);
        m_handled = index + 1;
    }

    SocketHandlerEntry* entry(size_t index) const { return m_items[index].entry; }

    // Ends the handling for this list, also when a handler threw: the entries not handled
    // yet lose their pending bit.
    void ClearPending() {
        for (size_t i = m_handled; i < m_items.size(); ++i) {
            m_items[i].entry->m_flags.fetch_and(~m_kind, std::memory_order_release);
        }
        m_handled = m_items.size();
    }

    // Ends the turn for this list: every reference goes. The storage stays for the next
    // turn.
    void Reset() {
        ClearPending();
        for (Item& item : m_items) {
            item.entry->Release();
        }
        m_items.clear();
        m_handled = 0;
    }

  private:
    struct Item {
        SocketHandlerEntry* entry;
        uint64_t lastServed;
    };

    const uint32_t m_kind;
    std::vector<Item> m_items;
    size_t m_handled = 0;  // leading items whose pending bit is already cleared
};

struct SocketHandlerManager::Turn {
    // What the turn waits on. For select the records only list the sockets put in the sets.
    std::vector<platform::PollRecord> records;
    // The entry of each record. Not counted: an entry is only used after checking that it
    // is still the one registered for its socket.
    std::vector<SocketHandlerEntry*> taken;
    platform::SelectSets sets;
    HandlerEventList inputs{kInputPending};
    HandlerEventList outputs{kOutputPending};
    HandlerEventList errors{kErrorPending};
    // The epoll variant's events, and its entries to ask again.
    platform::EpollEvent events[kEpollEventsPerTurn];
    std::vector<SocketHandlerEntry*> recheck;
    // The errors of registrations the kernel refused, reported once the lock is given up.
    std::vector<int> refusals;
    uint64_t waitCounter = 0;  // of this turn, once it has events
    uint32_t self = kNoOwner;
    bool marked = false;   // some entry may still carry this turn's kTaken
    bool claimed = false;  // the epoll variant: some entry is still in this turn
};

SocketHandlerManager::SocketHandlerManager(WaitMethod method) : SocketHandlerManager(method, 0) {}

SocketHandlerManager::SocketHandlerManager(WaitMethod method, int wakeUpRefusal)
    : m_method(method) {
    const int wakeUp = m_wakeUp.descriptor();
    if (wakeUp < 0) {
        // Every change from another thread, and every stop, now waits for a turn's time-out.
        ReportSocketFailure("make the wake-up descriptor", m_wakeUp.OpenError());
    }
    if (m_method != WaitMethod::kEpoll) {
        return;
    }
    if (!m_epoll.Open()) {
        m_method = WaitMethod::kPoll;
        return;
    }
    if (wakeUp < 0) {
        return;  // said above; poll would watch nothing more
    }
    // Level-triggered and never one-shot: every waiting turn may see it, and the first to
    // take the lock drains it.
    int errorCode = wakeUpRefusal;
    if (errorCode == 0 && m_epoll.Add(wakeUp, platform::kPollInput, kWakeUpKey, false, errorCode)) {
        return;
    }
    // A set that cannot be woken would hold every change and every stop until its wait
    // times out; poll lists the descriptor in each turn instead.
    m_epoll.Close();
    m_method = WaitMethod::kPoll;
    ReportSocketFailure("watch the wake-up descriptor", errorCode);
}

SocketHandlerManager::~SocketHandlerManager() {
    for (const Registration& registration : m_registrations) {
        registration.entry->Release();
    }
    for (std::atomic<Turn*>& spare : m_spareTurns) {
        delete spare.load(std::memory_order_relaxed);
    }
}

bool SocketHandlerManager::AddHandler(SocketHandler* handler) {
    QAV_TRACE("SHM::AH");
    if (handler == nullptr) {
        return false;
    }
    const int socket = handler->GetSocket();
    if (socket < 0) {
        return false;
    }
    MutualExclusionLock lock(m_lock);
    auto at = LowerBound(m_registrations, socket);
    if (at != m_registrations.end() && at->socket == socket) {
        return false;
    }
    const auto index = at - m_registrations.begin();
    m_registrations.reserve(m_registrations.size() + 1);  // the insert below cannot throw
    if (m_method == WaitMethod::kEpoll) {
        m_recheck.reserve(m_recheck.size() + 1);
    }
    auto* entry = new SocketHandlerEntry(handler, m_waitCounter);
    m_registrations.insert(m_registrations.begin() + index, {socket, entry});
    if (m_method == WaitMethod::kEpoll) {
        // Registered with the kernel by the next turn, which asks its wait events on a
        // thread inside Wait, as every turn does.
        if (++m_lastSerial == 0xFFFFFFFFu || m_lastSerial == 0) {
            m_lastSerial = 1;
        }
        entry->m_socket = socket;
        entry->m_serial = m_lastSerial;
        Recheck(entry);
    }
    lock.Unlock();
    Signal();
    return true;
}

bool SocketHandlerManager::RemoveHandler(SocketHandler* handler) {
    QAV_TRACE("SHM::RH");
    if (handler == nullptr) {
        return false;
    }
    const int socket = handler->GetSocket();
    SocketHandlerEntry* removed = nullptr;
    {
        MutualExclusionLock lock(m_lock);
        auto at = LowerBound(m_registrations, socket);
        // Only the handler's own registration goes: a late removal must not end the
        // registration of a new socket that reuses the descriptor. A handler that has
        // already let its descriptor go is found by a search.
        if (at == m_registrations.end() || at->socket != socket ||
            at->entry->handler() != handler) {
            at = std::find_if(m_registrations.begin(), m_registrations.end(),
                              [handler](const Registration& registration) {
                                  return registration.entry->handler() == handler;
                              });
        }
        if (at == m_registrations.end()) {
            return false;
        }
        removed = at->entry;
        m_registrations.erase(at);
        if (m_method == WaitMethod::kEpoll) {
            Forget(removed);
        }
    }
    // A poll still watching the descriptor would hold on to it (and to a closed one
    // nothing is ever reported) until its time-out. An epoll set let go of it above.
    if (m_method != WaitMethod::kEpoll) {
        Signal();
    }
    // The last reference may destroy the handler, which must not run under the lock.
    removed->Release();
    return true;
}

void SocketHandlerManager::WaitEventsChanged(SocketHandler* handler) {
    if (handler == nullptr) {
        return;
    }
    if (m_method == WaitMethod::kEpoll) {
        MutualExclusionLock lock(m_lock);
        SocketHandlerEntry* entry = FindEntry(handler->GetSocket());
        if (entry == nullptr || entry->handler() != handler) {
            return;
        }
        // A turn that has it asks it anyway when it gives it back.
        if (!entry->m_inTurn) {
            Recheck(entry);
        }
    }
    Signal();
}

void SocketHandlerManager::WakeUp() {
    if (m_method == WaitMethod::kEpoll) {
        m_recheckAll.store(true, std::memory_order_release);
    }
    Signal();
}

void SocketHandlerManager::Signal() {
    if (platform::CurrentThreadId() == m_waitingThread.load(std::memory_order_relaxed)) {
        return;
    }
    // The change is made before this call; the loop takes it when it clears the flag.
    if (m_wakeUpPending.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    if (m_wakeUp.Signal()) {
        m_wakeUps.fetch_add(1, std::memory_order_relaxed);
    }
}

// Signals whoever waits and whatever signal is pending: the wait must end even when the
// stopping thread waited last, or when a turn is about to clear an older signal. The flag
// ends the next turn that would wait, should this call come before its wait.
void SocketHandlerManager::Interrupt() {
    m_interrupted.store(true, std::memory_order_release);
    m_wakeUpPending.store(true, std::memory_order_release);
    if (m_wakeUp.Signal()) {
        m_wakeUps.fetch_add(1, std::memory_order_relaxed);
    }
}

// Called by a turn about to wait, after Wait's drain of the descriptor: an interruption
// that came before the drain ends the turn here, and one that comes later leaves the
// descriptor signalled for the wait. A turn with nothing to wait for leaves the flag to
// the next turn that waits.
bool SocketHandlerManager::TakeInterruption() {
    return m_interrupted.exchange(false, std::memory_order_acq_rel);
}

// Drains first, then clears the flag: a change after the clear signals again, and one
// before it is seen by the turn about to take the sockets.
void SocketHandlerManager::TakeWakeUp() {
    m_wakeUp.Drain();
    m_wakeUpPending.exchange(false, std::memory_order_acq_rel);
}

int64_t SocketHandlerManager::TakeWaitTime() {
    return m_waitTime.exchange(0, std::memory_order_relaxed);
}

int SocketHandlerManager::CallPoll(platform::PollRecord* records, size_t count, int timeoutMs,
                                   int& errorCode) {
    return platform::Poll(records, count, timeoutMs, errorCode);
}

int SocketHandlerManager::CallEpollWait(platform::EpollEvent* events, size_t capacity,
                                        int timeoutMs, int& errorCode) {
    return m_epoll.Wait(events, capacity, timeoutMs, errorCode);
}

int SocketHandlerManager::CallSelect(platform::SelectSets& sets, int timeoutMs, int& errorCode) {
    return platform::Select(sets, timeoutMs, errorCode);
}

int SocketHandlerManager::Wait(int timeoutMs) {
    QAV_TRACE("SHM::Wait");
    const char* szState = "Lock";
    QAV_TRACE_VAR("szState", szState, kTraceText);
    const uint32_t self = platform::CurrentThreadId();
    if (m_waitingThread.load(std::memory_order_relaxed) != self) {
        m_waitingThread.store(self, std::memory_order_relaxed);
    }
    MutualExclusionLock lock(m_lock, timeoutMs);
    if (!lock.IsLocked()) {
        return kBusyOrTimeout;
    }
    // Changes signalled since the last turn are seen by this one's collection.
    if (m_wakeUpPending.load(std::memory_order_acquire)) {
        TakeWakeUp();
    }
    if (m_registrations.empty()) {
        return kNothingToWait;
    }
    Turn* turn = AcquireTurn();
    // Runs on every way out, a handler's exception included: no socket of the turn may
    // stay marked or pending, or no later turn would poll it again.
    struct Cleanup {
        SocketHandlerManager& manager;
        MutualExclusionLock& lock;
        Turn* turn;
        ~Cleanup() {
            if (turn->marked) {
                lock.Relock();
                manager.ClearTurnMarks(*turn);
            }
            if (turn->claimed) {
                // Handled first, so that a turn that gets one of them back finds it free.
                turn->inputs.ClearPending();
                turn->errors.ClearPending();
                turn->outputs.ClearPending();
                lock.Relock();
                manager.RearmTurn(*turn);
            }
            lock.Unlock();
            ReportRefusals(*turn);
            // Releasing may destroy removed handlers: not under the lock.
            turn->inputs.Reset();
            turn->errors.Reset();
            turn->outputs.Reset();
            manager.ReturnTurn(turn);
        }
    } cleanup{*this, lock, turn};

    int handled;
    if (m_method == WaitMethod::kEpoll) {
        handled = WaitWithEpoll(*turn, lock, timeoutMs, szState);
    } else {
        handled = WaitWithPoll(*turn, lock, timeoutMs, szState);
    }
    if (handled != kHandled) {
        return handled;
    }
    lock.Unlock();
    ReportRefusals(*turn);

    szState = "sort inputs";
    turn->inputs.Sort();
    szState = "sort outputs";
    turn->outputs.Sort();
    szState = "sort errors";
    turn->errors.Sort();
    szState = "set indices";
    const uint64_t waitCounter = turn->waitCounter;
    turn->inputs.SetLastServed(waitCounter);
    turn->outputs.SetLastServed(waitCounter);
    turn->errors.SetLastServed(waitCounter);

    // The lists hold the entries, and the entries the handlers, so a handler that removes
    // itself meanwhile still gets the rest of this turn's calls.
    szState = "handle inputs";
    HandlerEventList& inputs = turn->inputs;
    for (size_t i = 0; i < inputs.size(); ++i) {
        SocketHandler* handler = inputs.handler(i);
        const intptr_t value = handler->HandleInput();
        inputs.MarkHandled(i);
        handler->ProcessInput(value);
    }
    szState = "handle errors";
    HandlerEventList& errors = turn->errors;
    for (size_t i = 0; i < errors.size(); ++i) {
        errors.handler(i)->HandleError();
        errors.MarkHandled(i);
    }
    szState = "handle outputs";
    HandlerEventList& outputs = turn->outputs;
    for (size_t i = 0; i < outputs.size(); ++i) {
        outputs.handler(i)->HandleOutput();
        outputs.MarkHandled(i);
    }
    return kHandled;
}

// REQUIRES: m_lock held by `lock`. Returns with it held after kHandled.
int SocketHandlerManager::WaitWithPoll(Turn& turn, MutualExclusionLock& lock, int timeoutMs,
                                       const char*& szState) {
    const bool usePoll = m_method == WaitMethod::kPoll;
    szState = usePoll ? "prepare for poll" : "prepare for select";
    if (!TakeSockets(turn)) {
        return kNothingToWait;
    }
    if (TakeInterruption()) {
        ClearTurnMarks(turn);
        return kBusyOrTimeout;
    }
    szState = usePoll ? "unlock before poll" : "unlock before select";
    lock.Unlock();
    szState = usePoll ? "get raw time before poll" : "get raw time before select";
    const int64_t before = Stopwatch::ReadRawClock();
    int errorCode = 0;
    int result;
    if (usePoll) {
        szState = "poll";
        result = CallPoll(turn.records.data(), turn.records.size(), timeoutMs, errorCode);
    } else {
        szState = "select";
        result = CallSelect(turn.sets, timeoutMs, errorCode);
    }
    szState = usePoll ? "get raw time after poll" : "get raw time after select";
    const int64_t after = Stopwatch::ReadRawClock();
    szState = usePoll ? "lock after poll" : "lock after select";
    lock.Relock();
    if (after > before) {  // a tick count that wrapped adds nothing
        m_waitTime.fetch_add(after - before, std::memory_order_relaxed);
    }

    if (result < 0) {
        m_lastSocketError.store(errorCode, std::memory_order_relaxed);
        ClearTurnMarks(turn);
        lock.Unlock();
        ReportSocketFailure(usePoll ? "poll" : "select", errorCode);
        return kFailed;
    }
    if (result > 0 && turn.records.size() > turn.taken.size()) {
        const platform::PollRecord& wakeUp = turn.records.back();
        const bool woken = usePoll
                               ? wakeUp.returnedEvents != 0
                               : turn.sets.Contains(wakeUp.descriptor, platform::SelectSets::kRead);
        if (woken) {
            TakeWakeUp();
            --result;  // no socket's event: the next turn polls with the new events
        }
    }
    if (result == 0) {
        return kBusyOrTimeout;
    }
    turn.waitCounter = ++m_waitCounter;
    szState = usePoll ? "set handlers for poll result" : "set handlers for select result";
    CollectResults(turn, usePoll);
    ClearTurnMarks(turn);
    return kHandled;
}

// REQUIRES: m_lock held by `lock`. Returns with it held after kHandled. The trace states
// are the poll variant's: epoll_wait is this system's poll.
int SocketHandlerManager::WaitWithEpoll(Turn& turn, MutualExclusionLock& lock, int timeoutMs,
                                        const char*& szState) {
    szState = "prepare for poll";
    turn.self = platform::CurrentThreadId();
    RecheckWaitEvents(turn);
    const bool refusedOnes = turn.errors.size() != 0;
    if (m_armedCount == 0 && !refusedOnes) {
        return kNothingToWait;
    }
    if (!refusedOnes && TakeInterruption()) {
        return kBusyOrTimeout;
    }
    szState = "unlock before poll";
    lock.Unlock();
    szState = "get raw time before poll";
    const int64_t before = Stopwatch::ReadRawClock();
    int errorCode = 0;
    szState = "poll";
    // Sockets refused by the kernel are due their error now: no sleeping before it.
    int result =
        CallEpollWait(turn.events, kEpollEventsPerTurn, refusedOnes ? 0 : timeoutMs, errorCode);
    szState = "get raw time after poll";
    const int64_t after = Stopwatch::ReadRawClock();
    szState = "lock after poll";
    lock.Relock();
    if (after > before) {  // a tick count that wrapped adds nothing
        m_waitTime.fetch_add(after - before, std::memory_order_relaxed);
    }
    if (result < 0) {
        m_lastSocketError.store(errorCode, std::memory_order_relaxed);
        lock.Unlock();
        ReportSocketFailure("poll", errorCode);
        // Sockets refused meanwhile, if any, are tried again by the next turns; their
        // handlers were told of it only when the wait itself does not fail too.
        return kFailed;
    }
    szState = "set handlers for poll result";
    CollectEpollResults(turn, static_cast<size_t>(result), result);
    if (result == 0 && !refusedOnes) {
        return kBusyOrTimeout;
    }
    turn.waitCounter = ++m_waitCounter;
    return kHandled;
}

// "watch socket" is a step of our own beside "poll": poll registers nothing, so no step of
// the system's names a registration the kernel refused.
void SocketHandlerManager::ReportRefusals(Turn& turn) {
    for (const int errorCode : turn.refusals) {
        ReportSocketFailure("watch socket", errorCode);
    }
    turn.refusals.clear();
}

// REQUIRES: m_lock held.
void SocketHandlerManager::Recheck(SocketHandlerEntry* entry) {
    if (!entry->m_inRecheck) {
        entry->m_inRecheck = true;
        m_recheck.push_back(entry);
    }
}

// REQUIRES: m_lock held. The entry is no longer among the registrations.
void SocketHandlerManager::Forget(SocketHandlerEntry* entry) {
    entry->m_registered = false;
    if (entry->m_inRecheck) {
        entry->m_inRecheck = false;
        std::erase(m_recheck, entry);
    }
    if (entry->m_kernelState == KernelState::kArmed) {
        --m_armedCount;
    }
    if (entry->m_kernelState != KernelState::kOutside) {
        // Fails only when the descriptor was closed first, which ended the registration.
        int errorCode = 0;
        m_epoll.Remove(entry->m_socket, errorCode);
        entry->m_kernelState = KernelState::kOutside;
    }
}

// REQUIRES: m_lock held.
bool SocketHandlerManager::ApplyWaitEvents(Turn& turn, SocketHandlerEntry* entry, uint32_t events) {
    const int socket = entry->m_socket;
    const uint32_t wanted =
        ((events & SocketHandler::kWaitInput) != 0 ? platform::kPollInput : 0) |
        ((events & SocketHandler::kWaitOutput) != 0 ? platform::kPollOutput : 0);
    const KernelState state = entry->m_kernelState;
    if (wanted == 0) {
        // Not polled: a registration left armed would still report errors and hang-ups.
        if (state == KernelState::kArmed) {
            --m_armedCount;
            int errorCode = 0;
            m_epoll.Remove(socket, errorCode);
            entry->m_kernelState = KernelState::kOutside;
        }
        entry->m_watchRefused = false;
        return true;
    }
    if (state == KernelState::kArmed && entry->m_armedEvents == wanted) {
        return false;
    }
    const uint64_t key = EpollKey(socket, entry->m_serial);
    int errorCode = 0;
    bool watched = state == KernelState::kOutside
                       ? m_epoll.Add(socket, wanted, key, true, errorCode)
                       : m_epoll.Modify(socket, wanted, key, true, errorCode);
    if (!watched && state != KernelState::kOutside && errorCode == ENOENT) {
        // Its descriptor was closed, and the kernel's registration with it, while the
        // handler stayed registered: the number is the handler's still, as poll sees it.
        watched = m_epoll.Add(socket, wanted, key, true, errorCode);
    }
    if (state == KernelState::kArmed) {
        --m_armedCount;
    }
    if (!watched) {
        entry->m_kernelState =
            state == KernelState::kOutside ? KernelState::kOutside : KernelState::kSilent;
        if (!entry->m_watchRefused) {
            entry->m_watchRefused = true;
            entry->m_errorDue = true;
            turn.refusals.push_back(errorCode);
        }
        return true;
    }
    entry->m_kernelState = KernelState::kArmed;
    entry->m_armedEvents = wanted;
    entry->m_watchRefused = false;
    ++m_armedCount;
    return false;
}

// REQUIRES: m_lock held.
void SocketHandlerManager::RecheckWaitEvents(Turn& turn) {
    if (m_recheckAll.exchange(false, std::memory_order_acq_rel)) {
        for (size_t i = 0; i < m_registrations.size(); ++i) {
            SocketHandlerEntry* entry = m_registrations[i].entry;
            if (!entry->m_inTurn) {
                Recheck(entry);
            }
        }
    }
    // Taken out first, and walked by index: a handler that registers or removes a socket
    // from GetWaitEvents, against the rules, must not send this walk into freed storage.
    turn.recheck.swap(m_recheck);
    for (size_t i = 0; i < turn.recheck.size(); ++i) {
        SocketHandlerEntry* entry = turn.recheck[i];
        entry->m_inRecheck = false;
        if (entry->m_inTurn) {
            continue;  // the turn that has it asks it when it gives it back
        }
        if (!entry->m_errorDue &&
            !ApplyWaitEvents(turn, entry, entry->handler()->GetWaitEvents())) {
            continue;  // watched as it wants
        }
        if (entry->m_errorDue) {
            // Refused by the kernel: its handler hears of it now, as of a descriptor that
            // poll finds invalid, and the turn that gives it back tries again.
            entry->m_errorDue = false;
            entry->m_inTurn = true;
            turn.claimed = true;
            turn.errors.Add(entry);
        } else {
            Recheck(entry);  // it waits for nothing, or is still refused
        }
    }
    turn.recheck.clear();
}

// REQUIRES: m_lock held.
void SocketHandlerManager::CollectEpollResults(Turn& turn, size_t count, int& result) {
    for (size_t i = 0; i < count; ++i) {
        const platform::EpollEvent& event = turn.events[i];
        if (event.key == kWakeUpKey) {
            TakeWakeUp();
            --result;  // no socket's event: the next turn waits with the new events
            continue;
        }
        // An event of a registration since ended, whose descriptor a new socket has now,
        // carries the old serial; one for a socket that another turn or the recheck took
        // meanwhile finds it no longer armed.
        const int socket = static_cast<int>(static_cast<uint32_t>(event.key));
        SocketHandlerEntry* entry = FindEntry(socket);
        if (entry == nullptr || entry->m_serial != static_cast<uint32_t>(event.key >> 32) ||
            entry->m_kernelState != KernelState::kArmed || entry->m_inTurn) {
            continue;
        }
        // The one-shot is spent: nothing more comes until RearmTurn.
        entry->m_kernelState = KernelState::kSilent;
        --m_armedCount;
        entry->m_inTurn = true;
        turn.claimed = true;
        if ((event.events & platform::kPollInput) != 0) {
            turn.inputs.Add(entry);
        }
        if ((event.events & platform::kPollOutput) != 0) {
            turn.outputs.Add(entry);
        }
        if ((event.events & platform::kPollFailure) != 0) {
            turn.errors.Add(entry);
        }
    }
}

// REQUIRES: m_lock held; the lists' pending bits cleared.
void SocketHandlerManager::RearmTurn(Turn& turn) {
    for (HandlerEventList* list : {&turn.inputs, &turn.errors, &turn.outputs}) {
        for (size_t i = 0; i < list->size(); ++i) {
            SocketHandlerEntry* entry = list->entry(i);
            if (!entry->m_inTurn) {
                continue;  // in an earlier list
            }
            entry->m_inTurn = false;
            if (!entry->m_registered) {
                continue;
            }
            // GetWaitEvents decides from the next turn on: asked now, with the handler's
            // calls of this turn over.
            if (ApplyWaitEvents(turn, entry, entry->handler()->GetWaitEvents())) {
                Recheck(entry);
            }
        }
    }
    turn.claimed = false;
}

// REQUIRES: m_lock held.
bool SocketHandlerManager::TakeSockets(Turn& turn) {
    const bool usePoll = m_method == WaitMethod::kPoll;
    turn.self = platform::CurrentThreadId();
    turn.records.clear();
    turn.taken.clear();
    turn.records.reserve(m_registrations.size());
    turn.taken.reserve(m_registrations.size());
    if (!usePoll) {
        turn.sets.Clear();
    }
    // By index: a handler that registers or removes a socket from GetWaitEvents, against
    // the rules, must not send this walk into freed storage.
    for (size_t i = 0; i < m_registrations.size(); ++i) {
        const Registration registration = m_registrations[i];
        SocketHandlerEntry* entry = registration.entry;
        if (entry->m_flags.load(std::memory_order_acquire) != 0) {
            continue;  // in another turn, or its events are still being handled
        }
        const uint32_t events = entry->handler()->GetWaitEvents();
        const bool input = (events & SocketHandler::kWaitInput) != 0;
        const bool output = (events & SocketHandler::kWaitOutput) != 0;
        if (!input && !output) {
            continue;
        }
        if (!usePoll) {
            // No exception set: on this system it reports only out-of-band data, which is
            // no error, and a socket's failures show as readiness to read or write.
            using platform::SelectSets;
            const uint32_t sets = (input ? uint32_t{SelectSets::kRead} : 0u) |
                                  (output ? uint32_t{SelectSets::kWrite} : 0u);
            if (!turn.sets.Add(registration.socket, sets)) {
                continue;  // beyond what a set holds: not watched this turn
            }
        }
        turn.records.push_back({registration.socket,
                                static_cast<uint16_t>((input ? platform::kPollInput : 0) |
                                                      (output ? platform::kPollOutput : 0)),
                                0});
        turn.taken.push_back(entry);
        entry->m_ownerThread.store(turn.self, std::memory_order_relaxed);
        entry->m_flags.store(kTaken, std::memory_order_relaxed);
        turn.marked = true;
    }
    if (!usePoll && turn.sets.SkippedCount() != 0) {
        m_skippedSockets.fetch_add(turn.sets.SkippedCount(), std::memory_order_relaxed);
    }
    if (turn.taken.empty()) {
        return false;
    }
    // Last, behind the sockets' records, so that record i still belongs to taken[i].
    const int wakeUp = m_wakeUp.descriptor();
    if (wakeUp >= 0 && (usePoll || turn.sets.Add(wakeUp, platform::SelectSets::kRead))) {
        turn.records.push_back({wakeUp, platform::kPollInput, 0});
    }
    return true;
}

// REQUIRES: m_lock held.
void SocketHandlerManager::CollectResults(Turn& turn, bool usePoll) {
    for (size_t i = 0; i < turn.taken.size(); ++i) {
        const platform::PollRecord& record = turn.records[i];
        uint16_t events = record.returnedEvents;
        if (!usePoll) {
            using platform::SelectSets;
            events = static_cast<uint16_t>(
                (turn.sets.Contains(record.descriptor, SelectSets::kRead) ? platform::kPollInput
                                                                          : 0) |
                (turn.sets.Contains(record.descriptor, SelectSets::kWrite) ? platform::kPollOutput
                                                                           : 0));
        }
        if (events == 0) {
            continue;
        }
        // The socket may have been removed during the wait, and its descriptor reused by a
        // new registration that this turn never took: only the very entry taken, still
        // registered, gets the events. (Its pointer alone could name a new entry built in
        // the freed place; the mark tells them apart.)
        SocketHandlerEntry* entry = FindEntry(record.descriptor);
        if (entry == nullptr || entry != turn.taken[i] ||
            (entry->m_flags.load(std::memory_order_relaxed) & kTaken) == 0 ||
            entry->m_ownerThread.load(std::memory_order_relaxed) != turn.self) {
            continue;
        }
        if ((events & platform::kPollInput) != 0) {
            turn.inputs.Add(entry);
        }
        if ((events & platform::kPollOutput) != 0) {
            turn.outputs.Add(entry);
        }
        if ((events & platform::kPollFailure) != 0) {
            turn.errors.Add(entry);
        }
    }
}

// REQUIRES: m_lock held. Entries removed since they were taken are gone from the
// registrations and need no clearing: no turn takes them again.
void SocketHandlerManager::ClearTurnMarks(Turn& turn) {
    QAV_TRACE("SHM::UPF");
    for (const Registration& registration : m_registrations) {
        SocketHandlerEntry* entry = registration.entry;
        const uint32_t flags = entry->m_flags.load(std::memory_order_relaxed);
        if ((flags & kTaken) != 0 &&
            entry->m_ownerThread.load(std::memory_order_relaxed) == turn.self) {
            entry->m_ownerThread.store(kNoOwner, std::memory_order_relaxed);
            entry->m_flags.store(flags & ~kTaken, std::memory_order_release);
        }
    }
    turn.marked = false;
}

// REQUIRES: m_lock held.
SocketHandlerEntry* SocketHandlerManager::FindEntry(int socket) const {
    auto at = LowerBound(m_registrations, socket);
    return at != m_registrations.end() && at->socket == socket ? at->entry : nullptr;
}

SocketHandlerManager::Turn* SocketHandlerManager::AcquireTurn() {
    for (std::atomic<Turn*>& spare : m_spareTurns) {
        if (Turn* turn = spare.exchange(nullptr, std::memory_order_acquire)) {
            return turn;
        }
    }
    return new Turn;
}

void SocketHandlerManager::ReturnTurn(Turn* turn) {
    for (std::atomic<Turn*>& spare : m_spareTurns) {
        Turn* empty = nullptr;
        if (spare.compare_exchange_strong(empty, turn, std::memory_order_release,
                                          std::memory_order_relaxed)) {
            return;
        }
    }
    delete turn;
}

}  // namespace qav
