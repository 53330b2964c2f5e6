#include "connection/connection_handle.h"

namespace qav {

ConnectionHandle::ConnectionHandle(ConnectionContext* context, uint32_t id)
    : m_context(context), m_id(id) {}

int32_t ConnectionHandle::SendMessage(const void* data, int32_t length) {
    return m_context->SendMessage(data, length, nullptr);
}

void ConnectionHandle::AddId() {
    m_context->AddToIdSet(m_id);
}

int32_t ConnectionHandle::GetContextId() const {
    return m_context->GetContextId();
}

void ConnectionHandle::SetContextValue(int32_t value) {
    m_context->SetContextValue(value);
}

int32_t ConnectionHandle::GetAvailableWriteQueueLength() {
    RefPtr<ConnectionStream> stream = m_context->GetStream();
    return stream ? stream->GetAvailableWriteQueueLength() : 0;
}

const char* ConnectionHandle::HeaderValue(std::string HttpRequestHeaders::*header) const {
    const HttpRequestHeaders* request = m_context->GetCurrentRequest();
    return request != nullptr ? (request->*header).c_str() : nullptr;
}

const char* ConnectionHandle::GetContentType() const {
    return HeaderValue(&HttpRequestHeaders::contentType);
}

const char* ConnectionHandle::GetHost() const {
    return HeaderValue(&HttpRequestHeaders::host);
}

const char* ConnectionHandle::GetAuthorization() const {
    return HeaderValue(&HttpRequestHeaders::authorization);
}

const char* ConnectionHandle::GetCookie() const {
    return HeaderValue(&HttpRequestHeaders::cookie);
}

bool ConnectionHandle::GetRange(int64_t& firstByte, int64_t& byteCount) const {
    return m_context->ParseHttpRange(firstByte, byteCount);
}

}  // namespace qav
