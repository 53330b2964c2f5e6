// The recorder-configuration field routines: a media file format and a remote file
// system type, each carried as the text of a child element and bound to the table the
// caller passes (the recorder configuration's MediaFileFormat and RemoteFileSystemType
// tables). They follow the enumeration rule of records/record_fields.h: a value without
// a text writes nothing, an unknown text leaves the field unchanged; both give false.
//
// The caller keeps the element and the field on one thread.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

bool SyncMediaFileFormatField(XmlElement element, WStringView name, const WChar* namespaceUri,
                              EnumTextTable table, uint32_t direction, int32_t& format);

bool SyncRemoteFileSystemTypeField(XmlElement element, WStringView name, const WChar* namespaceUri,
                                   EnumTextTable table, uint32_t direction, int32_t& type);

}  // namespace qav
