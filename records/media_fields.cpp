#include "records/media_fields.h"

#include "records/record_fields.h"

namespace qav {

bool SyncMediaFileFormatField(XmlElement element, WStringView name, const WChar* namespaceUri,
                              EnumTextTable table, uint32_t direction, int32_t& format) {
    return SyncEnumField(element, name, namespaceUri, table, direction, format);
}

bool SyncRemoteFileSystemTypeField(XmlElement element, WStringView name, const WChar* namespaceUri,
                                   EnumTextTable table, uint32_t direction, int32_t& type) {
    return SyncEnumField(element, name, namespaceUri, table, direction, type);
}

}  // namespace qav
