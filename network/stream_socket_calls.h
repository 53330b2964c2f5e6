// The calls a reliable connection makes on its connected socket, behind one small
// interface: the system's socket calls by default, a scripted socket in tests and
// fuzzers (partial sends, EAGAIN, resets and closes on demand). Creating, binding to an
// address and connecting the socket are not here: they always use the system; of the
// options set on a new socket, only those a system may refuse are.
//
// Threads: the connection serialises its calls on one socket under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qav {

class StreamSocketCalls {
  public:
    // The calls of platform/socket.h. Lives for the whole process.
    static StreamSocketCalls& System();

    // The count, or -1 with errorCode (EAGAIN included).
    virtual ptrdiff_t Send(int socket, const void* data, size_t length, int& errorCode) = 0;
    // The count, 0 when the peer has closed, or -1 with errorCode.
    virtual ptrdiff_t Receive(int socket, void* buffer, size_t capacity, int& errorCode) = 0;
    // Whether nothing more can be read: the end of the stream is the next thing to read
    // (errorCode 0), or the connection failed (errorCode the error, taken from the socket
    // by this call). Scripted sockets that report nothing readable only once their peer
    // has gone may keep this default.
    virtual bool PeerHasClosed(int socket, int& errorCode) {
        (void)socket;
        errorCode = 0;
        return true;
    }
    // Bytes readable now, or -1 with errorCode.
    virtual int GetReadableBytes(int socket, int& errorCode) = 0;
    // The socket's pending error (0 none, read once); false with errorCode when it cannot
    // be read.
    virtual bool GetPendingError(int socket, int& pendingError, int& errorCode) = 0;
    // Graceful shutdown, then close.
    virtual void Close(int socket) = 0;
    // Makes the socket's packets go only through the interface `interfaceName`; by
    // default the system's SO_BINDTODEVICE. False with errorCode when refused.
    virtual bool BindToDevice(int socket, const std::string& interfaceName, int& errorCode);
    // Makes the kernel give up a peer that has gone silent within `seconds`, the slack of
    // its timers included (for 3 s and more; 2 s below that): keep-alive probes and a
    // user time-out; by default the system's socket options.
    // False with errorCode when refused.
    virtual bool SetLiveness(int socket, int32_t seconds, int& errorCode);

  protected:
    ~StreamSocketCalls() = default;
};

}  // namespace qav
