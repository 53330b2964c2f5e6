#include "connection/connection_set.h"

#include <algorithm>
#include <utility>

namespace qav {

bool ConnectionSet::AddContext(ConnectionContext* context) {
    if (context == nullptr) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    for (const RefPtr<ConnectionContext>& listed : m_contexts) {
        if (listed.get() == context) {
            return false;
        }
    }
    m_contexts.emplace_back(context);
    return true;
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
    for (const RefPtr<ConnectionContext>& context : m_contexts) {
        if (context->GetContextId() == id) {
            return context;
        }
    }
    return nullptr;
}

bool ConnectionSet::DisconnectIfMember(RefPtr<ConnectionContext>& context) {
    if (!context || !Disconnect(context.get())) {
        return false;
    }
    context.Reset();
    return true;
}

bool ConnectionSet::Disconnect(ConnectionContext* context) {
    RefPtr<ConnectionContext> taken;
    {
        MutualExclusionLock lock(m_mutex);
        auto it = std::find_if(m_contexts.begin(), m_contexts.end(),
                               [context](const auto& listed) { return listed.get() == context; });
        if (it == m_contexts.end()) {
            return false;
        }
        taken = std::move(*it);
        m_contexts.erase(it);
    }
    taken->Disconnect();
    return true;
}

int32_t ConnectionSet::DisconnectAll() {
    std::vector<RefPtr<ConnectionContext>> taken;
    {
        MutualExclusionLock lock(m_mutex);
        taken.swap(m_contexts);
    }
    for (const RefPtr<ConnectionContext>& context : taken) {
        context->Disconnect();
    }
    return static_cast<int32_t>(taken.size());
}

size_t ConnectionSet::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return m_contexts.size();
}

void ConnectionSet::Snapshot(std::vector<RefPtr<ConnectionContext>>& out) {
    MutualExclusionLock lock(m_mutex);
    out.insert(out.end(), m_contexts.begin(), m_contexts.end());
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
