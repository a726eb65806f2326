#include "Tests/MovaraAppKit/Telemetry/TelemetryFixture.h"

#include "MovaraAppKit/Telemetry/Core/Util/BCNEncrypter.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNKeychainUtil.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Security/AES.h"

using BCNEncrypterTest = TelemetryTest;

TEST_F(BCNEncrypterTest, FirstUseMakesTheAlternateKeyAndValuesNameTheirTag)
{
    BCNEncrypter encrypter;
    const auto first = encrypter.encryptString("token-1");
    const auto second = encrypter.encryptString("token-1");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second) << "a fresh IV for every value";
    const auto bytes = *foundation::base64Decode(*first);
    const std::string prefix = "kBNEncryptionKeyTagAlternate/AES/CBC/PKCS7/32:";
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(prefix.size())), prefix);
    EXPECT_EQ(BCNEncrypter().decryptString(*first), "token-1") << "another instance reads it through the keychain";
    EXPECT_EQ(encrypter.decryptString(*second), "token-1");

    const auto metadata = BCNBeaconUserDefaults::shared().objectForKey("EncryptionKeyMetadata").asString();
    ASSERT_TRUE(metadata.starts_with("kBNEncryptionKeyTagAlternate/"));
    const auto expiry = BCNUtility::dateFromISO8601(metadata.substr(metadata.find('/') + 1));
    ASSERT_TRUE(expiry);
    EXPECT_NEAR(expiry->timeIntervalSinceDate(BCNUtility::now()), 365.0 * 86400, 60);
    int status = 0;
    EXPECT_TRUE(BCNKeychainUtil::stringForKey("kBNEncryptionKeyTagAlternate", &status));
    EXPECT_FALSE(BCNKeychainUtil::stringForKey("kBNEncryptionKeyTag", &status));
    EXPECT_EQ(status, -25300);
}

TEST_F(BCNEncrypterTest, AnExpiredTagRotatesAndOldValuesStayReadable)
{
    BCNEncrypter encrypter;
    const auto before = *encrypter.encryptString("old");
    BCNBeaconUserDefaults::shared().setObjectForKey("kBNEncryptionKeyTagAlternate/2001-01-01T00:00:00.000Z", "EncryptionKeyMetadata");
    const auto after = *encrypter.encryptString("new");
    const auto bytes = *foundation::base64Decode(after);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 20), "kBNEncryptionKeyTag/");
    EXPECT_EQ(encrypter.decryptString(before), "old");
    EXPECT_EQ(encrypter.decryptString(after), "new");
}

TEST_F(BCNEncrypterTest, ValuesWithoutMetadataAreReadWithTheFirstKeyAndAZeroIV)
{
    BCNEncrypter encrypter;
    const auto key = encrypter.getKeyWithKeyTag("kBNEncryptionKeyTag");
    ASSERT_TRUE(key);
    const std::string plain = "legacy-token";
    const auto cipher = security::aesCBCEncrypt(*key, {}, std::vector<std::uint8_t>(plain.begin(), plain.end()));
    ASSERT_TRUE(cipher);
    EXPECT_EQ(BCNEncrypter().decryptString(foundation::base64Encode(*cipher)), plain);
}

TEST_F(BCNEncrypterTest, BadInputGivesNothing)
{
    BCNEncrypter encrypter;
    EXPECT_FALSE(encrypter.decryptString("not base64!"));
    EXPECT_TRUE(logged(BCNLogLevelWarning, "Conversion of encrypted string to NSData failed."));
    const std::string shortValue = "kBNEncryptionKeyTag/AES/CBC/PKCS7/32:abc";
    EXPECT_FALSE(encrypter.decryptString(foundation::base64Encode(shortValue))) << "fewer than 16 bytes after the metadata";
    auto value = *foundation::base64Decode(*encrypter.encryptString("x"));
    value.back() ^= 0xFF;
    EXPECT_FALSE(encrypter.decryptData(value));
}

TEST_F(BCNEncrypterTest, WithoutRandomBytesNothingIsEnciphered)
{
    BCNEncrypter::setRandomSource([](std::size_t) { return std::nullopt; });
    EXPECT_FALSE(BCNEncrypter().encryptString("secret")) << "no key can be made";
    EXPECT_TRUE(logged(BCNLogLevelError, "Error generating encryption key. Error code: -1"));
    EXPECT_FALSE(BCNKeychainUtil::stringForKey("kBNEncryptionKeyTagAlternate")) << "no weak key is stored";

    BCNEncrypter::setRandomSource(nullptr);
    BCNEncrypter encrypter;
    ASSERT_TRUE(encrypter.encryptString("secret")) << "the key exists now";
    BCNEncrypter::setRandomSource([](std::size_t) { return std::nullopt; });
    EXPECT_FALSE(encrypter.encryptString("secret")) << "no IV, no value";
    EXPECT_TRUE(logged(BCNLogLevelError, "Error generating initialization vector. Error code: -1"));
    BCNEncrypter::setRandomSource(nullptr);
}

TEST_F(BCNEncrypterTest, OldValuesThatHappenToHoldAColonAreStillReadAsOldValues)
{
    // Bare ciphertext is random bytes: some of it holds a ':' after a few bytes that read as
    // text. Such a value is not a tagged one and must still decipher with the first key.
    BCNEncrypter encrypter;
    const auto key = encrypter.getKeyWithKeyTag("kBNEncryptionKeyTag");
    ASSERT_TRUE(key);
    int found = 0;
    for (int i = 0; i < 20000 && found < 8; ++i) {
        const std::string plain = "legacy-token-" + std::to_string(i);
        const auto cipher = security::aesCBCEncrypt(*key, {}, std::vector<std::uint8_t>(plain.begin(), plain.end()));
        ASSERT_TRUE(cipher);
        const auto colon = std::find(cipher->begin(), cipher->end(), ':');
        if (colon == cipher->end() || colon - cipher->begin() > 3)
            continue;
        bool printable = true;
        for (auto it = cipher->begin(); it != colon; ++it)
            printable = printable && *it < 0x80;
        if (!printable)
            continue;
        ++found;
        EXPECT_EQ(BCNEncrypter().decryptString(foundation::base64Encode(*cipher)), plain) << "colon at " << (colon - cipher->begin());
    }
    EXPECT_GE(found, 1);
}
