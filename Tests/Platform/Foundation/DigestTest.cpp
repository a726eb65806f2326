#include "Platform/Foundation/Digest.h"

#include "Platform/Foundation/Error.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(Digest, SHA256OfKnownTexts)
{
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
    };
    for (const auto& [text, hex] : cases) {
        EXPECT_EQ(sha256Hex(text), hex);
        EXPECT_EQ(hexString(sha256(text)), hex);
    }
}

TEST(Digest, PiecesGiveTheSameDigestAsTheWhole)
{
    std::string data(10000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 31 + 7);
    SHA256Digest digest;
    for (size_t i = 0; i < data.size(); i += 333)
        digest.update(std::string_view(data).substr(i, 333));
    EXPECT_EQ(digest.finish(), sha256(data));
    EXPECT_THROW(digest.finish(), Exception);
    EXPECT_THROW(digest.update(std::string_view("x")), Exception);
}
