#include "records/geofences.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "core/xml_document.h"
#include "core/xml_fields.h"
#include "records/record_test_support.h"

namespace qav {
namespace {

TEST(Geofences, FilledListWritesItsWireTextAndReadsBack) {
    FenceList fences;
    fences.m_fences = {{u"Depot & Yard", 0xff00, true, {{32.0123456, -1.25}}, {2, 1, true}, {}},
                       {u"", -5, false, {}, {}, {0, -3, false, true}}};
    const std::string text = WriteFencesText(fences);
    EXPECT_EQ(text,
              "<qav:Fences " QAV_TEST_NS
              "><qav:Fence qav:Color=\"65280\" qav:Inside=\"True\" "
              "qav:Name=\"Depot &amp; Yard\"><qav:Boundary><qav:Vertex qav:Latitude=\"32.0123456\" "
              "qav:Longitude=\"-1.25\"/></qav:Boundary><qav:Entry qav:Alarm=\"False\" "
              "qav:SMS=\"True\"><qav:OutputPort qav:Index=\"2\" qav:Value=\"1\"/></qav:Entry>"
              "<qav:Exit qav:Alarm=\"False\" qav:SMS=\"False\"><qav:OutputPort qav:Index=\"-1\" "
              "qav:Value=\"0\"/></qav:Exit></qav:Fence><qav:Fence qav:Color=\"-5\" "
              "qav:Inside=\"False\" qav:Name=\"\"><qav:Boundary/><qav:Entry qav:Alarm=\"False\" "
              "qav:SMS=\"False\"><qav:OutputPort qav:Index=\"-1\" qav:Value=\"0\"/></qav:Entry>"
              "<qav:Exit qav:Alarm=\"True\" qav:SMS=\"False\"><qav:OutputPort qav:Index=\"0\" "
              "qav:Value=\"-3\"/></qav:Exit></qav:Fence></qav:Fences>");

    FenceList read;
    read.m_fences.resize(5);
    ASSERT_TRUE(ReadFencesText(text, read));
    EXPECT_EQ(read, fences);
    EXPECT_FALSE(ReadFencesText("<qav:Fences><qav:Fence", read)) << "not a document";
    EXPECT_EQ(read, fences) << "a failed read keeps the list";
    for (const char* other : {"<x/>", "<qav:Fence " QAV_TEST_NS "/>",
                              "<qav:Rules " QAV_TEST_NS "><qav:Fence/></qav:Rules>"}) {
        EXPECT_FALSE(ReadFencesText(other, read)) << other;
        EXPECT_EQ(read, fences) << other << ": another document keeps the list";
    }
    EXPECT_TRUE(read.At(1) != nullptr && read.At(2) == nullptr && read.AtConst(-1) == nullptr);
}

// A read keeps every field whose attribute is absent, and takes no coordinate that is no
// number; a fence without a boundary reads with none. Writing replaces only the old items,
// and writes no coordinate that is no number.
TEST(Geofences, ReadKeepsWhatIsMissingAndWriteReplacesItems) {
    XmlDocument document;
    const XmlElement root = test_support::ParseXml(
        document,
        "<r><qav:Fence><qav:Entry><qav:OutputPort/></qav:Entry><qav:Exit/></qav:Fence>"
        "<qav:Vertex qav:Latitude=\"inf\" qav:Longitude=\"nan\"/><qav:Other/>"
        "<qav:Vertex qav:Latitude=\"1e999\"/><qav:Fence/></r>");
    Fence fence{u"A", 3, true, {{1, 2}}, {4, 5, true, true}, {6, 7, true, false}};
    SerializeFence(root.FirstChild(), kSyncRead, fence);
    EXPECT_EQ(fence, (Fence{u"A", 3, true, {}, {4, 5, true, true}, {6, 7, true, false}}));
    std::vector<Vertex> vertices(1);
    SerializeVertexList(root, kSyncRead, vertices);
    EXPECT_EQ(vertices, (std::vector<Vertex>{{0, 0}, {0, 0}}));

    std::vector<Fence> written(1);
    written[0].m_boundary = {{INFINITY, NAN}};
    SerializeFenceList(root, kSyncWrite, written);
    EXPECT_EQ(test_support::SavedXml(document),
              "<r><qav:Vertex qav:Latitude=\"inf\" qav:Longitude=\"nan\"/><qav:Other/>"
              "<qav:Vertex qav:Latitude=\"1e999\"/><qav:Fence qav:Color=\"0\" "
              "qav:Inside=\"False\" qav:Name=\"\" " QAV_TEST_NS
              "><qav:Boundary><qav:Vertex/>"
              "</qav:Boundary><qav:Entry qav:Alarm=\"False\" qav:SMS=\"False\"><qav:OutputPort "
              "qav:Index=\"-1\" qav:Value=\"0\"/></qav:Entry><qav:Exit qav:Alarm=\"False\" "
              "qav:SMS=\"False\"><qav:OutputPort qav:Index=\"-1\" qav:Value=\"0\"/></qav:Exit>"
              "</qav:Fence></r>");
}

}  // namespace
}  // namespace qav
