#include "core/mime_types.h"

#include <gtest/gtest.h>

namespace qav {
namespace {

TEST(MimeTypes, LooksUpExtensionsInAnyCaseAndRecognisesImages) {
    const std::tuple<std::string, std::string, bool> kCases[] = {
        {"JPG", "image/jpeg", true},
        {"Jpeg", "image/jpeg", true},
        {"htm", "text/html", true},
        {"h264", "video/H264", true},
        {"XYZ", "application/xyz", false},
        {"jp", "application/jp", false},
        // The fallback goes into a response header: nothing that could break out of it.
        {"", "application/octet-stream", false},
        {"jpg,jpeg", "application/octet-stream", false},
        {"x\r\nSet-Cookie: a=b", "application/octet-stream", false},
    };
    for (const auto& [extension, expected, known] : kCases) {
        std::string type = "old";
        EXPECT_EQ(MimeTypeOfExtension(extension.data(), extension.size(), type), known)
            << extension;
        EXPECT_EQ(type, expected) << extension;
    }

    const std::pair<WStringView, bool> kPaths[] = {{u"a\\b.PNG", true}, {u"d/x.tar.jpeg", true},
                                                   {u"a.b\\c", false},  {u"a.png/c", false},
                                                   {u"png", false},     {u"x.mp4", false}};
    for (const auto& [path, image] : kPaths) {
        EXPECT_EQ(IsImageFile(path), image) << std::string(path.begin(), path.end());
    }
}

}  // namespace
}  // namespace qav
