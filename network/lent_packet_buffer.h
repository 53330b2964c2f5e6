// A buffer that a packet sink lends to a datagram listener to receive one datagram into,
// so that the datagram is copied only once. Whoever ends up holding it gives it back
// through its first operation, on whichever thread is done with it.
//
// The pooled binary packet of the connection layer implements it; the socket layer only
// ever gives a buffer back.
#pragma once

namespace qav {

class LentPacketBuffer {
  public:
    // Gives the buffer back to its lender; the caller may not touch it afterwards.
    virtual void ReturnToPool() = 0;

  protected:
    ~LentPacketBuffer() = default;
};

}  // namespace qav
