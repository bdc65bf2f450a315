// MD5 against the test suite of RFC 1321 and against OpenSSL's libcrypto on
// random inputs, through the one-shot call and the context calls.
#include "retain/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>
namespace {

std::string Hex(const uint8_t digest[16]) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        s += digits[digest[i] >> 4];
        s += digits[digest[i] & 15];
    }
    return s;
}

std::string OneShot(const std::string& data) {
    uint8_t digest[16];
    Md5Digest(data.data(), data.size(), digest);
    return Hex(digest);
}

// Feeds the data in pieces whose sizes come from rng (0 included).
std::string Pieces(const std::string& data, std::mt19937& rng, size_t maxPiece) {
    Md5Context context;
    Md5Init(&context);
    size_t at = 0;
    while (at < data.size()) {
        size_t piece = std::min(data.size() - at, static_cast<size_t>(rng() % (maxPiece + 1)));
        Md5Update(&context, data.data() + at, piece);
        at += piece;
    }
    uint8_t digest[16];
    Md5Final(digest, &context);
    return Hex(digest);
}

std::string Reference(const std::string& data) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr), 1);
    EXPECT_EQ(size, 16u);
    return Hex(digest);
}

TEST(Md5, Rfc1321TestSuite) {
    struct Case {
        const char* Text;
        const char* Digest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    std::mt19937 rng(1321);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(OneShot(c.Text), c.Digest);
        EXPECT_EQ(Pieces(c.Text, rng, 1), c.Digest);
        EXPECT_EQ(Pieces(c.Text, rng, 70), c.Digest);
    }
}

TEST(Md5, AgreesWithOpenSslOnRandomInputs) {
    std::mt19937 rng(20240601);
    std::vector<size_t> sizes;
    // Every length across the padding boundaries (55/56, 63/64, 119/120) and
    // a few long inputs.
    for (size_t n = 0; n <= 300; ++n) sizes.push_back(n);
    for (size_t n : {1000u, 4095u, 4096u, 65537u, 1000003u}) sizes.push_back(n);
    for (size_t size : sizes) {
        std::string data(size, '\0');
        for (char& c : data) c = static_cast<char>(rng());
        std::string expected = Reference(data);
        ASSERT_EQ(OneShot(data), expected) << "size " << size;
        ASSERT_EQ(Pieces(data, rng, 1 + rng() % 130), expected) << "size " << size;
    }
    // Node-name-like texts of about 35 characters.
    for (int i = 0; i < 2000; ++i) {
        std::string name = "PLC.Task" + std::to_string(rng() % 100) + ".Var";
        while (name.size() < 30 + rng() % 12) name += static_cast<char>('a' + rng() % 26);
        ASSERT_EQ(OneShot(name), Reference(name)) << name;
    }
}

TEST(Md5, ContextStartsAgainAfterInit) {
    Md5Context context;
    uint8_t first[16], second[16];
    Md5Init(&context);
    Md5Update(&context, "message ", 8);
    Md5Update(&context, "digest", 6);
    Md5Final(first, &context);
    Md5Init(&context);
    Md5Update(&context, "message digest", 14);
    Md5Final(second, &context);
    EXPECT_EQ(Hex(first), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Hex(second), Hex(first));
}

}  // namespace
