#include "core/mime_types.h"

#include <limits>
#include <string_view>

#include "core/text_utils.h"

namespace qav {

namespace {

// The text converters count in int.
constexpr int kMaxCount = std::numeric_limits<int>::max();

struct MimeTypeRow {
    std::string_view extensions;  // separated by ','
    std::string_view type;
};

// Searched in this order; the first row naming the extension wins.
constexpr MimeTypeRow kMimeTypes[] = {
    {"jpg,jpeg", "image/jpeg"}, {"gif", "image/gif"},         {"png", "image/png"},
    {"h264", "video/H264"},     {"flv", "video/x-flv"},       {"mp4", "video/mp4"},
    {"aac", "audio/aac"},       {"txt", "text/plain"},        {"mfd", "text/xml"},
    {"gz", "application/gzip"}, {"tar", "application/x-tar"}, {"js", "application/javascript"},
    {"htm,html", "text/html"},  {"css", "text/css"},
};

bool RowNames(std::string_view extensions, std::string_view extension) {
    while (!extensions.empty()) {
        const size_t comma = extensions.find(',');
        if (extensions.substr(0, comma) == extension) {
            return true;
        }
        if (comma == std::string_view::npos) {
            break;
        }
        extensions.remove_prefix(comma + 1);
    }
    return false;
}

// The characters of an HTTP token: anything else in a Content-Type built from a
// requested name could split or forge response headers.
bool IsTokenText(std::string_view text) {
    constexpr std::string_view kTokenMarks = "!#$%&'*+-.^_`|~";
    for (char c : text) {
        const bool alphanumeric =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alphanumeric && kTokenMarks.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return !text.empty();
}

}  // namespace

bool MimeTypeOfExtension(const char* extension, size_t length, std::string& out) {
    // Nothing that long is a file's extension; it takes the path of any other odd name.
    if (extension == nullptr || length > size_t{kMaxCount}) {
        out = "application/octet-stream";
        return false;
    }
    std::string lower;
    CopyLowerAscii(extension, static_cast<int>(length), lower);
    for (const MimeTypeRow& row : kMimeTypes) {
        if (RowNames(row.extensions, lower)) {
            out.assign(row.type);
            return true;
        }
    }
    out = IsTokenText(lower) ? "application/" + lower : "application/octet-stream";
    return false;
}

bool IsImageExtension(const char* extension, size_t length) {
    constexpr std::string_view kImagePrefix = "image/";
    std::string type;
    return MimeTypeOfExtension(extension, length, type) && type.size() > kImagePrefix.size() &&
           std::string_view(type).starts_with(kImagePrefix);
}

bool IsImageFile(WStringView path) {
    const size_t dot = path.rfind(u'.');
    if (dot == WStringView::npos || path.find_first_of(u"\\/", dot) != WStringView::npos) {
        return false;
    }
    const WStringView wide = path.substr(dot + 1);
    if (wide.size() > size_t{kMaxCount}) {
        return false;
    }
    std::string extension;
    WideToUtf8(wide.data(), static_cast<int>(wide.size()), extension);
    return IsImageExtension(extension.data(), extension.size());
}

}  // namespace qav
