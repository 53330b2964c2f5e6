// Feeds arbitrary bytes to the connection parameters' and the channel formats' readers
// and checks what must hold for any input: reading never crashes, and what a record
// writes reads back into a fresh record as exactly the same fields.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/xml_document.h"
#include "fuzz/fuzz_support.h"
#include "records/channel_format.h"
#include "records/connection_parameters.h"

namespace {

using qav::fuzz::Check;

// A fresh record read from `element`, written out as text and read back into another
// fresh one. ConnectionParameters reads its own element; a channel format reads the first
// channel element of the parent it is given.
template <typename Record>
void CheckRoundTrip(qav::XmlElement element) {
    Record read;
    read.ReadXml(element);
    Record again;
    qav::fuzz::ThroughText([&](qav::XmlElement root) { read.WriteXml(root); },
                           [&](qav::XmlElement root) {
                               if constexpr (std::is_same_v<Record, qav::ConnectionParameters>) {
                                   again.ReadXml(root.FirstChild());
                               } else {
                                   Check(again.ReadXml(root));
                               }
                           });
    Check(again == read);
}

void CheckElement(qav::XmlElement element) {
    CheckRoundTrip<qav::ConnectionParameters>(element);
    CheckRoundTrip<qav::AudioChannelFormat>(element);
    CheckRoundTrip<qav::VideoChannelFormat>(element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return qav::fuzz::CheckXmlElements(data, size, CheckElement);
}
