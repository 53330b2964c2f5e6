#include "core/xml_fields.h"

#include "core/xml_test_support.h"

namespace qav {
namespace {

using test_support::ParseXml;
using test_support::SavedXml;

TEST(XmlFields, ReadsTakeWhatIsPresentAndKeepTheRest) {
    XmlDocument document;
    XmlElement root = ParseXml(document,
                               "<r qav:SignalState=\"detected\"><S>a b </S><I>12abc</I><J/>"
                               "<B1>yes</B1><B2>1</B2><B3>no</B3><B4/><c>h264</c><d>PCMA</d></r>");
    bool bools[] = {false, true, true, true};
    for (WChar i = 0; i < 4; ++i) {
        EXPECT_TRUE(
            SyncBoolField(root, WString{u'B', static_cast<WChar>(u'1' + i)}, kSyncRead, bools[i]));
    }
    EXPECT_TRUE(bools[0] && !bools[1] && !bools[2] && !bools[3]) << "yes, 1, no, empty";
    WString text = u"old";
    int32_t numbers[] = {7, 7};
    CodecId codec = 3;
    EXPECT_TRUE(SyncStringField(root, u"S", kSyncRead, text));
    EXPECT_TRUE(SyncIntField(root, u"I", kQavNamespaceUri, kSyncRead, numbers[0]));
    EXPECT_TRUE(SyncIntField(root, u"J", kQavNamespaceUri, kSyncRead, numbers[1]));
    EXPECT_TRUE(SyncCodecField(root, u"d", kSyncRead, codec));

    // Absent children and texts no table has (names are case-sensitive): false, kept.
    bool flag = true;
    SignalState state = 1;
    EXPECT_FALSE(SyncStringField(root, u"s", kSyncRead, text));
    EXPECT_FALSE(SyncIntField(root, u"K", kQavNamespaceUri, kSyncRead, numbers[0]));
    EXPECT_FALSE(SyncBoolField(XmlElement(), u"B1", kSyncRead, flag));
    EXPECT_FALSE(SyncCodecField(root, u"c", kSyncRead, codec));
    EXPECT_FALSE(SyncSignalStateAttribute(root, kSyncRead, state));
    EXPECT_FALSE(SyncSignalStateAttribute(root.FirstChild(), kSyncRead, state));
    EXPECT_EQ(text, u"a b ");
    EXPECT_EQ(numbers[0], 12);
    EXPECT_EQ(numbers[1], 0);
    EXPECT_TRUE(flag);
    EXPECT_EQ(codec, 5);
    EXPECT_EQ(state, 1);
}

TEST(XmlFields, WritesCreateOnceReuseAfterAndSkipValuesOutsideTheTables) {
    XmlDocument document;
    XmlElement root = document.CreateRoot(u"qav:R", kQavNamespaceUri);
    WString text = u"x<y";
    int32_t number = -5;
    bool flag = true;
    CodecId codec = 1;
    SignalState state = 2;
    const auto writeAll = [&](uint32_t direction) {
        return SyncStringField(root, u"qav:S", direction, text) &&
               SyncIntField(root, u"qav:I", kQavNamespaceUri, direction, number) &&
               SyncBoolField(root, u"qav:B", direction, flag) &&
               SyncCodecField(root, u"qav:Codec", direction, codec) &&
               SyncSignalStateAttribute(root, direction, state);
    };
    EXPECT_TRUE(writeAll(kSyncWrite));
    flag = false;
    codec = 5;
    state = 1;
    EXPECT_TRUE(writeAll(2));  // any non-zero direction writes
    const std::string expected =
        "<qav:R qav:SignalState=\"Missing\" xmlns:qav=\"urn:qav:relay:2026\">"
        "<qav:S>x&lt;y</qav:S><qav:I>-5</qav:I><qav:B>False</qav:B>"
        "<qav:Codec>PCMA</qav:Codec></qav:R>";
    EXPECT_EQ(SavedXml(document), expected);

    for (const CodecId outside : {6, -1}) {
        codec = outside;
        EXPECT_FALSE(SyncCodecField(root, u"qav:Codec", kSyncWrite, codec));
        EXPECT_FALSE(SyncCodecField(root, u"qav:Other", kSyncWrite, codec));
        EXPECT_EQ(CodecNameById(outside), nullptr);
    }
    state = 3;
    EXPECT_FALSE(SyncSignalStateAttribute(root, kSyncWrite, state));
    EXPECT_EQ(SavedXml(document), expected);

    root = XmlElement();  // nothing to write into, and still a success
    codec = state = 0;
    EXPECT_TRUE(writeAll(kSyncWrite));
}

}  // namespace
}  // namespace qav
