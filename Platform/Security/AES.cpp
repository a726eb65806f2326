#include "Platform/Security/AES.h"

#include <openssl/evp.h>

#include <memory>

#include "Platform/Security/Random.h"

namespace security {

namespace {

constexpr std::size_t kNonceLength = 12;
constexpr std::size_t kTagLength = 16;

struct ContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_CIPHER_CTX, ContextDeleter>;

} // namespace

std::optional<std::vector<std::uint8_t>> aesSeal(std::span<const std::uint8_t> key, std::span<const std::uint8_t> plaintext)
{
    if (key.size() != AESKeyLength)
        return std::nullopt;
    auto nonce = randomBytes(kNonceLength);
    Context context(EVP_CIPHER_CTX_new());
    if (!nonce || !context)
        return std::nullopt;
    std::vector<std::uint8_t> out(kNonceLength + plaintext.size() + kTagLength);
    std::copy(nonce->begin(), nonce->end(), out.begin());
    int length = 0;
    if (EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce->data()) != 1)
        return std::nullopt;
    if (!plaintext.empty()
        && EVP_EncryptUpdate(context.get(), out.data() + kNonceLength, &length, plaintext.data(), static_cast<int>(plaintext.size())) != 1)
        return std::nullopt;
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(context.get(), out.data() + kNonceLength + length, &finalLength) != 1)
        return std::nullopt;
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, kTagLength, out.data() + kNonceLength + plaintext.size()) != 1)
        return std::nullopt;
    return out;
}

std::optional<std::vector<std::uint8_t>> aesOpen(std::span<const std::uint8_t> key, std::span<const std::uint8_t> sealed)
{
    if (key.size() != AESKeyLength || sealed.size() < kNonceLength + kTagLength)
        return std::nullopt;
    Context context(EVP_CIPHER_CTX_new());
    if (!context)
        return std::nullopt;
    const std::size_t cipherLength = sealed.size() - kNonceLength - kTagLength;
    std::vector<std::uint8_t> out(cipherLength);
    int length = 0;
    if (EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key.data(), sealed.data()) != 1)
        return std::nullopt;
    if (cipherLength > 0
        && EVP_DecryptUpdate(context.get(), out.data(), &length, sealed.data() + kNonceLength, static_cast<int>(cipherLength)) != 1)
        return std::nullopt;
    std::uint8_t tag[kTagLength];
    std::copy(sealed.end() - kTagLength, sealed.end(), tag);
    if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kTagLength, tag) != 1)
        return std::nullopt;
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), out.data() + length, &finalLength) != 1)
        return std::nullopt;
    return out;
}

} // namespace security

namespace security {

namespace {

std::optional<std::vector<std::uint8_t>> aesCBC(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                                std::span<const std::uint8_t> input)
{
    if (key.size() != AESKeyLength || (!iv.empty() && iv.size() != AESBlockLength))
        return std::nullopt;
    std::uint8_t zeros[AESBlockLength] = {};
    const std::uint8_t* ivBytes = iv.empty() ? zeros : iv.data();
    Context context(EVP_CIPHER_CTX_new());
    if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), ivBytes, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    std::vector<std::uint8_t> output(input.size() + AESBlockLength + 1);
    int written = 0;
    int finished = 0;
    if (EVP_CipherUpdate(context.get(), output.data(), &written, input.data(), static_cast<int>(input.size())) != 1
        || EVP_CipherFinal_ex(context.get(), output.data() + written, &finished) != 1)
        return std::nullopt;
    output.resize(static_cast<std::size_t>(written + finished));
    return output;
}

} // namespace

std::optional<std::vector<std::uint8_t>> aesCBCEncrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                                       std::span<const std::uint8_t> plaintext)
{
    return aesCBC(true, key, iv, plaintext);
}

std::optional<std::vector<std::uint8_t>> aesCBCDecrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                                                       std::span<const std::uint8_t> ciphertext)
{
    return aesCBC(false, key, iv, ciphertext);
}

} // namespace security
