// What qav-node prints about its connection to its server: one line each time a path to
// the server connects or the connection is lost,
//   connected to HOST via ADDRESS (interface NAME, priority P)
//   disconnected from HOST via ADDRESS (interface NAME, priority P)
// where ADDRESS is the local address the path leaves from, NAME its network interface and
// P the interface's rank (lower is preferred).
//
// Threads: ConnectionStateChanged is called one call at a time, in the order of the
// changes, but not always on the polling thread: the "down"s of a stop are made on the
// thread that disconnects the automatic connection (the main thread), and a change made
// on one thread may be delivered by another that is delivering earlier ones. The sink is
// called on whichever thread that is, so it must be safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/ref_counted.h"
#include "core/wide_text.h"
#include "routing/connection_state_observer.h"

namespace qav {

class ConnectionStateLines final : public RefCountedObject<ConnectionStateObserver> {
  public:
    using LineSink = std::function<void(const std::string& line)>;

    // `host` as the user gave it; `sink` takes each line (without its line break).
    ConnectionStateLines(std::string host, LineSink sink);

    void ConnectionStateChanged(ConnectionContext* context, const std::string& localAddress,
                                int32_t priority, bool connected) override;

    static std::string FormatLine(const std::string& host, bool connected,
                                  const std::string& localAddress, const WString& interfaceName,
                                  int32_t priority);

  private:
    ~ConnectionStateLines() override = default;

    const std::string m_host;
    const LineSink m_sink;
};

}  // namespace qav
