#include "core/md5.h"

#include <random>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#if defined(QAV_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#endif

namespace qav {
namespace {

std::string HexOf(const std::string& bytes, bool upperCase) {
    std::string hex;
    Md5HexDigest(bytes.data(), bytes.size(), upperCase, hex);
    return hex;
}

TEST(Md5, DigestsTheTestSuiteOfTheRfc) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890"
         "1234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto& [text, digest] : suite) {
        EXPECT_EQ(HexOf(text, false), digest) << '"' << text << '"';
    }
    EXPECT_EQ(HexOf("abc", true), "900150983CD24FB0D6963F7D28E17F72");
}

TEST(Md5, WideTextIsDigestedAsItsProtocolUtf8InUpperCase) {
    // A character beyond the BMP goes in as two three-byte sequences, one per surrogate.
    const std::pair<WString, std::string> cases[] = {
        {u"", ""},
        {u"Gr\u00fc\u00df \u20ac", "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"},
        {u"a\U0001F600", "a\xED\xA0\xBD\xED\xB8\x80"},
    };
    for (const auto& [text, utf8] : cases) {
        WString digest;
        Md5HexDigestW(text, digest);
        EXPECT_EQ(std::string(digest.begin(), digest.end()), HexOf(utf8, true)) << utf8;
    }
}

#if defined(QAV_HAVE_OPENSSL)
TEST(Md5, AgreesWithOpenSslOnRandomInputsFedInPieces) {
    std::mt19937 random(20240611);
    std::string data;
    for (size_t length : {55, 56, 63, 64, 65, 119, 120, 128, 1000, 4099}) {
        for (int round = 0; round < 20; ++round) {
            data.resize(length);
            for (char& c : data) {
                c = static_cast<char>(random());
            }
            unsigned char expected[MD5_DIGEST_LENGTH];
            MD5(reinterpret_cast<const unsigned char*>(data.data()), data.size(), expected);

            Md5 md5;  // in random pieces, to cross the block buffer at every offset
            for (size_t at = 0; at < length;) {
                const size_t piece = std::min<size_t>(random() % 70, length - at);
                md5.Update(data.data() + at, piece);
                at += piece;
            }
            uint8_t digest[Md5::kDigestSize];
            md5.Final(digest);
            ASSERT_EQ(std::string(reinterpret_cast<char*>(digest), 16),
                      std::string(reinterpret_cast<char*>(expected), 16))
                << "length " << length;
        }
    }
}
#endif

}  // namespace
}  // namespace qav
