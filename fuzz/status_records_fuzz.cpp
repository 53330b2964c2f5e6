// Feeds arbitrary bytes to the readers of a device status's entries — channels, ports,
// pan-tilt-zoom engines, phone contacts — and checks what must hold for any input: reading
// never crashes, and what the entries write reads back into fresh entries as exactly the
// same fields, both from the written tree and from its saved and reloaded text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/xml_document.h"
#include "core/xml_fields.h"
#include "fuzz/fuzz_support.h"
#include "records/channel_status.h"
#include "records/phone_entry.h"
#include "records/port_status.h"
#include "records/ptz_engine.h"

namespace {

using qav::XmlDocument;
using qav::XmlElement;
using qav::fuzz::Check;

// `value` as read from `element`, written into a fresh document with `write`, then read back
// by `read` from that tree and from the tree's saved text, must give `value` again.
template <typename Value, typename Bind>
void CheckRoundTrip(XmlElement element, Bind bind) {
    Value read;
    bind(element, qav::kSyncRead, read);
    XmlDocument document;
    const XmlElement root = document.CreateRoot(u"qav:W", qav::kQavNamespaceUri);
    bind(root, qav::kSyncWrite, read);
    Value again;
    bind(root, qav::kSyncRead, again);
    Check(again == read);

    std::string text;
    document.SaveToString(text);
    XmlDocument reloaded;
    const XmlElement reloadedRoot =
        reloaded.LoadFromText(text.data(), static_cast<int>(text.size()));
    Check(reloadedRoot.IsValid());
    Value fromText;
    bind(reloadedRoot, qav::kSyncRead, fromText);
    Check(fromText == read);
}

template <typename Entry>
void CheckList(XmlElement wrapper, void (*bind)(XmlElement, uint32_t, std::vector<Entry>&)) {
    CheckRoundTrip<std::vector<Entry>>(wrapper, bind);
}

template <typename Entry>
void CheckBody(XmlElement element, void (*bind)(XmlElement, uint32_t, Entry&)) {
    CheckRoundTrip<Entry>(element, bind);
}

void CheckElement(XmlElement element) {
    CheckList(element, qav::SyncVideoChannelList);
    CheckList(element, qav::SyncAudioChannelList);
    CheckList(element, qav::SyncSerialPortList);
    CheckList(element, qav::SyncInputPortList);
    CheckList(element, qav::SyncOutputPortList);
    CheckList(element, qav::SyncRecordingActionList);
    CheckList(element, qav::SyncPtzEngineList);
    CheckList(element, qav::SyncPtzPresetList);
    CheckList(element, qav::SyncPtzLocationList);
    CheckList(element, qav::SyncPhoneEntryList);
    CheckBody(element, qav::SyncVideoChannelBody);
    CheckBody(element, qav::SyncAudioChannelBody);
    CheckBody(element, qav::SyncEncoderParameters);
    CheckBody(element, qav::SyncPortBody);
    CheckBody(element, qav::SyncRecordingActionBody);
    CheckBody(element, qav::SyncPtzEngineBody);
    CheckBody(element, qav::SyncPhoneEntryBody);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
