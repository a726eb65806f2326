#include "MovaraAppKit/Telemetry/Core/Util/BCNEncrypter.h"

#include <algorithm>

#include "MovaraAppKit/Telemetry/Core/BCNBeaconUserDefaults.h"
#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNKeychainUtil.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Foundation/StringUtils.h"
#include "Platform/Security/AES.h"
#include "Platform/Security/Random.h"

const std::string kBCNEncryptionKeyTag = "kBNEncryptionKeyTag";
const std::string kBCNEncryptionKeyTagAlternate = "kBNEncryptionKeyTagAlternate";

namespace {

const std::string kTag = "Beacon";
const std::string kMetadataKey = "EncryptionKeyMetadata";
constexpr double kKeyLifetime = 365.0 * 24 * 60 * 60;
constexpr std::size_t kKeyLength = 32;
constexpr std::size_t kIVLength = 16;

std::recursive_mutex& classLock()
{
    static std::recursive_mutex lock;
    return lock;
}

BCNEncrypter::RandomSource& randomSource()
{
    static BCNEncrypter::RandomSource source;
    return source;
}

} // namespace

void BCNEncrypter::setRandomSource(RandomSource source)
{
    std::lock_guard lock(classLock());
    randomSource() = std::move(source);
}

std::optional<BCNEncrypter::Bytes> BCNEncrypter::randomBytes(std::size_t count)
{
    RandomSource source;
    {
        std::lock_guard lock(classLock());
        source = randomSource();
    }
    return source ? source(count) : security::randomBytes(count);
}

std::string BCNEncrypter::getCurrentKeyTag()
{
    std::lock_guard lock(classLock());
    const foundation::Value metadata = BCNBeaconUserDefaults::shared().objectForKey(kMetadataKey);
    if (!metadata.isString()) {
        rotateToNewKeyTag(kBCNEncryptionKeyTagAlternate);
        return kBCNEncryptionKeyTagAlternate;
    }
    const std::string& text = metadata.asString();
    const auto slash = text.find('/');
    const std::string tag = text.substr(0, slash);
    const auto expiry = slash == std::string::npos ? std::nullopt : BCNUtility::dateFromISO8601(text.substr(slash + 1));
    if (expiry && !(*expiry < BCNUtility::now()))
        return tag;
    const std::string next = tag == kBCNEncryptionKeyTag ? kBCNEncryptionKeyTagAlternate : kBCNEncryptionKeyTag;
    rotateToNewKeyTag(next);
    return next;
}

void BCNEncrypter::rotateToNewKeyTag(const std::string& keyTag)
{
    const auto expiry = BCNUtility::now().dateByAddingTimeInterval(kKeyLifetime);
    BCNBeaconUserDefaults::shared().setObjectForKey(keyTag + "/" + BCNUtility::dateToISO8601(expiry), kMetadataKey);
}

foundation::Data BCNEncrypter::getMetadataStringWithKeyTag(const std::string& keyTag)
{
    const std::string text = keyTag + "/AES/CBC/PKCS7/32";
    return foundation::Data(text.begin(), text.end());
}

std::optional<BCNEncrypter::Bytes> BCNEncrypter::generateAndSaveKeyWithTag(const std::string& keyTag)
{
    auto key = randomBytes(kKeyLength);
    if (!key || key->size() != kKeyLength) {
        // Never fall back to a predictable key: without one nothing gets enciphered.
        BCNLogError(kTag, "Error generating encryption key. Error code: -1");
        return std::nullopt;
    }
    if (!BCNKeychainUtil::storeString(foundation::base64Encode(*key), keyTag))
        return std::nullopt; // a key nobody can read back would make the values unreadable
    return key;
}

std::optional<BCNEncrypter::Bytes> BCNEncrypter::getKeyWithKeyTag(const std::string& keyTag)
{
    const bool original = keyTag == kBCNEncryptionKeyTag;
    {
        std::lock_guard lock(m_mutex);
        const auto& cached = original ? m_originalKeyData : m_alternateKeyData;
        if (cached)
            return cached;
    }
    auto decode = [](const std::optional<std::string>& stored) -> std::optional<Bytes> {
        if (!stored)
            return std::nullopt;
        return foundation::base64Decode(*stored);
    };
    if (auto key = decode(BCNKeychainUtil::stringForKey(keyTag)))
        return key;
    std::optional<Bytes> key;
    {
        std::lock_guard lock(classLock());
        key = decode(BCNKeychainUtil::stringForKey(keyTag));
        if (!key)
            key = generateAndSaveKeyWithTag(keyTag);
    }
    if (key) {
        std::lock_guard lock(m_mutex);
        (original ? m_originalKeyData : m_alternateKeyData) = key;
    }
    return key;
}

std::optional<foundation::Data> BCNEncrypter::encryptData(const foundation::Data& data)
{
    const std::string tag = getCurrentKeyTag();
    const auto key = getKeyWithKeyTag(tag);
    if (!key)
        return std::nullopt;
    const auto iv = randomBytes(kIVLength);
    if (!iv || iv->size() != kIVLength) {
        BCNLogError(kTag, "Error generating initialization vector. Error code: -1");
        return std::nullopt;
    }
    const auto cipher = security::aesCBCEncrypt(*key, *iv, data);
    if (!cipher) {
        BCNLogError(kTag, "Error performing encryption or decryption.");
        return std::nullopt;
    }
    foundation::Data output = getMetadataStringWithKeyTag(tag);
    output.push_back(':');
    output.insert(output.end(), iv->begin(), iv->end());
    output.insert(output.end(), cipher->begin(), cipher->end());
    return output;
}

std::optional<foundation::Data> BCNEncrypter::decryptData(const foundation::Data& data)
{
    std::optional<Bytes> key;
    Bytes iv;
    std::span<const std::uint8_t> cipher(data);
    // A tagged value begins with the exact metadata of one of the two tags and a ':'. Anything
    // else is an old value: bare ciphertext, whose random bytes may well hold a ':' too.
    std::optional<std::string> tag;
    for (const std::string& candidate : { kBCNEncryptionKeyTag, kBCNEncryptionKeyTagAlternate }) {
        const auto metadata = getMetadataStringWithKeyTag(candidate);
        if (data.size() > metadata.size() && std::equal(metadata.begin(), metadata.end(), data.begin()) && data[metadata.size()] == ':')
            tag = candidate;
    }
    if (tag) {
        const std::size_t start = getMetadataStringWithKeyTag(*tag).size() + 1;
        if (data.size() - start < kIVLength) {
            BCNLogError(kTag, "Error performing encryption or decryption.");
            return std::nullopt;
        }
        iv.assign(data.begin() + static_cast<long>(start), data.begin() + static_cast<long>(start + kIVLength));
        cipher = cipher.subspan(start + kIVLength);
        key = getKeyWithKeyTag(*tag);
    } else {
        key = getKeyWithKeyTag(kBCNEncryptionKeyTag);
    }
    std::optional<Bytes> plain;
    if (key)
        plain = security::aesCBCDecrypt(*key, iv, cipher);
    if (!plain) {
        BCNLogError(kTag, "Error performing encryption or decryption.");
        return std::nullopt;
    }
    return plain;
}

std::optional<std::string> BCNEncrypter::encryptString(const std::string& string)
{
    const auto data = encryptData(foundation::Data(string.begin(), string.end()));
    if (!data)
        return std::nullopt;
    return foundation::base64Encode(*data);
}

std::optional<std::string> BCNEncrypter::decryptString(const std::string& base64)
{
    const auto data = foundation::base64Decode(base64);
    if (!data) {
        BCNLogWarning(kTag, "Conversion of encrypted string to NSData failed.");
        return std::nullopt;
    }
    const auto plain = decryptData(*data);
    if (!plain)
        return std::nullopt;
    std::string text(plain->begin(), plain->end());
    if (!foundation::isValidUTF8(text)) {
        BCNLogWarning(kTag, "Converting decrypted NSData to NSString failed.");
        return std::nullopt;
    }
    return text;
}
