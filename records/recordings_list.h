// RecordingsList: the recordings running on a device, one RecordingEntry each (the
// recording's identifier, the device and channels it records, and whether it was started
// by hand). It travels inside the device's status and maintenance messages as
// "qav:Recordings"; connection lists ask it which manual recording covers a channel.
//
// Wire form (one item per entry, in list order):
//   <qav:Recordings><qav:Recording qav:Identifier="7" qav:Manual="True">
//   <qav:DeviceID>3</qav:DeviceID><qav:VideoChannel qav:Index="0"/>
//   <qav:AudioChannel qav:Index="1"/></qav:Recording></qav:Recordings>
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/xml_element.h"

namespace qav {

struct RecordingEntry {
    // Reads or writes one "qav:Recording" item; what a read item leaves out keeps the
    // entry's value.
    static void Sync(XmlElement item, uint32_t direction, RecordingEntry& entry);

    int32_t m_identifier = -1;
    int32_t m_deviceId = -1;
    int32_t m_videoChannel = -1;
    int32_t m_audioChannel = -1;
    bool m_manual = false;
};

class RecordingsList {
  public:
    // The list as "qav:Recordings" under `parent`. Writing replaces the old items; reading
    // starts from an empty list and gives every item the defaults of a fresh entry, so a
    // missing "qav:Recordings" reads as no recordings.
    static void Sync(RecordingsList& list, XmlElement parent, uint32_t direction);

    void Add(const RecordingEntry& entry) { m_entries.push_back(entry); }

    // The identifier of the first manual entry for exactly this device and channels; -1
    // when there is none.
    int32_t FindManualRecording(int32_t deviceId, int32_t videoChannel, int32_t audioChannel) const;

    const std::vector<RecordingEntry>& Entries() const { return m_entries; }

  private:
    std::vector<RecordingEntry> m_entries;
};

}  // namespace qav
