// A descriptor that one thread makes readable to end another thread's poll early: the
// poll lists it among its descriptors for input, and Signal ends that poll at once.
// Signals add up until Drain takes them all; the descriptor never blocks.
//
// Typical usage:
//   WakeUpDescriptor wakeUp;
//   records.push_back({wakeUp.descriptor(), kPollInput, 0});   // polling thread
//   wakeUp.Signal();                                           // any other thread
//   ... poll returns; when the record is readable: wakeUp.Drain();
//
// Threads: Signal and Drain from any thread.
#pragma once

namespace qav::platform {

class WakeUpDescriptor {
  public:
    // Without a descriptor (the system refused one) descriptor() is -1, Signal does
    // nothing and a poll simply runs to its time-out.
    WakeUpDescriptor();
    ~WakeUpDescriptor();
    WakeUpDescriptor(const WakeUpDescriptor&) = delete;
    WakeUpDescriptor& operator=(const WakeUpDescriptor&) = delete;

    int descriptor() const { return m_descriptor; }
    // Why the system refused the descriptor; 0 when it has one.
    int OpenError() const { return m_openError; }
    // Makes the descriptor readable. False when it could not be signalled.
    bool Signal();
    // Takes every signal; the descriptor is no longer readable afterwards.
    void Drain();

  private:
    int m_descriptor;
    int m_openError;
};

}  // namespace qav::platform
