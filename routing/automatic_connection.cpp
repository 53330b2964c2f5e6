#include "routing/automatic_connection.h"

#include <algorithm>
#include <random>
#include <utility>

#include "connection/connection_set.h"
#include "core/log_message.h"
#include "core/stopwatch.h"
#include "core/text_logger.h"
#include "network/network_interfaces.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "routing/network_packets_manager.h"
#include "webserver/guest_monitor_channels_map.h"
#include "webserver/streams_map.h"

namespace qav {

// The scheduled jobs of every automatic connection. A job names its connection by a
// token, and the connection is held here, with a reference, while its job waits: the job
// keeps the object alive, and a job that is removed or outlives its object finds nothing.
// The job's second parameter tells which of the connection's jobs it is. One object for
// the process that is never destroyed, because the scheduler may call a job's Abort after
// its run when a removal met it running.
class AutomaticConnectionJob final : public ScheduledJob {
  public:
    static AutomaticConnectionJob& Instance() {
        static AutomaticConnectionJob* const job = new AutomaticConnectionJob;
        return *job;
    }

    // A token for a new job; never 0.
    uint32_t Keep(AutomaticConnection* connection) {
        MutualExclusionLock lock(m_mutex);
        do {
            ++m_lastToken;
        } while (m_lastToken == 0 || m_kept.count(m_lastToken) != 0);
        m_kept[m_lastToken] = connection;
        return m_lastToken;
    }

    // The connection of the token, taken out; null when its job already ran or went.
    RefPtr<AutomaticConnection> Take(uint32_t token) {
        MutualExclusionLock lock(m_mutex);
        auto it = m_kept.find(token);
        if (it == m_kept.end()) {
            return nullptr;
        }
        RefPtr<AutomaticConnection> connection = std::move(it->second);
        m_kept.erase(it);
        return connection;
    }

    void Run(Scheduler&, uint32_t token, uint32_t kind, bool& again) override {
        again = false;
        if (RefPtr<AutomaticConnection> connection = Take(token)) {
            connection->RunJob(token, kind);
        }
    }

    // The reference goes here, outside the lock.
    void Abort(Scheduler&, uint32_t token, uint32_t) override { Take(token); }

    // Takes the job of the token out of the scheduler and drops its reference.
    void Remove(Scheduler* scheduler, uint32_t token, uint32_t kind) {
        if (scheduler != nullptr) {
            while (scheduler->RemoveTasks2(this, nullptr, token, kind)) {
            }
        }
        Take(token);
    }

  private:
    AutomaticConnectionJob() = default;

    MutualExclusion m_mutex;
    std::map<uint32_t, RefPtr<AutomaticConnection>> m_kept;  // guarded by m_mutex
    uint32_t m_lastToken = 0;                                // guarded by m_mutex
};

namespace {

constexpr const char* kReplayJobName = "Automatic connection replay";
constexpr const char* kAttemptCheckJobName = "Automatic connection attempts";

// The host's sink when it admits `severity`, held for the report at hand.
RefPtr<LogSinkLink::Logger> HostLoggerFor(AutomaticConnectionHost* host, int severity) {
    RefPtr<LogSinkLink> link = host != nullptr ? host->GetLogSinkLink() : nullptr;
    return link ? link->LoggerFor(severity) : nullptr;
}

// A local address is named by its interface when it has one.
void AddSource(LogMessage& message, const std::string& localAddress, const WString& interfaceName) {
    if (interfaceName.empty()) {
        message.AddParameterString(u"Source Address", localAddress);
    } else {
        message.AddParameter(u"Interface", interfaceName);
    }
}

bool IsLoopbackAddressText(const std::string& text) {
    uint32_t address = 0;
    if (platform::ParseDottedAddress(text.c_str(), address)) {
        // Network byte order: the first octet is the first byte in memory.
        return reinterpret_cast<const uint8_t*>(&address)[0] == 127;
    }
    if (text.size() != 9) {
        return false;
    }
    static constexpr char kLocalHost[] = "localhost";
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != kLocalHost[i]) {
            return false;
        }
    }
    return true;
}

// The best rank of all, but it reaches no other machine.
bool IsLoopbackLocalAddress(int32_t priority, int32_t interfaceType, const std::string& address) {
    return priority == kInterfaceRankLocalHost || interfaceType == kNetworkInterfaceLocalHost ||
           IsLoopbackAddressText(address);
}

// Whether a context bound to (`address`, `name`) is the one a lost (`lostAddress`,
// `lostName`) leaves without a path, or the one an address retry kept for them is for.
// An address that moved to another interface is announced new on that one before it is
// announced lost on the old one, so the name tells the context of the old interface from
// the one just opened on the new.
bool UsesLostAddress(const std::string& address, const WString& name,
                     const std::string& lostAddress, const WString& lostName) {
    return address == lostAddress && (name.empty() || lostName.empty() || name == lostName);
}

}  // namespace

AutomaticConnection::AutomaticConnection(AutomaticConnectionHost* host, PlatformServices* services,
                                         AutomaticConnectionTarget target,
                                         ConnectionStateObserver* observer)
    : m_services(services), m_target(std::move(target)), m_host(host), m_observer(observer) {}

AutomaticConnection::~AutomaticConnection() {
    DisconnectAll();
}

RefPtr<ConnectionStream> AutomaticConnection::CreateTcpStream(PlatformServices* services) {
    RefPtr<ReliableConnection> connection = services->CreateReliableConnection();
    if (!connection) {
        return nullptr;
    }
    if (RefPtr<AutomaticConnectionHost> host = GetHost()) {
        connection->SetLivenessTime(host->GetDisconnectionTime());
    }
    return RefPtr<ConnectionStream>(connection.get());
}

uint32_t AutomaticConnection::DrawRandom() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<uint32_t>(generator());
}

int64_t AutomaticConnection::JitteredDelay(int64_t delay, uint32_t draw) {
    // delay * (1 - share + 2 * share * draw / 2^32), in integers; the delays are at most
    // a minute of microseconds, far from overflowing.
    const int64_t spread = delay * kJitterPercent / 100;
    return delay - spread + static_cast<int64_t>((static_cast<uint64_t>(2 * spread) * draw) >> 32);
}

int64_t AutomaticConnection::Now() {
    return Stopwatch::RawToMicroseconds(Stopwatch::ReadRawClock());
}

RefPtr<AutomaticConnectionHost> AutomaticConnection::GetHost() const {
    MutualExclusionLock lock(m_mutex);
    return m_host;
}

bool AutomaticConnection::Start() {
    RefPtr<AutomaticConnection> self(this);
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host || host->IsStopping() || m_services == nullptr) {
        return false;
    }
    {
        MutualExclusionLock lock(m_mutex);
        if (m_started || m_disconnected) {
            return false;
        }
        m_started = true;
    }
    NetworkPacketsManager& packets = host->GetNetworkPacketsManager();
    if (!packets.AddAddressListener(m_services, this)) {
        return false;
    }
    // The first replay runs on the polling thread like every other operation.
    if (!ScheduleReplay(false)) {
        if (RefPtr<NetworkReceiverEntry> entry = packets.FindEntry(m_services)) {
            entry->RemoveAddressListener(this);
        }
        return false;
    }
    return true;
}

void AutomaticConnection::SetConnectionParameters(const MonitorIdentification* identification) {
    MutualExclusionLock lock(m_mutex);
    if (identification == nullptr) {
        m_identification.reset();
    } else if (!m_identification || &*m_identification != identification) {
        m_identification = *identification;
    }
}

void AutomaticConnection::SetMonitorLink(MonitorLink* monitor) {
    RefPtr<MonitorLink> old(monitor);
    MutualExclusionLock lock(m_mutex);
    std::swap(old, m_monitor);
    // `old` is released with the lock let go.
}

void AutomaticConnection::Log(int severity, const char16_t* text, const std::string& localAddress,
                              const WString& interfaceName) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (auto logger = HostLoggerFor(host.get(), severity)) {
        LogMessage message(text);
        AddSource(message, localAddress, interfaceName);
        message.AddParameterString(u"Target Address", m_target.address);
        logger->Log(severity, message);
    }
}

void AutomaticConnection::HandleNewInterface(PlatformServices* services,
                                             const WString& interfaceName, int32_t interfaceType,
                                             int32_t priority, const std::string& address) {
    RefPtr<AutomaticConnection> self(this);
    OpenAddress(services, interfaceName, interfaceType, priority, address, false);
}

bool AutomaticConnection::OpenAddress(PlatformServices* services, const WString& interfaceName,
                                      int32_t interfaceType, int32_t priority,
                                      const std::string& address, bool dueRetry) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host || services != m_services) {
        return false;
    }
    if (IsLoopbackLocalAddress(priority, interfaceType, address) &&
        !IsLoopbackAddressText(m_target.address)) {
        Log(kSeverityStatus, u"Automatic connection ignoring loopback address", address,
            interfaceName);
        return false;
    }
    int32_t current = -1;
    bool wanted = false;
    bool waiting = false;
    std::optional<MonitorIdentification> identification;
    RefPtr<MonitorLink> monitor;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return false;
        }
        current = m_currentPriority;
        wanted = m_connectionIds.empty() || m_target.allPaths || priority < current;
        // An address waits for its own back-off, also while its attempt is under way or
        // its path is up; but not when it has moved to another interface. The others'
        // back-offs do not hold it back.
        if (wanted && !dueRetry) {
            auto retry = m_addressRetries.find(address);
            waiting = retry != m_addressRetries.end() && Now() < retry->second.dueAt &&
                      UsesLostAddress(address, interfaceName, address, retry->second.interfaceName);
        }
        identification = m_identification;
        monitor = m_monitor;
    }
    if (!wanted) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic connection found new lower priority network address");
            message.AddParameterString(u"Target Address", m_target.address);
            AddSource(message, address, interfaceName);
            message.AddParameterInt(u"Current connection priority", current);
            logger->Log(kSeverityWarning, message);
        }
        return false;
    }
    if (waiting || host->IsStopping()) {
        return false;
    }
    ConnectionSet& set = host->GetConnectionSet();
    const char* target = m_target.address.c_str();
    if (RefPtr<ConnectionContext> existing =
            set.FindMatchingContext(services, interfaceName.c_str(), address.c_str(), target,
                                    m_target.tcpPort, m_target.udpPort)) {
        const int severity = existing->IsValid() ? kSeverityWarning : kSeverityStatus;
        if (auto logger = HostLoggerFor(host.get(), severity)) {
            LogMessage message(u"Automatic connection ignoring existing context");
            AddSource(message, address, interfaceName);
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterBool(u"Connected", existing->IsConnected());
            message.AddParameterBool(u"Valid", existing->IsValid());
            logger->Log(severity, message);
        }
        return false;
    }
    Log(kSeverityWarning, u"Connecting to server", address, interfaceName);

    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    const bool tcp = m_target.transportKind == AutomaticConnectionTarget::kTransportTcp;
    bool pollNow = false;
    bool startConversation = false;
    if (tcp) {
        RefPtr<ConnectionStream> stream = CreateTcpStream(services);
        if (!stream) {
            return false;
        }
        stream->SetAddress(address.c_str());
        stream->SetName(interfaceName.c_str());
        context->SetTransportKind(ConnectionContext::kTransportAutomaticTcp);
        context->MergeConnectionType(1);
        if (!context->SetTcpConnectionParameters(host->GetConnectionEventSink(), stream.get(), 0,
                                                 target, "", m_target.tcpPort, 0,
                                                 host->GetLogSinkLink().get(), services,
                                                 m_target.connectionFormat, m_target.client)) {
            return false;
        }
        context->SetLocalAddress(address);
        context->SetNetworkInterfaceName(interfaceName);
        context->SetTcpContextWord(m_target.tcpContextWord);
        pollNow = true;
    } else {
        if (!context->SetUdpConnectionParameters(host->GetConnectionEventSink(), 0, target, "",
                                                 m_target.udpPort, host->GetLogSinkLink().get(),
                                                 services, 2)) {
            return false;
        }
        context->SetLocalAddress(address);
        context->SetNetworkInterfaceName(interfaceName);
        if (!context->InitPacketSession(startConversation)) {
            return false;
        }
        if (m_target.client) {
            context->StartClientPacketStream();
            pollNow = true;
        } else if (m_target.transportKind == 0) {
            RefPtr<RefCounted> packetStream;
            context->StartPacketStream(packetStream, 1);
            pollNow = true;
        }
    }
    context->MarkAutomatic();
    context->SetOwner(this);
    context->SetPriority(priority);
    context->SetInterfaceType(interfaceType);
    context->GetReceiveTimeouts().Set(host->GetDisconnectionTime(), 0);
    if (identification) {
        context->SetServerRecord(&*identification);
    }
    if (monitor) {
        context->SetMonitorId(monitor->GetId());
        context->SetAttachedObject(monitor->GetAttachedObject());
        monitor->AddConnection();
    }

    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return false;
        }
        m_pendingContexts[context->GetContextId()] = {context, priority, Now(), address};
        ++m_openedCount;
        // Its retry time moves on when the attempt ends.
        if (auto retry = m_addressRetries.find(address); retry != m_addressRetries.end()) {
            retry->second.dueAt = AddressRetry::kNotDue;
        }
    }
    ScheduleAttemptCheck();
    if (!set.AddContext(context.get())) {
        // Never listed, so no one else would end it.
        context->ReportEnded();
        return true;
    }
    bool disconnected = false;
    {
        MutualExclusionLock lock(m_mutex);
        disconnected = m_disconnected;
    }
    if (disconnected) {
        // A Disconnect on another thread looked for it before it was in the set.
        set.Disconnect(context.get());
        return true;
    }
    if (pollNow) {
        if (!context->OnSocketPoll() && tcp) {
            // The connect failed at once: its end counts as a failed attempt.
            set.Disconnect(context.get());
        }
    } else if (startConversation) {
        context->StartMessageClientConversation();
    }
    return true;
}

void AutomaticConnection::HandleLostLocalAddress(PlatformServices* services,
                                                 const WString& interfaceName,
                                                 int32_t /*interfaceType*/, int32_t /*priority*/,
                                                 const std::string& address) {
    RefPtr<AutomaticConnection> self(this);
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host || services != m_services) {
        return;
    }
    ConnectionSet& set = host->GetConnectionSet();

    // What used the address is dropped, not failed: its end counts for nothing. The
    // contexts are read without the lock, then taken out under it if still there.
    std::vector<RefPtr<ConnectionContext>> candidates;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return;
        }
        for (const auto& [id, attempt] : m_pendingContexts) {
            candidates.push_back(attempt.context);
        }
        if (auto it = m_connectionsByAddress.find(address); it != m_connectionsByAddress.end()) {
            candidates.push_back(it->second.context);
        }
    }
    std::erase_if(candidates, [&](const RefPtr<ConnectionContext>& context) {
        return !UsesLostAddress(context->GetLocalAddress(), context->GetNetworkInterfaceName(),
                                address, interfaceName);
    });
    std::vector<RefPtr<ConnectionContext>> attempts;
    std::vector<EndedPath> paths;
    bool nowEmpty = false;
    {
        MutualExclusionLock lock(m_mutex);
        const int64_t now = Now();
        for (const RefPtr<ConnectionContext>& context : candidates) {
            EndedPath path;
            if (RefPtr<ConnectionContext> attempt = DropAttemptLocked(context->GetContextId())) {
                attempts.push_back(std::move(attempt));
            } else if (TakePathLocked(context.get(), now, false, path)) {
                QueueStateChangeLocked(path.context, path.localAddress, path.priority, false);
                paths.push_back(std::move(path));
            }
        }
        // Nothing is left to retry there.
        m_addressRetries.erase(address);
        nowEmpty = m_connectionIds.empty();
    }
    for (const RefPtr<ConnectionContext>& context : attempts) {
        set.Disconnect(context.get());
    }
    EndPaths(paths, &set);
    FollowEndedPaths(paths, nowEmpty);
}

void AutomaticConnection::HandleConnectionStateChange(ConnectionContext* context,
                                                      const std::string& localAddress,
                                                      int32_t priority, bool connected) {
    RefPtr<AutomaticConnection> self(this);
    // The context may lose its last other reference here.
    const RefPtr<ConnectionContext> held(context);
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (context == nullptr || !host) {
        return;
    }
    if (!connected) {
        HandleContextEnded(context);
        return;
    }
    ConnectionSet& set = host->GetConnectionSet();
    const int32_t id = context->GetContextId();
    if (!set.FindContextById(id)) {
        // Disconnected while its connect was under way; its end is handled on its own.
        return;
    }
    const WString interfaceName = context->GetNetworkInterfaceName();
    // References taken out of the containers are released with the lock let go.
    RefPtr<ConnectionContext> taken;
    bool rejected = false;
    int32_t current = -1;
    std::vector<EndedPath> replaced;
    uint32_t cancelledJob = 0;
    {
        MutualExclusionLock lock(m_mutex);
        // A context that ended meanwhile is not taken for a path: its end, heard now or
        // soon, finds its attempt. The flag is set before its owner is told, and the
        // owner's handling of the end waits for this lock.
        if (m_disconnected || context->HasEnded()) {
            return;
        }
        const int64_t now = Now();
        current = m_currentPriority;
        if (!m_connectionIds.empty()) {
            if (m_connectionIds.count(id) != 0) {
                return;
            }
            if (!m_target.allPaths) {
                if (current < priority) {
                    rejected = true;
                    taken = DropAttemptLocked(id);
                } else if (current > priority) {
                    while (!m_connectionsByAddress.empty()) {
                        EndedPath path;
                        TakePathLocked(m_connectionsByAddress.begin()->second.context.get(), now,
                                       false, path);
                        replaced.push_back(std::move(path));
                    }
                }
            }
        }
        if (!rejected) {
            taken = TakeAttemptLocked(id);
            auto slot = m_connectionsByAddress.find(localAddress);
            if (slot != m_connectionsByAddress.end() && slot->second.context.get() != context) {
                // One context per address: the one it had before goes.
                EndedPath path;
                TakePathLocked(slot->second.context.get(), now, false, path);
                replaced.push_back(std::move(path));
            }
            m_connectionsByAddress[localAddress] = {held, priority, now, interfaceName,
                                                    context->GetInterfaceType()};
            m_connectionIds.insert(id);
            if (auto retry = m_addressRetries.find(localAddress); retry != m_addressRetries.end()) {
                // The address keeps its back-off while its path is up, so that a path that
                // ends young is retried later each time.
                retry->second.dueAt = AddressRetry::kNotDue;
            }
            UpdateCurrentPriorityLocked();
            // The link and the "up" are set here, so that whatever ends the path later,
            // on whichever thread, finds them and undoes them after.
            context->SetAutomaticConnectionManager(this);
            // The new path is announced before the ones it replaces go, so the observer
            // never sees the node without a path while it moves to a better one.
            QueueStateChangeLocked(held, localAddress, priority, true);
            for (const EndedPath& path : replaced) {
                QueueStateChangeLocked(path.context, path.localAddress, path.priority, false);
            }
            if (!m_target.allPaths && m_replayJob.token != 0 && m_jobIsRetry) {
                cancelledJob = std::exchange(m_replayJob.token, 0);
                m_jobDelay = -1;
            }
        }
    }
    if (rejected) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic disconnection by priority");
            message.AddParameterString(u"Source Address", context->GetLocalAddress());
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt(u"Existing priority", current);
            message.AddParameterInt(u"New priority", priority);
            logger->Log(kSeverityWarning, message);
        }
        RefPtr<ConnectionContext> member(context);
        set.DisconnectIfMember(member);
        return;
    }
    if (cancelledJob != 0) {
        RefPtr<Scheduler> scheduler = host->GetScheduler();
        AutomaticConnectionJob::Instance().Remove(scheduler.get(), cancelledJob, kReplayJob);
    }
    EndPaths(replaced, &set);
    // Better addresses that failed before this path came are tried again on their own.
    ScheduleAttemptCheck();
    if (m_target.allPaths) {
        return;
    }
    const int32_t count =
        static_cast<int32_t>(replaced.size()) + DisconnectByPriority(set, priority);
    if (count != 0) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Connections disconnected by priority");
            message.AddParameterString(u"Source Address", localAddress);
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt(u"Existing priority", priority);
            message.AddParameterInt(u"Number of disconnections", count);
            logger->Log(kSeverityWarning, message);
        }
    }
}

void AutomaticConnection::HandleContextEnded(ConnectionContext* context) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host) {
        return;
    }
    const int32_t id = context->GetContextId();
    const std::string localAddress = context->GetLocalAddress();
    const WString interfaceName = context->GetNetworkInterfaceName();
    const int32_t interfaceType = context->GetInterfaceType();
    RefPtr<ConnectionContext> attempt;
    std::vector<EndedPath> paths;
    bool nowEmpty = false;
    bool retryConnection = false;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return;
        }
        const int64_t now = Now();
        const auto pending = m_pendingContexts.find(id);
        if (pending != m_pendingContexts.end()) {
            const int32_t priority = pending->second.priority;
            attempt = std::move(pending->second.context);
            m_pendingContexts.erase(pending);
            // The back-off belongs to the address that failed.
            AddressRetry& retry = m_addressRetries[localAddress];
            retry.priority = priority;
            retry.interfaceName = interfaceName;
            retry.interfaceType = interfaceType;
            retry.dueAt = now + TakeRetryDelayLocked(retry.nextDelay);
            // Without all paths and with no path up, the replays carry the retries.
            retryConnection = !m_target.allPaths && m_connectionIds.empty();
        } else {
            EndedPath path;
            if (TakePathLocked(context, now, true, path)) {
                QueueStateChangeLocked(path.context, path.localAddress, path.priority, false);
                paths.push_back(std::move(path));
            }
        }
        nowEmpty = m_connectionIds.empty();
    }
    if (!attempt && paths.empty()) {
        return;  // not ours, or dropped by this object on purpose
    }
    if (attempt) {
        // Out of the set, so that a replay does not take it for a live one.
        host->GetConnectionSet().Disconnect(context);
    }
    EndPaths(paths, &host->GetConnectionSet());
    FollowEndedPaths(paths, nowEmpty);
    ScheduleAttemptCheck();
    if (retryConnection) {
        ScheduleReplay(true);
    }
}

void AutomaticConnection::EndPaths(const std::vector<EndedPath>& paths, ConnectionSet* set) {
    DeliverStateChanges();
    if (set == nullptr) {
        return;
    }
    for (const EndedPath& path : paths) {
        set->Disconnect(path.context.get());
    }
}

void AutomaticConnection::FollowEndedPaths(const std::vector<EndedPath>& paths, bool nowEmpty) {
    if (paths.empty()) {
        return;
    }
    // The addresses whose retries now count are opened when due.
    ScheduleAttemptCheck();
    if (!m_target.allPaths && nowEmpty) {
        // At once: every address that is not waiting for its own back-off is tried, and
        // the best one that connects takes over.
        ScheduleReplay(false);
    }
}

bool AutomaticConnection::TakePathLocked(ConnectionContext* context, int64_t now, bool judged,
                                         EndedPath& taken) {
    // Found by the pointer alone: no context is called under the lock (its id and its
    // manager link are plain atomics).
    const auto it = std::find_if(
        m_connectionsByAddress.begin(), m_connectionsByAddress.end(),
        [context](const auto& entry) { return entry.second.context.get() == context; });
    if (it == m_connectionsByAddress.end()) {
        return false;
    }
    Path path = std::move(it->second);
    taken.localAddress = it->first;
    taken.priority = path.priority;
    taken.context = std::move(path.context);
    m_connectionsByAddress.erase(it);
    m_connectionIds.erase(context->GetContextId());
    context->SetAutomaticConnectionManager(nullptr);
    UpdateCurrentPriorityLocked();
    const bool lived = now - path.connectedAt >= kMinimumPathLifetime;
    if (lived) {
        m_retryDelay = kFirstRetryDelay;
        m_retryAttempt = 0;
    }
    // The path's address may be opened again at once after a long path, or after a short
    // one that this object ended; after its back-off (which grows) after a short one that
    // ended on its own. Only that address waits. A lost address drops this again.
    AddressRetry& retry = m_addressRetries[taken.localAddress];
    retry.priority = taken.priority;
    retry.interfaceName = std::move(path.interfaceName);
    retry.interfaceType = path.interfaceType;
    if (lived) {
        retry.nextDelay = kFirstRetryDelay;
    }
    retry.dueAt = lived || !judged ? now : now + TakeRetryDelayLocked(retry.nextDelay);
    return true;
}

RefPtr<ConnectionContext> AutomaticConnection::TakeAttemptLocked(int32_t id) {
    auto it = m_pendingContexts.find(id);
    if (it == m_pendingContexts.end()) {
        return nullptr;
    }
    RefPtr<ConnectionContext> taken = std::move(it->second.context);
    m_pendingContexts.erase(it);
    return taken;
}

RefPtr<ConnectionContext> AutomaticConnection::DropAttemptLocked(int32_t id) {
    const auto it = m_pendingContexts.find(id);
    if (it == m_pendingContexts.end()) {
        return nullptr;
    }
    const std::string address = it->second.address;
    RefPtr<ConnectionContext> taken = TakeAttemptLocked(id);
    // Its address's retry waited for this attempt's end, which does not count: left so,
    // the address would never be tried again. Its back-off stays as it was.
    const auto retry = m_addressRetries.find(address);
    if (retry != m_addressRetries.end() && retry->second.dueAt == AddressRetry::kNotDue &&
        !m_connectionsByAddress.contains(address)) {
        retry->second.dueAt = Now();
    }
    return taken;
}

bool AutomaticConnection::IsRetryInForceLocked(const AddressRetry& retry) const {
    return m_target.allPaths || m_connectionIds.empty() || retry.priority < m_currentPriority;
}

void AutomaticConnection::QueueStateChangeLocked(const RefPtr<ConnectionContext>& context,
                                                 const std::string& localAddress, int32_t priority,
                                                 bool connected) {
    if (m_observer) {
        m_stateChanges.push_back({m_observer, context, localAddress, priority, connected});
    }
}

void AutomaticConnection::DeliverStateChanges() {
    {
        MutualExclusionLock lock(m_mutex);
        if (m_deliveringThread != 0) {
            return;  // the thread at it makes these calls too, after its own
        }
        m_deliveringThread = platform::CurrentThreadId();
        m_deliveriesDone.Reset();
    }
    for (;;) {
        StateChange change;
        {
            MutualExclusionLock lock(m_mutex);
            if (m_stateChanges.empty()) {
                m_deliveringThread = 0;
                m_deliveriesDone.Set();
                return;
            }
            change = std::move(m_stateChanges.front());
            m_stateChanges.pop_front();
        }
        change.observer->ConnectionStateChanged(change.context.get(), change.localAddress,
                                                change.priority, change.connected);
    }
}

void AutomaticConnection::DeliverAllStateChanges() {
    const uint32_t self = platform::CurrentThreadId();
    for (;;) {
        DeliverStateChanges();
        {
            MutualExclusionLock lock(m_mutex);
            if (m_deliveringThread == 0 && m_stateChanges.empty()) {
                return;
            }
            if (m_deliveringThread == self) {
                // Called from the observer's own call: the loop below that call makes the
                // rest once it returns; waiting here would wait for itself.
                return;
            }
            if (m_deliveringThread == 0) {
                continue;  // queued after the last look, and no one is at it
            }
        }
        // Set by the delivering thread when its queue is empty, under the lock, after the
        // look above; a wait begun later returns at once.
        m_deliveriesDone.Wait(-1);
    }
}

void AutomaticConnection::UpdateCurrentPriorityLocked() {
    int32_t best = -1;
    for (const auto& [address, path] : m_connectionsByAddress) {
        if (best < 0 || path.priority < best) {
            best = path.priority;
        }
    }
    m_currentPriority = best;
}

int64_t AutomaticConnection::TakeRetryDelayLocked(int64_t& nextDelay) {
    const int64_t delay = JitteredDelay(nextDelay, DrawRandom());
    nextDelay = std::min(nextDelay * 2, kLongestRetryDelay);
    return delay;
}

int32_t AutomaticConnection::DisconnectByPriority(ConnectionSet& set, int32_t priority) {
    std::set<int32_t> spared;
    {
        MutualExclusionLock lock(m_mutex);
        spared = m_connectionIds;
    }
    std::vector<RefPtr<ConnectionContext>> contexts;
    set.Snapshot(contexts);
    int32_t count = 0;
    for (const RefPtr<ConnectionContext>& context : contexts) {
        const int32_t id = context->GetContextId();
        if (context->GetPriority() < priority || spared.count(id) != 0 ||
            !context->MatchesConnection(m_services, nullptr, nullptr, m_target.address.c_str(),
                                        m_target.tcpPort, m_target.udpPort)) {
            continue;
        }
        // A worse attempt of this object is dropped, not failed.
        RefPtr<ConnectionContext> attempt;
        {
            MutualExclusionLock lock(m_mutex);
            attempt = DropAttemptLocked(id);
        }
        if (set.Disconnect(context.get())) {
            ++count;
        }
    }
    return count;
}

void AutomaticConnection::ReplayLocalAddresses() {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host) {
        return;
    }
    uint64_t before = 0;
    {
        MutualExclusionLock lock(m_mutex);
        before = m_openedCount;
    }
    host->GetNetworkPacketsManager().CallUponLocalAddresses(m_services, this);
    bool retry = false;
    {
        MutualExclusionLock lock(m_mutex);
        // With all paths an address that waits for its own retry is not forgotten.
        retry = m_openedCount == before && m_connectionIds.empty() && m_pendingContexts.empty() &&
                !(m_target.allPaths && !m_addressRetries.empty());
    }
    if (retry) {
        ScheduleReplay(true);
    }
}

bool AutomaticConnection::ClaimJobLocked(JobSlot& slot, int64_t dueAt, ClaimedJob& claimed) {
    if (m_disconnected || (slot.token != 0 && slot.dueAt <= dueAt)) {
        return false;
    }
    claimed.delay = std::max<int64_t>(dueAt - Now(), 0);
    claimed.moved = slot.token;
    claimed.token = AutomaticConnectionJob::Instance().Keep(this);
    slot = {claimed.token, dueAt};
    return true;
}

bool AutomaticConnection::PlaceJob(Scheduler& scheduler, uint32_t kind, const ClaimedJob& claimed) {
    AutomaticConnectionJob& job = AutomaticConnectionJob::Instance();
    if (claimed.moved != 0) {
        // Should it run meanwhile, it finds its token gone and does nothing.
        job.Remove(&scheduler, claimed.moved, kind);
    }
    scheduler.Schedule(claimed.delay,
                       kind == kAttemptCheckJob ? kAttemptCheckJobName : kReplayJobName, &job,
                       nullptr, nullptr, claimed.token, kind);
    bool disconnected = false;
    {
        MutualExclusionLock lock(m_mutex);
        disconnected = m_disconnected;
    }
    if (disconnected) {
        // A Disconnect on another thread came before the job was in the scheduler.
        job.Remove(&scheduler, claimed.token, kind);
        return false;
    }
    return true;
}

bool AutomaticConnection::ScheduleReplay(bool retry) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    RefPtr<Scheduler> scheduler = host ? host->GetScheduler() : nullptr;
    if (!scheduler) {
        return false;
    }
    ClaimedJob claimed;
    int64_t backOff = 0;
    int32_t attempt = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return false;
        }
        const int64_t now = Now();
        int64_t dueAt = now;
        // A retry comes when the first address's own back-off has passed; only when no
        // address waits for one does the replays' own back-off apply. An address due now
        // is opened by the job of the attempts.
        int64_t addressDue = AddressRetry::kNotDue;
        if (retry) {
            for (const auto& [address, entry] : m_addressRetries) {
                addressDue = std::min(addressDue, entry.dueAt);
            }
            if (addressDue <= now) {
                return true;
            }
            backOff = addressDue != AddressRetry::kNotDue
                          ? addressDue - now
                          : JitteredDelay(m_retryDelay, DrawRandom());
            dueAt += backOff;
        }
        if (!ClaimJobLocked(m_replayJob, dueAt, claimed)) {
            return true;  // one that runs no later waits already
        }
        m_jobDelay = claimed.delay;
        m_jobIsRetry = retry;
        if (retry) {
            // The back-off grows with each retry scheduled, not with one that was not
            // needed.
            if (addressDue == AddressRetry::kNotDue) {
                m_retryDelay = std::min(m_retryDelay * 2, kLongestRetryDelay);
            }
            attempt = ++m_retryAttempt;
        }
    }
    if (!PlaceJob(*scheduler, kReplayJob, claimed)) {
        return false;
    }
    if (retry) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic connection retry scheduled");
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt(u"Attempt", attempt);
            message.AddParameterInt64(u"Delay (ms)", backOff / 1000);
            logger->Log(kSeverityWarning, message);
        }
    }
    return true;
}

void AutomaticConnection::ScheduleAttemptCheck() {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    RefPtr<Scheduler> scheduler = host ? host->GetScheduler() : nullptr;
    if (!scheduler) {
        return;
    }
    ClaimedJob claimed;
    {
        MutualExclusionLock lock(m_mutex);
        int64_t dueAt = AddressRetry::kNotDue;
        if (!m_pendingContexts.empty()) {
            dueAt = Now() + kAttemptCheckPeriod;
        }
        for (const auto& [address, retry] : m_addressRetries) {
            if (IsRetryInForceLocked(retry)) {
                dueAt = std::min(dueAt, retry.dueAt);
            }
        }
        if (dueAt == AddressRetry::kNotDue || !ClaimJobLocked(m_checkJob, dueAt, claimed)) {
            return;
        }
    }
    PlaceJob(*scheduler, kAttemptCheckJob, claimed);
}

void AutomaticConnection::RunJob(uint32_t token, uint32_t kind) {
    {
        MutualExclusionLock lock(m_mutex);
        JobSlot& scheduled = kind == kAttemptCheckJob ? m_checkJob : m_replayJob;
        if (scheduled.token != token || m_disconnected) {
            return;
        }
        scheduled.token = 0;
    }
    if (kind == kAttemptCheckJob) {
        RunAttemptCheck();
    } else {
        RunReplayJob();
    }
}

void AutomaticConnection::RunReplayJob() {
    bool retry = false;
    int32_t attempt = 0;
    {
        MutualExclusionLock lock(m_mutex);
        m_jobDelay = -1;
        retry = m_jobIsRetry;
        attempt = m_retryAttempt;
    }
    if (retry) {
        RefPtr<AutomaticConnectionHost> host = GetHost();
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic connection retrying");
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt(u"Attempt", attempt);
            logger->Log(kSeverityWarning, message);
        }
    }
    ReplayLocalAddresses();
}

void AutomaticConnection::RunAttemptCheck() {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host) {
        return;
    }
    struct DueRetry {
        std::string address;
        WString interfaceName;
        int32_t interfaceType;
        int32_t priority;
    };
    const int64_t now = Now();
    std::vector<RefPtr<ConnectionContext>> attempts;
    std::vector<RefPtr<ConnectionContext>> overdue;
    std::vector<DueRetry> due;
    {
        MutualExclusionLock lock(m_mutex);
        for (const auto& [id, attempt] : m_pendingContexts) {
            (now - attempt.startedAt > kAttemptLimit ? overdue : attempts)
                .push_back(attempt.context);
        }
        for (auto& [address, retry] : m_addressRetries) {
            if (IsRetryInForceLocked(retry) && retry.dueAt <= now) {
                due.push_back({address, retry.interfaceName, retry.interfaceType, retry.priority});
                // Until its attempt ends; a pending attempt is left to its own limits.
                retry.dueAt = AddressRetry::kNotDue;
            }
        }
    }
    // The transport's own time limits (a name that does not resolve, a connect nobody
    // answers) run when it is asked for its state; an end they cause comes back as
    // HandleConnectionStateChange.
    for (const RefPtr<ConnectionContext>& context : attempts) {
        if (RefPtr<ConnectionStream> stream = context->GetStream()) {
            stream->GetConnectionState();
        }
    }
    ConnectionSet& set = host->GetConnectionSet();
    for (const RefPtr<ConnectionContext>& context : overdue) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic connection attempt abandoned");
            AddSource(message, context->GetLocalAddress(), context->GetNetworkInterfaceName());
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt64(u"Seconds", kAttemptLimit / 1'000'000);
            logger->Log(kSeverityWarning, message);
        }
        set.Disconnect(context.get());
    }
    // Each retry opens its own address alone.
    for (const DueRetry& retry : due) {
        if (OpenAddress(m_services, retry.interfaceName, retry.interfaceType, retry.priority,
                        retry.address, true)) {
            continue;
        }
        // Nothing opened (a context of another owner is there, or the host stops): that
        // counts as a failed attempt, or the address would wait for an end that never comes.
        MutualExclusionLock lock(m_mutex);
        const auto it = m_addressRetries.find(retry.address);
        if (it != m_addressRetries.end() && it->second.dueAt == AddressRetry::kNotDue &&
            !m_connectionsByAddress.contains(retry.address)) {
            it->second.dueAt = Now() + TakeRetryDelayLocked(it->second.nextDelay);
        }
    }
    ScheduleAttemptCheck();
}

void AutomaticConnection::Disconnect() {
    RefPtr<AutomaticConnection> self(this);
    DisconnectAll();
}

void AutomaticConnection::DisconnectAll() {
    RefPtr<AutomaticConnectionHost> host;
    RefPtr<MonitorLink> monitor;
    RefPtr<ConnectionStateObserver> observer;
    std::optional<MonitorIdentification> identification;
    std::vector<EndedPath> paths;
    std::map<int32_t, Attempt> pending;
    uint32_t token = 0;
    uint32_t checkToken = 0;
    {
        MutualExclusionLock lock(m_mutex);
        m_disconnected = true;
        host = std::move(m_host);
        monitor = std::move(m_monitor);
        identification.swap(m_identification);
        // Every path that was announced up is announced down, after its "up".
        const int64_t now = Now();
        while (!m_connectionsByAddress.empty()) {
            EndedPath path;
            TakePathLocked(m_connectionsByAddress.begin()->second.context.get(), now, false, path);
            QueueStateChangeLocked(path.context, path.localAddress, path.priority, false);
            paths.push_back(std::move(path));
        }
        observer = std::move(m_observer);
        pending.swap(m_pendingContexts);
        m_addressRetries.clear();
        token = std::exchange(m_replayJob.token, 0);
        checkToken = std::exchange(m_checkJob.token, 0);
        m_jobDelay = -1;
    }
    if (monitor) {
        if (host) {
            const int32_t monitorId = monitor->GetId();
            host->GetGuestMonitorChannelsMap().Remove(monitorId);
            std::vector<StreamKey> stopped;
            host->GetStreamsMap().Disconnect(StreamsMap::kMonitorAutomatic, monitorId, stopped);
            for (const StreamKey& key : stopped) {
                host->SendStopStreamingCommand(key);
            }
        }
        monitor.Reset();
    }
    // No change is queued after this point (the observer is gone), and those queued before
    // are heard before Disconnect returns, whichever thread is making the calls.
    DeliverAllStateChanges();
    AutomaticConnectionJob& job = AutomaticConnectionJob::Instance();
    RefPtr<Scheduler> scheduler = host ? host->GetScheduler() : nullptr;
    if (token != 0) {
        job.Remove(scheduler.get(), token, kReplayJob);
    }
    if (checkToken != 0) {
        job.Remove(scheduler.get(), checkToken, kAttemptCheckJob);
    }
    if (!host) {
        return;
    }
    if (RefPtr<NetworkReceiverEntry> entry =
            host->GetNetworkPacketsManager().FindEntry(m_services)) {
        entry->RemoveAddressListener(this);
    }
    ConnectionSet& set = host->GetConnectionSet();
    for (const EndedPath& path : paths) {
        set.Disconnect(path.context.get());
    }
    for (const auto& [id, attempt] : pending) {
        set.Disconnect(attempt.context.get());
    }
    // The paths, the pending contexts, the observer and the identification go here, with
    // the host still held.
    paths.clear();
    pending.clear();
    observer.Reset();
}

ConnectionContext* AutomaticConnection::GetPreferredConnectionContext(
    ConnectionContext* ownContext, RefPtr<ConnectionContext>& preferred) {
    RefPtr<AutomaticConnection> self(this);
    {
        MutualExclusionLock lock(m_mutex);
        if (m_connectionsByAddress.size() < 2) {
            return ownContext;
        }
    }
    preferred = GetMostAppropriateConnection();
    return preferred.get();
}

RefPtr<ConnectionContext> AutomaticConnection::GetMostAppropriateConnection() {
    RefPtr<AutomaticConnection> self(this);
    std::vector<RefPtr<ConnectionContext>> contexts;
    {
        MutualExclusionLock lock(m_mutex);
        for (const auto& [address, path] : m_connectionsByAddress) {
            contexts.push_back(path.context);
        }
    }
    if (contexts.empty()) {
        return nullptr;
    }
    struct Figures {
        int32_t queueLength;
        int64_t roundTrip;
        int64_t queueDelay;
    };
    std::vector<Figures> figures;
    figures.reserve(contexts.size());
    for (const RefPtr<ConnectionContext>& context : contexts) {
        figures.push_back({context->GetCurrentWriteQueueLength(), context->GetLastRoundTripTime(),
                           context->GetOldestQueueDelayTime()});
    }

    // "get-variables": stops at the first path with a queue delay.
    bool someDelay = false;
    bool someRoundTrip = false;
    bool someQueue = false;
    int64_t smallestRoundTrip = 0;
    for (const Figures& path : figures) {
        if (path.roundTrip > 0) {
            someRoundTrip = true;
            if (smallestRoundTrip == 0 || path.roundTrip < smallestRoundTrip) {
                smallestRoundTrip = path.roundTrip;
            }
        }
        someQueue = someQueue || path.queueLength > 0;
        if (path.queueDelay > 0) {
            someDelay = true;
            break;
        }
    }
    const int shift = smallestRoundTrip > (int64_t{1} << 21) ? 20 : 10;

    size_t best = 0;
    if (someDelay) {
        // "queue-delay-time"
        for (size_t i = 1; i < figures.size(); ++i) {
            if (figures[i].roundTrip + figures[i].queueDelay <
                figures[best].roundTrip + figures[best].queueDelay) {
                best = i;
            }
        }
    } else if (someQueue) {
        // "queue-delay-size": a long queue on a slow path costs more than 32 bits hold.
        auto cost = [&](const Figures& path) {
            const int64_t factor = someRoundTrip ? path.roundTrip >> shift : 1;
            return static_cast<int64_t>(path.queueLength) * factor;
        };
        for (size_t i = 1; i < figures.size(); ++i) {
            if (cost(figures[i]) < cost(figures[best])) {
                best = i;
            }
        }
    } else {
        // "random-connection"
        best = static_cast<uint32_t>(RandomSource::Instance().Next()) % figures.size();
    }
    return contexts[best];
}

double AutomaticConnection::GetAverageQueueStatus() {
    RefPtr<AutomaticConnection> self(this);
    std::vector<RefPtr<ConnectionContext>> contexts;
    {
        MutualExclusionLock lock(m_mutex);
        for (const auto& [address, path] : m_connectionsByAddress) {
            contexts.push_back(path.context);
        }
    }
    double sum = 0.0;
    int32_t count = 0;
    for (const RefPtr<ConnectionContext>& context : contexts) {
        const double status = context->GetQueueStatus();
        if (status >= 0.0 && status <= 1.0) {
            sum += status;
            ++count;
        }
    }
    return count > 0 ? sum / count : -1.0;
}

int64_t AutomaticConnection::GetSmallestOldestQueueDelayTime() {
    RefPtr<AutomaticConnection> self(this);
    std::vector<RefPtr<ConnectionContext>> contexts;
    {
        MutualExclusionLock lock(m_mutex);
        for (const auto& [address, path] : m_connectionsByAddress) {
            contexts.push_back(path.context);
        }
    }
    int64_t smallest = 0;
    for (size_t i = 0; i < contexts.size(); ++i) {
        const int64_t delay = contexts[i]->GetOldestQueueDelayTime();
        if (i == 0 || delay < smallest) {
            smallest = delay;
        }
    }
    return smallest;
}

int32_t AutomaticConnection::GetConnectionCount() {
    MutualExclusionLock lock(m_mutex);
    return static_cast<int32_t>(m_connectionsByAddress.size());
}

int32_t AutomaticConnection::GetCurrentPriority() const {
    MutualExclusionLock lock(m_mutex);
    return m_currentPriority;
}

std::vector<int32_t> AutomaticConnection::GetConnectionIds() const {
    MutualExclusionLock lock(m_mutex);
    return std::vector<int32_t>(m_connectionIds.begin(), m_connectionIds.end());
}

std::vector<std::string> AutomaticConnection::GetConnectedAddresses() const {
    MutualExclusionLock lock(m_mutex);
    std::vector<std::string> addresses;
    for (const auto& [address, path] : m_connectionsByAddress) {
        addresses.push_back(address);
    }
    return addresses;
}

int64_t AutomaticConnection::GetScheduledReplayDelay() const {
    MutualExclusionLock lock(m_mutex);
    return m_replayJob.token != 0 ? m_jobDelay : -1;
}

size_t AutomaticConnection::GetPendingCount() const {
    MutualExclusionLock lock(m_mutex);
    return m_pendingContexts.size();
}

size_t AutomaticConnection::GetAddressRetryCount() const {
    MutualExclusionLock lock(m_mutex);
    return m_addressRetries.size();
}

}  // namespace qav
