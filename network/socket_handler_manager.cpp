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

    // Ends the turn for this list, also when a handler threw: the entries not handled yet
    // lose their pending bit, then every reference goes. The storage stays for the next
    // turn.
    void Reset() {
        for (size_t i = m_handled; i < m_items.size(); ++i) {
            m_items[i].entry->m_flags.fetch_and(~m_kind, std::memory_order_release);
        }
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
    uint32_t self = kNoOwner;
    bool marked = false;  // some entry may still carry this turn's kTaken
};

SocketHandlerManager::SocketHandlerManager(WaitMethod method) : m_method(method) {}

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
    m_registrations.insert(m_registrations.begin() + index,
                           {socket, new SocketHandlerEntry(handler, m_waitCounter)});
    lock.Unlock();
    WakeUp();
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
    }
    // A poll still watching the descriptor would hold on to it (and to a closed one
    // nothing is ever reported) until its time-out.
    WakeUp();
    // The last reference may destroy the handler, which must not run under the lock.
    removed->Release();
    return true;
}

void SocketHandlerManager::WakeUp() {
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
            lock.Unlock();
            // Releasing may destroy removed handlers: not under the lock.
            turn->inputs.Reset();
            turn->errors.Reset();
            turn->outputs.Reset();
            manager.ReturnTurn(turn);
        }
    } cleanup{*this, lock, turn};

    const bool usePoll = m_method == WaitMethod::kPoll;
    szState = usePoll ? "prepare for poll" : "prepare for select";
    if (!TakeSockets(*turn)) {
        return kNothingToWait;
    }
    szState = usePoll ? "unlock before poll" : "unlock before select";
    lock.Unlock();
    szState = usePoll ? "get raw time before poll" : "get raw time before select";
    const int64_t before = Stopwatch::ReadRawClock();
    int errorCode = 0;
    int result;
    if (usePoll) {
        szState = "poll";
        result = CallPoll(turn->records.data(), turn->records.size(), timeoutMs, errorCode);
    } else {
        szState = "select";
        result = CallSelect(turn->sets, timeoutMs, errorCode);
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
        ClearTurnMarks(*turn);
        lock.Unlock();
        ReportSocketFailure(usePoll ? "poll" : "select", errorCode);
        return kFailed;
    }
    if (result > 0 && turn->records.size() > turn->taken.size()) {
        const platform::PollRecord& wakeUp = turn->records.back();
        const bool woken =
            usePoll ? wakeUp.returnedEvents != 0
                    : turn->sets.Contains(wakeUp.descriptor, platform::SelectSets::kRead);
        if (woken) {
            TakeWakeUp();
            --result;  // no socket's event: the next turn polls with the new events
        }
    }
    if (result == 0) {
        return kBusyOrTimeout;
    }
    const uint64_t waitCounter = ++m_waitCounter;
    szState = usePoll ? "set handlers for poll result" : "set handlers for select result";
    CollectResults(*turn, usePoll);
    ClearTurnMarks(*turn);
    lock.Unlock();

    szState = "sort inputs";
    turn->inputs.Sort();
    szState = "sort outputs";
    turn->outputs.Sort();
    szState = "sort errors";
    turn->errors.Sort();
    szState = "set indices";
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
