// ConnectionHandle: the narrow view of one connection context that code outside the
// connection layer (web pages, request handlers) is given: send bytes on it, read the
// header values and byte range of its current HTTP request, and ask how much it can
// still queue. A handle keeps its context alive through a reference. Handles are made
// by the ConnectionHandleRegistry, one per context.
//
// Typical usage (on the polling thread):
//   RefPtr<ConnectionHandle> handle = registry.GetOrCreate(context);
//   int64_t first = 0, count = 0;
//   if (handle->GetRange(first, count)) { ... }
//   handle->SendMessage(bytes, length);
//
// Threads: references may be added and dropped on any thread; SendMessage, SetContextValue
// and GetAvailableWriteQueueLength may be called from any thread. The request getters read
// the context's current request and belong on the polling thread; their texts stay valid
// until that request changes.
#pragma once

#include <cstdint>

#include "connection/connection_context.h"
#include "core/ref_counted.h"

namespace qav {

class ConnectionHandle : public virtual RefCounted {
  public:
    // Made as new RefCountedObject<ConnectionHandle>(context, id); `context` is not null.
    ConnectionHandle(ConnectionContext* context, uint32_t id);
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;

    // The context's SendMessage without a completion.
    int32_t SendMessage(const void* data, int32_t length);
    // Adds the handle's id to the context's id set.
    void AddId();
    int32_t GetContextId() const;
    void SetContextValue(int32_t value);
    // The transport's; 0 without one.
    int32_t GetAvailableWriteQueueLength();

    // Header values of the current request; null without a request.
    const char* GetContentType() const;
    const char* GetHost() const;
    const char* GetAuthorization() const;
    const char* GetCookie() const;
    // The context's ParseHttpRange.
    bool GetRange(int64_t& firstByte, int64_t& byteCount) const;

  protected:
    virtual ~ConnectionHandle() = default;

  private:
    const char* HeaderValue(std::string HttpRequestHeaders::*header) const;

    const RefPtr<ConnectionContext> m_context;
    const uint32_t m_id;
};

}  // namespace qav
