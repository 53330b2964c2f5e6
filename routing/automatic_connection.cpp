#include "routing/automatic_connection.h"

#include <algorithm>
#include <utility>

#include "connection/connection_set.h"
#include "core/log_message.h"
#include "core/stopwatch.h"
#include "core/text_logger.h"
#include "network/network_interfaces.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"
#include "platform/socket.h"
#include "routing/network_packets_manager.h"
#include "webserver/guest_monitor_channels_map.h"
#include "webserver/streams_map.h"

namespace qav {

// The scheduled replay of every automatic connection. A job names its connection by a
// token, and the connection is held here, with a reference, while its job waits: the job
// keeps the object alive, and a job that is removed or outlives its object finds nothing.
// One object for the process that is never destroyed, because the scheduler may call a
// job's Abort after its run when a removal met it running.
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

    void Run(Scheduler&, uint32_t token, uint32_t, bool& again) override {
        again = false;
        if (RefPtr<AutomaticConnection> connection = Take(token)) {
            connection->RunReplayJob(token);
        }
    }

    // The reference goes here, outside the lock.
    void Abort(Scheduler&, uint32_t token, uint32_t) override { Take(token); }

    // Takes the job of the token out of the scheduler and drops its reference.
    void Remove(Scheduler* scheduler, uint32_t token) {
        if (scheduler != nullptr) {
            while (scheduler->RemoveTasks2(this, nullptr, token, 0)) {
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

}  // namespace

AutomaticConnection::AutomaticConnection(AutomaticConnectionHost* host, PlatformServices* services,
                                         AutomaticConnectionTarget target,
                                         ConnectionStateObserver* observer)
    : m_services(services), m_target(std::move(target)), m_host(host), m_observer(observer) {}

AutomaticConnection::~AutomaticConnection() {
    DisconnectAll();
}

RefPtr<ConnectionStream> AutomaticConnection::CreateTcpStream(PlatformServices* services) {
    return RefPtr<ConnectionStream>(services->CreateReliableConnection().get());
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
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host || services != m_services) {
        return;
    }
    if (IsLoopbackLocalAddress(priority, interfaceType, address) &&
        !IsLoopbackAddressText(m_target.address)) {
        Log(kSeverityStatus, u"Automatic connection ignoring loopback address", address,
            interfaceName);
        return;
    }
    int32_t current = -1;
    bool wanted = false;
    std::optional<MonitorIdentification> identification;
    RefPtr<MonitorLink> monitor;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return;
        }
        current = m_currentPriority;
        wanted = m_connectionIds.empty() || m_target.allPaths || priority < current;
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
        return;
    }
    if (host->IsStopping()) {
        return;
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
        return;
    }
    Log(kSeverityWarning, u"Connecting to server", address, interfaceName);

    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    const bool tcp = m_target.transportKind == AutomaticConnectionTarget::kTransportTcp;
    bool pollNow = false;
    bool startConversation = false;
    if (tcp) {
        RefPtr<ConnectionStream> stream = CreateTcpStream(services);
        if (!stream) {
            return;
        }
        stream->SetAddress(address.c_str());
        stream->SetName(interfaceName.c_str());
        context->SetTransportKind(ConnectionContext::kTransportAutomaticTcp);
        context->MergeConnectionType(1);
        if (!context->SetTcpConnectionParameters(host->GetConnectionEventSink(), stream.get(), 0,
                                                 target, "", m_target.tcpPort, 0,
                                                 host->GetLogSinkLink().get(), services,
                                                 m_target.connectionFormat, m_target.client)) {
            return;
        }
        context->SetLocalAddress(address);
        context->SetNetworkInterfaceName(interfaceName);
        context->SetTcpContextWord(m_target.tcpContextWord);
        pollNow = true;
    } else {
        if (!context->SetUdpConnectionParameters(host->GetConnectionEventSink(), 0, target, "",
                                                 m_target.udpPort, host->GetLogSinkLink().get(),
                                                 services, 2)) {
            return;
        }
        context->SetLocalAddress(address);
        context->SetNetworkInterfaceName(interfaceName);
        if (!context->InitPacketSession(startConversation)) {
            return;
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
            return;
        }
        m_pendingContexts[context->GetContextId()] = context;
        ++m_openedCount;
    }
    set.AddContext(context.get());
    bool disconnected = false;
    {
        MutualExclusionLock lock(m_mutex);
        disconnected = m_disconnected;
    }
    if (disconnected) {
        // A Disconnect on another thread looked for it before it was in the set.
        set.Disconnect(context.get());
        return;
    }
    if (pollNow) {
        if (!context->OnSocketPoll() && tcp) {
            HandleFailedConnect(context.get(), address);
        }
    } else if (startConversation) {
        context->StartMessageClientConversation();
    }
}

void AutomaticConnection::HandleLostLocalAddress(PlatformServices* services,
                                                 const WString& /*interfaceName*/,
                                                 int32_t /*interfaceType*/, int32_t /*priority*/,
                                                 const std::string& address) {
    RefPtr<AutomaticConnection> self(this);
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host || services != m_services) {
        return;
    }
    ConnectionSet& set = host->GetConnectionSet();

    // Contexts still connecting through the address cannot connect any more.
    std::vector<RefPtr<ConnectionContext>> pending;
    {
        MutualExclusionLock lock(m_mutex);
        for (const auto& [id, context] : m_pendingContexts) {
            pending.push_back(context);
        }
    }
    for (const RefPtr<ConnectionContext>& context : pending) {
        if (context->GetLocalAddress() != address) {
            continue;
        }
        RefPtr<ConnectionContext> taken;
        {
            MutualExclusionLock lock(m_mutex);
            taken = TakePendingLocked(context->GetContextId());
        }
        set.Disconnect(context.get());
    }

    RefPtr<ConnectionContext> context;
    bool wasConnected = false;
    bool nowEmpty = false;
    int32_t current = -1;
    RefPtr<ConnectionStateObserver> observer;
    {
        MutualExclusionLock lock(m_mutex);
        auto it = m_connectionsByAddress.find(address);
        if (it == m_connectionsByAddress.end()) {
            return;
        }
        context = std::move(it->second.context);
        m_connectionsByAddress.erase(it);
        wasConnected = m_connectionIds.erase(context->GetContextId()) > 0;
        nowEmpty = m_connectionIds.empty();
        current = m_currentPriority;
        observer = m_observer;
        UpdateCurrentPriorityLocked();
    }
    if (!wasConnected) {
        return;
    }
    context->SetAutomaticConnectionManager(nullptr);
    set.Disconnect(context.get());
    if (!nowEmpty) {
        return;
    }
    if (observer) {
        observer->ConnectionStateChanged(context.get(), address, current, false);
    }
    if (m_target.allPaths) {
        // Every other address has its own context already; only a retry may help.
        ScheduleReplay(true);
    } else {
        // The best remaining address takes over.
        ReplayLocalAddresses();
    }
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
    ConnectionSet& set = host->GetConnectionSet();
    const int32_t id = context->GetContextId();
    // References taken out of the containers are released with the lock let go.
    RefPtr<ConnectionContext> taken;

    if (!connected) {
        bool wasConnected = false;
        bool nowEmpty = false;
        RefPtr<ConnectionStateObserver> observer;
        {
            MutualExclusionLock lock(m_mutex);
            wasConnected = m_connectionIds.erase(id) > 0;
            if (wasConnected) {
                taken = ForgetConnectedLocked(context, localAddress);
                UpdateCurrentPriorityLocked();
                nowEmpty = m_connectionIds.empty();
                observer = m_observer;
            }
        }
        if (!wasConnected) {
            HandleFailedConnect(context, localAddress);
            return;
        }
        context->SetAutomaticConnectionManager(nullptr);
        // Out of the set at once, so that the replay below does not take it for a live one.
        set.Disconnect(context);
        if (!nowEmpty) {
            return;
        }
        if (observer) {
            observer->ConnectionStateChanged(context, localAddress, priority, false);
        }
        if (m_target.allPaths) {
            ScheduleReplay(true);
        } else {
            ReplayLocalAddresses();
        }
        return;
    }

    if (!set.FindContextById(id)) {
        // Disconnected while its connect was under way (by priority, or its address went).
        MutualExclusionLock lock(m_mutex);
        taken = TakePendingLocked(id);
        return;
    }
    bool rejected = false;
    int32_t current = -1;
    std::vector<RefPtr<ConnectionContext>> replaced;
    RefPtr<ConnectionStateObserver> observer;
    uint32_t cancelledJob = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected) {
            return;
        }
        current = m_currentPriority;
        if (!m_connectionIds.empty()) {
            if (m_connectionIds.count(id) != 0) {
                return;
            }
            if (!m_target.allPaths) {
                if (current < priority) {
                    rejected = true;
                    taken = TakePendingLocked(id);
                } else if (current > priority) {
                    for (auto& [address, path] : m_connectionsByAddress) {
                        replaced.push_back(std::move(path.context));
                    }
                    m_connectionsByAddress.clear();
                    m_connectionIds.clear();
                }
            }
        }
        if (!rejected) {
            taken = TakePendingLocked(id);
            Path& slot = m_connectionsByAddress[localAddress];
            if (slot.context && slot.context.get() != context) {
                // One context per address: the one it had before goes.
                m_connectionIds.erase(slot.context->GetContextId());
                replaced.push_back(std::move(slot.context));
            }
            slot.context = context;
            slot.priority = priority;
            m_connectionIds.insert(id);
            UpdateCurrentPriorityLocked();
            m_retryDelay = kFirstRetryDelay;
            m_retryAttempt = 0;
            observer = m_observer;
            if (!m_target.allPaths && m_jobToken != 0 && m_jobIsRetry) {
                cancelledJob = std::exchange(m_jobToken, 0);
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
    for (const RefPtr<ConnectionContext>& old : replaced) {
        old->SetAutomaticConnectionManager(nullptr);
        if (RefPtr<ConnectionContext> listed = set.FindContextById(old->GetContextId())) {
            set.Disconnect(listed.get());
        }
    }
    if (cancelledJob != 0) {
        RefPtr<Scheduler> scheduler = host->GetScheduler();
        AutomaticConnectionJob::Instance().Remove(scheduler.get(), cancelledJob);
    }
    context->SetAutomaticConnectionManager(this);
    if (observer) {
        observer->ConnectionStateChanged(context, localAddress, priority, true);
    }
    if (m_target.allPaths) {
        return;
    }
    const int32_t count = DisconnectByPriority(set, priority);
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

RefPtr<ConnectionContext> AutomaticConnection::ForgetConnectedLocked(
    ConnectionContext* context, const std::string& localAddress) {
    auto it = m_connectionsByAddress.find(localAddress);
    if (it == m_connectionsByAddress.end() || it->second.context.get() != context) {
        // Reported with another address than it was recorded under.
        it = std::find_if(
            m_connectionsByAddress.begin(), m_connectionsByAddress.end(),
            [context](const auto& entry) { return entry.second.context.get() == context; });
    }
    if (it == m_connectionsByAddress.end()) {
        return nullptr;
    }
    RefPtr<ConnectionContext> taken = std::move(it->second.context);
    m_connectionsByAddress.erase(it);
    return taken;
}

RefPtr<ConnectionContext> AutomaticConnection::TakePendingLocked(int32_t id) {
    auto it = m_pendingContexts.find(id);
    if (it == m_pendingContexts.end()) {
        return nullptr;
    }
    RefPtr<ConnectionContext> taken = std::move(it->second);
    m_pendingContexts.erase(it);
    return taken;
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

void AutomaticConnection::HandleFailedConnect(ConnectionContext* context,
                                              const std::string& localAddress) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host) {
        return;
    }
    const RefPtr<ConnectionContext> held(context);
    RefPtr<ConnectionContext> pending;
    RefPtr<ConnectionContext> connected;
    bool retry = false;
    {
        MutualExclusionLock lock(m_mutex);
        pending = TakePendingLocked(context->GetContextId());
        connected = ForgetConnectedLocked(context, localAddress);
        retry = m_connectionIds.empty() || m_target.allPaths;
    }
    host->GetConnectionSet().Disconnect(context);
    if (retry) {
        ScheduleReplay(true);
    }
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
        if (set.Disconnect(context.get())) {
            ++count;
            RefPtr<ConnectionContext> taken;
            MutualExclusionLock lock(m_mutex);
            taken = TakePendingLocked(id);
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
        retry = m_openedCount == before && m_connectionIds.empty();
    }
    if (retry) {
        ScheduleReplay(true);
    }
}

bool AutomaticConnection::ScheduleReplay(bool retry) {
    RefPtr<AutomaticConnectionHost> host = GetHost();
    if (!host) {
        return false;
    }
    RefPtr<Scheduler> scheduler = host->GetScheduler();
    if (!scheduler) {
        return false;
    }
    AutomaticConnectionJob& job = AutomaticConnectionJob::Instance();
    int64_t delay = 0;
    int32_t attempt = 0;
    uint32_t token = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_disconnected || m_jobToken != 0) {
            return m_jobToken != 0;
        }
        token = job.Keep(this);
        if (retry) {
            delay = m_retryDelay;
            m_retryDelay = std::min(m_retryDelay * 2, kLongestRetryDelay);
            attempt = ++m_retryAttempt;
        }
        m_jobToken = token;
        m_jobDelay = delay;
        m_jobIsRetry = retry;
    }
    scheduler->Schedule(delay, kReplayJobName, &job, nullptr, nullptr, token, 0);
    bool disconnected = false;
    {
        MutualExclusionLock lock(m_mutex);
        disconnected = m_disconnected;
    }
    if (disconnected) {
        // A Disconnect on another thread came before the job was in the scheduler.
        job.Remove(scheduler.get(), token);
        return false;
    }
    if (retry) {
        if (auto logger = HostLoggerFor(host.get(), kSeverityWarning)) {
            LogMessage message(u"Automatic connection retry scheduled");
            message.AddParameterString(u"Target Address", m_target.address);
            message.AddParameterInt(u"Attempt", attempt);
            message.AddParameterInt64(u"Delay (ms)", delay / 1000);
            logger->Log(kSeverityWarning, message);
        }
    }
    return true;
}

void AutomaticConnection::RunReplayJob(uint32_t token) {
    bool retry = false;
    int32_t attempt = 0;
    {
        MutualExclusionLock lock(m_mutex);
        if (m_jobToken != token || m_disconnected) {
            return;
        }
        m_jobToken = 0;
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

void AutomaticConnection::Disconnect() {
    RefPtr<AutomaticConnection> self(this);
    DisconnectAll();
}

void AutomaticConnection::DisconnectAll() {
    RefPtr<AutomaticConnectionHost> host;
    RefPtr<MonitorLink> monitor;
    RefPtr<ConnectionStateObserver> observer;
    std::optional<MonitorIdentification> identification;
    std::set<int32_t> ids;
    std::map<std::string, Path> paths;
    std::map<int32_t, RefPtr<ConnectionContext>> pending;
    uint32_t token = 0;
    {
        MutualExclusionLock lock(m_mutex);
        m_disconnected = true;
        host = std::move(m_host);
        monitor = std::move(m_monitor);
        observer = std::move(m_observer);
        identification.swap(m_identification);
        ids.swap(m_connectionIds);
        paths.swap(m_connectionsByAddress);
        pending.swap(m_pendingContexts);
        token = std::exchange(m_jobToken, 0);
        m_jobDelay = -1;
        m_currentPriority = -1;
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
    if (!host) {
        if (token != 0) {
            AutomaticConnectionJob::Instance().Remove(nullptr, token);
        }
        return;
    }
    if (RefPtr<NetworkReceiverEntry> entry =
            host->GetNetworkPacketsManager().FindEntry(m_services)) {
        entry->RemoveAddressListener(this);
    }
    if (token != 0) {
        RefPtr<Scheduler> scheduler = host->GetScheduler();
        AutomaticConnectionJob::Instance().Remove(scheduler.get(), token);
    }
    ConnectionSet& set = host->GetConnectionSet();
    for (int32_t id : ids) {
        if (RefPtr<ConnectionContext> context = set.FindContextById(id)) {
            context->SetAutomaticConnectionManager(nullptr);
            set.Disconnect(context.get());
        }
    }
    for (const auto& [address, path] : paths) {
        path.context->SetAutomaticConnectionManager(nullptr);
    }
    for (const auto& [id, context] : pending) {
        set.Disconnect(context.get());
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
    return m_jobToken != 0 ? m_jobDelay : -1;
}

size_t AutomaticConnection::GetPendingCount() const {
    MutualExclusionLock lock(m_mutex);
    return m_pendingContexts.size();
}

}  // namespace qav
