// Where a datagram listener hands every datagram it receives, and where it borrows the
// buffers to receive them into, so that a datagram is copied only once.
//
// Threads: called on the polling thread, without the listener's lock held.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav {

class LentPacketBuffer;
class DatagramListener;
class PlatformServices;

class PacketSink {
  public:
    // Takes one datagram. `senderAddress` is dotted text, or "unknown" when the address
    // could not be written; `senderPort` is in host order. `packet` is the buffer's
    // holder when the buffer was lent by AllocatePacketBuffer (else null): the receiver
    // gives it back through the packet's first operation when it is done with the data.
    virtual void ProcessPacket(DatagramListener* listener, PlatformServices* services,
                               const char* senderAddress, int32_t senderPort, const uint8_t* data,
                               size_t length, LentPacketBuffer* packet) = 0;

    // Lends a pooled packet to receive a datagram into: its buffer goes to `buffer` and
    // `capacity` (asked for on entry) may be lowered. Null: the listener receives into its
    // own buffer. A datagram longer than the lowered capacity is not lost: the listener
    // gives the packet back unused and delivers the datagram from its own buffer.
    virtual LentPacketBuffer* AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) = 0;

  protected:
    ~PacketSink() = default;
};

}  // namespace qav
