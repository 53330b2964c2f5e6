#include "records/media_fields.h"

#include "core/xml_fields.h"
#include "core/xml_test_support.h"
#include "records/media_recorder_config.h"

namespace qav {
namespace {

TEST(MediaFields, EachRoutineMapsThroughTheTableItIsGiven) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"r", nullptr);
    int32_t format = 4;
    int32_t type = 4;  // no row
    EXPECT_TRUE(
        SyncMediaFileFormatField(root, u"F", nullptr, kMediaFileFormatTable, kSyncWrite, format));
    EXPECT_FALSE(SyncRemoteFileSystemTypeField(root, u"T", nullptr, kRemoteFileSystemTypeTable,
                                               kSyncWrite, type));
    EXPECT_TRUE(SyncRemoteFileSystemTypeField(root, u"T", nullptr, kMediaFileFormatTable,
                                              kSyncWrite, type));
    EXPECT_EQ(test_support::SavedXml(document), "<r><F>MP4</F><T>MP4</T></r>");

    EXPECT_FALSE(SyncRemoteFileSystemTypeField(root, u"F", nullptr, kRemoteFileSystemTypeTable,
                                               kSyncRead, type));
    EXPECT_EQ(type, 4);
    root.FindChild(u"T").SetText(u"NFS");
    EXPECT_TRUE(SyncRemoteFileSystemTypeField(root, u"T", nullptr, kRemoteFileSystemTypeTable,
                                              kSyncRead, type));
    EXPECT_EQ(type, 2);
}

}  // namespace
}  // namespace qav
