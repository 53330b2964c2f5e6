// One UDP socket shared by a datagram listener and the senders it made, so that replies
// leave from the port that peers know. The socket is closed by the last Release, so it
// stays open while any sender still holds it after the listener has closed.
//
// Threads: AddRef and Release from any thread; the descriptor never changes.
#pragma once

#include "core/ref_counted.h"
#include "platform/socket.h"

namespace qav {

class SharedSocket final : public RefCountedObject<RefCounted> {
  public:
    explicit SharedSocket(int socket) : m_socket(socket) {}

    int GetSocket() const { return m_socket; }

  private:
    ~SharedSocket() override {
        if (m_socket != platform::kInvalidSocket) {
            platform::CloseSocket(m_socket);
        }
    }

    const int m_socket;
};

}  // namespace qav
