#include "connection/connection_contexts_list.h"

#include <algorithm>
#include <utility>

#include "core/trace_frame.h"

namespace qav {

ConnectionContextsList::Entries ConnectionContextsList::Snapshot() {
    MutualExclusionLock lock(m_mutex);
    return m_entries;
}

void ConnectionContextsList::ReleaseAll() {
    QAV_TRACE("CCL::RelA");
    Entries released;  // released after the lock is let go
    MutualExclusionLock lock(m_mutex);
    std::swap(released, m_entries);
    lock.Unlock();
}

bool ConnectionContextsList::AddConnection(ConnectionContext* context) {
    QAV_TRACE("CCL::AdC");
    if (context == nullptr) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    if (m_entries.size() >= kMaxEntries) {
        return false;
    }
    m_entries.emplace_back(context);
    return true;
}

bool ConnectionContextsList::FindConnection(const ConnectionContext* context) {
    QAV_TRACE("CCL::FiC");
    if (context == nullptr) {
        return false;
    }
    MutualExclusionLock lock(m_mutex);
    return std::any_of(
        m_entries.begin(), m_entries.end(),
        [context](const RefPtr<ConnectionContext>& entry) { return entry.get() == context; });
}

bool ConnectionContextsList::RemoveConnection(const ConnectionContext* context) {
    QAV_TRACE("CCL::RemC");
    if (context == nullptr) {
        return false;
    }
    RefPtr<ConnectionContext> removed;  // released after the lock is let go
    MutualExclusionLock lock(m_mutex);
    const auto found = std::find_if(
        m_entries.begin(), m_entries.end(),
        [context](const RefPtr<ConnectionContext>& entry) { return entry.get() == context; });
    if (found == m_entries.end()) {
        return false;
    }
    const bool wasDefault = found == m_entries.begin();
    removed = std::move(*found);
    m_entries.erase(found);
    lock.Unlock();
    return wasDefault;
}

ConnectionContext* ConnectionContextsList::GetDefault(RefPtr<ConnectionContext>& out) {
    QAV_TRACE("CCL::GDef");
    MutualExclusionLock lock(m_mutex);
    if (m_entries.empty()) {
        return nullptr;
    }
    RefPtr<ConnectionContext> first = m_entries.front();
    lock.Unlock();
    out = std::move(first);  // what `out` held is let go outside the lock
    return out.get();
}

ConnectionContext* ConnectionContextsList::GetMostAvailable(RefPtr<ConnectionContext>& out) {
    QAV_TRACE("CCL::GMA");
    ConnectionContext* best = nullptr;
    int32_t bestLength = 0;
    int32_t bestPriority = 0;
    const Entries entries = Snapshot();
    for (const RefPtr<ConnectionContext>& context : entries) {
        const int32_t length = context->GetCurrentWriteQueueLength();
        const int32_t priority = context->GetPriority();
        if (best == nullptr || length < bestLength ||
            (length == bestLength && priority < bestPriority)) {
            best = context.get();
            bestLength = length;
            bestPriority = priority;
        }
    }
    out = best;
    return best;
}

void ConnectionContextsList::SetName(WStringView name) {
    QAV_TRACE("CCL::SL");
    if (name.empty()) {
        return;
    }
    for (const RefPtr<ConnectionContext>& context : Snapshot()) {
        context->SetName(name);
    }
}

int32_t ConnectionContextsList::FindRecording(int32_t deviceId, int32_t videoChannel,
                                              int32_t audioChannel) {
    QAV_TRACE("CCL::FSCR2");
    for (const RefPtr<ConnectionContext>& context : Snapshot()) {
        if (!context->IsAttached()) {
            const int32_t identifier =
                context->FindManualRecording(deviceId, videoChannel, audioChannel);
            if (identifier >= 0) {
                return identifier;
            }
        }
    }
    return -1;
}

int32_t ConnectionContextsList::FillStatusMessage(std::vector<ConnectionStatusEntry>& connections) {
    QAV_TRACE("CCL::FRSM");
    int32_t appended = 0;
    std::string address;
    for (const RefPtr<ConnectionContext>& context : Snapshot()) {
        if (context->IsAttached() && context->GetRemoteAddressText(address)) {
            connections.push_back({address, context->GetStatusFigure()});
            ++appended;
        }
    }
    return appended;
}

}  // namespace qav
