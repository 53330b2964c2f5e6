#include "connection/connection_set.h"

#include <utility>

namespace qav {

bool ConnectionSet::AddContext(ConnectionContext* context) {
    if (context == nullptr) {
        return false;
    }
    // Read before the lock: the context's own lock is never taken inside the set's.
    const RefPtr<ConnectionStream> stream = context->GetStream();
    MutualExclusionLock lock(m_mutex);
    if (stream && m_byStream.contains(stream.get())) {
        return false;
    }
    const auto [it, added] = m_byId.try_emplace(context->GetContextId());
    if (!added) {
        return false;
    }
    Entry& entry = it->second;
    entry.context = context;
    entry.stream = stream.get();
    entry.previous = m_last;
    (m_last != nullptr ? m_last->next : m_first) = &entry;
    m_last = &entry;
    if (stream) {
        m_byStream.emplace(stream.get(), context);
    }
    return true;
}

ConnectionSet::Entry* ConnectionSet::FindEntry(const ConnectionContext* context) {
    const auto it = m_byId.find(context->GetContextId());
    return it != m_byId.end() && it->second.context.get() == context ? &it->second : nullptr;
}

RefPtr<ConnectionContext> ConnectionSet::TakeEntry(Entry* entry) {
    (entry->previous != nullptr ? entry->previous->next : m_first) = entry->next;
    (entry->next != nullptr ? entry->next->previous : m_last) = entry->previous;
    if (entry->stream != nullptr) {
        m_byStream.erase(entry->stream);
    }
    RefPtr<ConnectionContext> context = std::move(entry->context);
    m_byId.erase(context->GetContextId());
    return context;
}

RefPtr<ConnectionContext> ConnectionSet::FindMatchingContext(PlatformServices* services,
                                                             const WChar* interfaceName,
                                                             const char* localAddress,
                                                             const char* target, int32_t tcpPort,
                                                             int32_t udpPort) {
    std::vector<RefPtr<ConnectionContext>> contexts;
    Snapshot(contexts);
    for (auto it = contexts.rbegin(); it != contexts.rend(); ++it) {
        if ((*it)->MatchesConnection(services, interfaceName, localAddress, target, tcpPort,
                                     udpPort)) {
            return std::move(*it);
        }
    }
    return nullptr;
}

RefPtr<ConnectionContext> ConnectionSet::FindContextById(int32_t id) {
    MutualExclusionLock lock(m_mutex);
    const auto it = m_byId.find(id);
    return it != m_byId.end() ? it->second.context : nullptr;
}

RefPtr<ConnectionContext> ConnectionSet::FindContextByStream(const ConnectionStream* stream) {
    if (stream == nullptr) {
        return nullptr;
    }
    MutualExclusionLock lock(m_mutex);
    const auto it = m_byStream.find(stream);
    return it != m_byStream.end() ? RefPtr<ConnectionContext>(it->second) : nullptr;
}

bool ConnectionSet::DisconnectIfMember(RefPtr<ConnectionContext>& context) {
    if (!context || !Disconnect(context.get())) {
        return false;
    }
    context.Reset();
    return true;
}

bool ConnectionSet::Disconnect(ConnectionContext* context) {
    RefPtr<ConnectionContext> taken = TakeContext(context);
    if (!taken) {
        return false;
    }
    taken->Disconnect();
    Ended(taken.get());
    return true;
}

bool ConnectionSet::RemoveContext(ConnectionContext* context) {
    // Released here, outside the lock: it may be the last reference.
    RefPtr<ConnectionContext> taken = TakeContext(context);
    if (!taken) {
        return false;
    }
    Ended(taken.get());
    return true;
}

void ConnectionSet::Ended(ConnectionContext* context) {
    context->ReportEnded();
    if (m_endedHandler) {
        m_endedHandler(context);
    }
}

RefPtr<ConnectionContext> ConnectionSet::TakeContext(ConnectionContext* context) {
    if (context == nullptr) {
        return nullptr;
    }
    MutualExclusionLock lock(m_mutex);
    Entry* entry = FindEntry(context);
    return entry != nullptr ? TakeEntry(entry) : nullptr;
}

int32_t ConnectionSet::DisconnectAll() {
    std::vector<RefPtr<ConnectionContext>> taken;
    {
        MutualExclusionLock lock(m_mutex);
        taken.reserve(m_byId.size());
        for (Entry* entry = m_first; entry != nullptr; entry = entry->next) {
            taken.push_back(std::move(entry->context));
        }
        m_byStream.clear();
        m_byId.clear();
        m_first = nullptr;
        m_last = nullptr;
    }
    for (const RefPtr<ConnectionContext>& context : taken) {
        context->Disconnect();
        Ended(context.get());
    }
    return static_cast<int32_t>(taken.size());
}

size_t ConnectionSet::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return m_byId.size();
}

void ConnectionSet::Snapshot(std::vector<RefPtr<ConnectionContext>>& out) {
    MutualExclusionLock lock(m_mutex);
    out.reserve(out.size() + m_byId.size());
    for (const Entry* entry = m_first; entry != nullptr; entry = entry->next) {
        out.push_back(entry->context);
    }
}

ConnectionContextVector::ConnectionContextVector(ConnectionSet& set) : m_set(set) {
    set.Snapshot(m_contexts);
}

int32_t ConnectionContextVector::DisconnectByLocalAddress(PlatformServices* services,
                                                          std::string_view localAddress) {
    int32_t count = 0;
    for (const RefPtr<ConnectionContext>& context : m_contexts) {
        if (context->GetPlatformServices() == services &&
            context->GetLocalAddress() == localAddress && m_set.Disconnect(context.get())) {
            ++count;
        }
    }
    return count;
}

int32_t ConnectionContextVector::DisconnectByPriority(PlatformServices* services, int32_t priority,
                                                      const char* target, int32_t tcpPort,
                                                      int32_t udpPort) {
    int32_t count = 0;
    for (const RefPtr<ConnectionContext>& context : m_contexts) {
        if (context->GetPriority() >= priority &&
            context->MatchesConnection(services, nullptr, nullptr, target, tcpPort, udpPort) &&
            m_set.Disconnect(context.get())) {
            ++count;
        }
    }
    return count;
}

}  // namespace qav
