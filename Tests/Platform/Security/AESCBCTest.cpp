#include <gtest/gtest.h>

#include "Platform/Foundation/Digest.h"
#include "Platform/Security/AES.h"

namespace {

std::vector<std::uint8_t> hex(const std::string& text)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

TEST(AESCBC, MatchesTheStandardVectorAndPadsToWholeBlocks)
{
    // NIST SP 800-38A, F.2.5 (CBC-AES256), first block; PKCS#7 adds one block of padding.
    const auto key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const auto iv = hex("000102030405060708090a0b0c0d0e0f");
    const auto plain = hex("6bc1bee22e409f96e93d7e117393172a");
    const auto cipher = security::aesCBCEncrypt(key, iv, plain);
    ASSERT_TRUE(cipher);
    ASSERT_EQ(cipher->size(), 32u);
    EXPECT_EQ(foundation::hexString(std::span(cipher->data(), 16)), "f58c4c04d6e5f1ba779eabfb5f7bfbd6");
    EXPECT_EQ(security::aesCBCDecrypt(key, iv, *cipher), plain);

    EXPECT_FALSE(security::aesCBCEncrypt(std::span(key.data(), 16), iv, plain)) << "only 256-bit keys";
    EXPECT_FALSE(security::aesCBCEncrypt(key, std::span(iv.data(), 8), plain));
    auto damaged = *cipher;
    damaged.back() ^= 1;
    EXPECT_FALSE(security::aesCBCDecrypt(key, iv, damaged)) << "bad padding";
    EXPECT_EQ(security::aesCBCDecrypt(key, {}, *security::aesCBCEncrypt(key, {}, plain)), plain) << "no IV means zeros";
}
