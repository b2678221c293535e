#include "espflash/md5_hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {
std::string hex(const std::uint8_t digest[16]) {
    std::string s;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        s += two;
    }
    return s;
}

std::string md5(const std::string& text, std::size_t piece) {
    tavisk_md5::MD5Context c;
    tavisk_md5::MD5Init(&c);
    for (std::size_t at = 0; at < text.size(); at += piece) {
        const std::size_t n = std::min(piece, text.size() - at);
        tavisk_md5::MD5Update(&c, reinterpret_cast<const std::uint8_t*>(text.data()) + at, n);
    }
    std::uint8_t digest[16];
    tavisk_md5::MD5Final(digest, &c);
    return hex(digest);
}

TEST(Md5, Rfc1321TestSuiteInAnyPieces) {
    const struct {
        std::string text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) {
        for (std::size_t piece :
             {std::size_t{1}, std::size_t{7}, std::size_t{63}, std::size_t{64}, std::size_t{1000}})
            EXPECT_EQ(md5(c.text, piece), c.digest) << '"' << c.text << "\" in pieces of " << piece;
    }
}
} // namespace
