#pragma once
// Enciphers short secrets kept on disk (target tokens of stored logs): AES-256-CBC with PKCS#7
// padding and a fresh random IV per value, under one of two keys kept in the keychain. The key
// tag for new values changes once a year; every value names its tag, so values made under
// either stay readable, and values written before tags existed (bare ciphertext, zero IV)
// are read with the first key. When random bytes can't be had nothing is enciphered: no weak
// key or IV is ever used. Any thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"

extern const std::string kBCNEncryptionKeyTag;          // "kBNEncryptionKeyTag"
extern const std::string kBCNEncryptionKeyTagAlternate; // "kBNEncryptionKeyTagAlternate"

class BCNEncrypter {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Base64 of the enciphered UTF-8 bytes; none when enciphering fails.
    std::optional<std::string> encryptString(const std::string& string);
    std::optional<foundation::Data> encryptData(const foundation::Data& data);
    std::optional<std::string> decryptString(const std::string& base64);
    std::optional<foundation::Data> decryptData(const foundation::Data& data);
    // The 32-byte key of the tag, generated and stored when absent; none when no random bytes.
    std::optional<Bytes> getKeyWithKeyTag(const std::string& keyTag);

    // The tag for new values, switching tags when the current one has expired.
    static std::string getCurrentKeyTag();
    // Makes `keyTag` current for 365 days from now.
    static void rotateToNewKeyTag(const std::string& keyTag);
    static foundation::Data getMetadataStringWithKeyTag(const std::string& keyTag);

    // Tests replace the random source to see what happens when it fails; null restores it.
    using RandomSource = std::function<std::optional<Bytes>(std::size_t)>;
    static void setRandomSource(RandomSource source);

private:
    static std::optional<Bytes> randomBytes(std::size_t count);
    static std::optional<Bytes> generateAndSaveKeyWithTag(const std::string& keyTag);

    std::mutex m_mutex;
    std::optional<Bytes> m_originalKeyData;
    std::optional<Bytes> m_alternateKeyData;
};
