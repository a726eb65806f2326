#include "Platform/Foundation/Digest.h"

#include "Platform/Foundation/Error.h"

#include <openssl/evp.h>

namespace foundation {

struct SHA256Digest::Context {
    struct Free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx{EVP_MD_CTX_new()};
    bool finished = false;
};

SHA256Digest::SHA256Digest()
    : m_context(std::make_unique<Context>())
{
    // These fail only when OpenSSL cannot allocate or has no SHA-256 at all; a digest that
    // silently came out wrong would be worse than stopping.
    if (!m_context->ctx || EVP_DigestInit_ex(m_context->ctx.get(), EVP_sha256(), nullptr) != 1)
        fatal("SHA-256: OpenSSL could not start a digest");
}

SHA256Digest::~SHA256Digest() = default;

void SHA256Digest::update(std::span<const std::uint8_t> bytes)
{
    if (m_context->finished)
        throw Exception(NSInternalInconsistencyException, "SHA256Digest updated after finish()");
    if (!bytes.empty() && EVP_DigestUpdate(m_context->ctx.get(), bytes.data(), bytes.size()) != 1)
        fatal("SHA-256: OpenSSL failed to update a digest");
}

void SHA256Digest::update(std::string_view bytes)
{
    update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

SHA256Bytes SHA256Digest::finish()
{
    if (m_context->finished)
        throw Exception(NSInternalInconsistencyException, "SHA256Digest finished twice");
    SHA256Bytes out{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(m_context->ctx.get(), out.data(), &length) != 1 || length != out.size())
        fatal("SHA-256: OpenSSL failed to finish a digest");
    m_context->finished = true;
    return out;
}

SHA256Bytes sha256(std::span<const std::uint8_t> bytes)
{
    SHA256Digest digest;
    digest.update(bytes);
    return digest.finish();
}

SHA256Bytes sha256(std::string_view bytes)
{
    return sha256(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string hexString(std::span<const std::uint8_t> bytes)
{
    static constexpr char Digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        s += Digits[b >> 4];
        s += Digits[b & 15];
    }
    return s;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes)
{
    return hexString(sha256(bytes));
}

std::string sha256Hex(std::string_view bytes)
{
    return hexString(sha256(bytes));
}

} // namespace foundation
