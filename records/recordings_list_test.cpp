#include "records/recordings_list.h"

#include "core/format.h"
#include "core/xml_fields.h"
#include "core/xml_test_support.h"

namespace qav {
namespace {

// "qav:Recordings" as `lists` leave it when written one after the other under one parent.
std::string Written(std::initializer_list<RecordingsList*> lists) {
    XmlDocument document;
    XmlElement parent = document.CreateRoot(u"Root", nullptr);
    for (RecordingsList* list : lists) {
        RecordingsList::Sync(*list, parent, kSyncWrite);
    }
    const std::string text = test_support::SavedXml(document);
    return text.substr(6, text.size() - 13);
}

// The entries read from `parentText` as "identifier/device/video/audio/manual" lines.
std::string Read(const std::string& parentText) {
    XmlDocument document;
    RecordingsList list;
    list.Add({});  // must not survive the read
    RecordingsList::Sync(list, test_support::ParseXml(document, parentText), kSyncRead);
    std::string lines;
    for (const RecordingEntry& e : list.Entries()) {
        lines += FormatString("%d/%d/%d/%d/%s\n", e.m_identifier, e.m_deviceId, e.m_videoChannel,
                              e.m_audioChannel, e.m_manual ? "manual" : "auto");
    }
    return lines;
}

TEST(RecordingsList, WritesItemsInOrderAndReadsThemBackIntoAnEmptiedList) {
    RecordingsList list, empty;
    list.Add({7, 3, 0, 1, true});
    list.Add({-2, 4, 2, -1, false});
    const std::string wire = Written({&list});
    EXPECT_EQ(
        wire,
        "<qav:Recordings xmlns:qav=\"urn:qav:relay:2026\"><qav:Recording qav:Identifier=\"7\" "
        "qav:Manual=\"True\"><qav:DeviceID>3</qav:DeviceID><qav:VideoChannel qav:Index=\"0\"/>"
        "<qav:AudioChannel qav:Index=\"1\"/></qav:Recording><qav:Recording "
        "qav:Identifier=\"-2\" qav:Manual=\"False\"><qav:DeviceID>4</qav:DeviceID>"
        "<qav:VideoChannel qav:Index=\"2\"/><qav:AudioChannel qav:Index=\"-1\"/>"
        "</qav:Recording></qav:Recordings>");
    EXPECT_EQ(Read("<Root>" + wire + "</Root>"), "7/3/0/1/manual\n-2/4/2/-1/auto\n");
    EXPECT_EQ(Written({&list, &list}), wire) << "old items are replaced";
    EXPECT_EQ(Written({&list, &empty}), "<qav:Recordings xmlns:qav=\"urn:qav:relay:2026\"/>");

    // Each item starts from the defaults; foreign children are skipped.
    EXPECT_EQ(Read("<Root><qav:Recordings><qav:Recording qav:Identifier=\"5\" qav:Manual=\"True\">"
                   "<qav:VideoChannel qav:Index=\"3\"/></qav:Recording><qav:Note>x</qav:Note>"
                   "<qav:Recording><qav:DeviceID>9</qav:DeviceID><qav:AudioChannel/>"
                   "</qav:Recording></qav:Recordings></Root>"),
              "5/-1/3/-1/manual\n-1/9/-1/-1/auto\n");
    EXPECT_EQ(Read("<Root/>"), "") << "a missing wrapper reads as no recordings";
}

}  // namespace
}  // namespace qav
