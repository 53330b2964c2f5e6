// Feeds arbitrary bytes to the geofences' reader, and checks what must hold for any input:
// nothing crashes; every coordinate read is a number; what a list writes reads back, through
// its saved and reparsed text, as the same list (coordinates to the six significant digits
// "%g" keeps), and writing that again gives the same text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/xml_fields.h"
#include "fuzz/fuzz_support.h"
#include "records/geofences.h"

namespace {

using qav::fuzz::Check;

bool Close(double read, double written) {
    return std::fabs(read - written) <= 1e-5 * std::fabs(written) + 1e-300;
}

void CheckReadBack(std::vector<qav::Fence>& fences) {
    for (const qav::Fence& fence : fences) {
        for (const qav::Vertex& vertex : fence.m_boundary) {
            Check(std::isfinite(vertex.m_latitude) && std::isfinite(vertex.m_longitude));
        }
    }
    qav::FenceList written;
    written.m_fences = fences;
    const std::string text = qav::WriteFencesText(written);
    qav::FenceList again;
    Check(qav::ReadFencesText(text, again));
    Check(again.m_fences.size() == fences.size());
    for (size_t i = 0; i < fences.size(); ++i) {
        std::vector<qav::Vertex>& before = written.m_fences[i].m_boundary;
        const std::vector<qav::Vertex>& after = again.m_fences[i].m_boundary;
        Check(before.size() == after.size());
        for (size_t j = 0; j < before.size(); ++j) {
            Check(Close(after[j].m_latitude, before[j].m_latitude) &&
                  Close(after[j].m_longitude, before[j].m_longitude));
            before[j] = after[j];
        }
    }
    Check(again == written);
    Check(qav::WriteFencesText(again) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qav::FenceList list;
    if (size <= (1u << 20) &&
        qav::ReadFencesText(std::string_view(reinterpret_cast<const char*>(data), size), list)) {
        CheckReadBack(list.m_fences);
    }
    return qav::fuzz::CheckXmlElements(data, size, [](qav::XmlElement element) {
        qav::Fence fence;
        qav::SerializeFence(element, qav::kSyncRead, fence);
        std::vector<qav::Fence> one{fence};
        CheckReadBack(one);
    });
}
