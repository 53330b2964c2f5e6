// Feeds arbitrary text to the attribute-list reader and checks what must hold for any
// input: no read past the end, a stop only at '/', '>' or the terminator, the position
// untouched on failure, and on success the list written back reads as the same map.
//
// The first byte chooses how the rest becomes UTF-16 (two bytes per unit, little-endian,
// which reaches every unit including NUL and lone surrogates; or one byte per unit,
// which keeps the syntax dense), the extra terminator and the starting position.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/xml_node.h"
#include "fuzz/fuzz_support.h"

namespace {

using qav::fuzz::Check;

qav::WString Decode(const uint8_t* data, size_t size, bool twoBytesPerUnit) {
    qav::WString text;
    if (twoBytesPerUnit) {
        for (size_t i = 0; i + 1 < size; i += 2) {
            text.push_back(static_cast<qav::WChar>(data[i] | (data[i + 1] << 8)));
        }
    } else {
        text.assign(data, data + size);
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 16)) {
        return 0;
    }
    const uint8_t control = data[0];
    const qav::WString text = Decode(data + 1, size - 1, (control & 1) != 0);
    static const qav::WChar kTerminators[] = {0, u'?', u'"', u'='};
    const qav::WChar terminator = kTerminators[(control >> 1) & 3];
    const size_t start = std::min<size_t>((control >> 3) & 3, text.size());

    qav::XmlAttributeMap attributes;
    size_t position = start;
    if (!qav::XmlNode::ParseAttributes(attributes, text, position, terminator)) {
        Check(position == start);
        return 0;
    }
    Check(position >= start && position < text.size());
    const qav::WChar stop = text[position];
    Check(stop == u'/' || stop == u'>' || (terminator != 0 && stop == terminator));

    qav::WString written;
    qav::XmlNode::WriteAttributes(attributes, written);
    written.push_back(u'>');
    qav::XmlAttributeMap reread;
    size_t again = 0;
    Check(qav::XmlNode::ParseAttributes(reread, written, again, terminator));
    Check(again == written.size() - 1 && reread == attributes);
    return 0;
}
