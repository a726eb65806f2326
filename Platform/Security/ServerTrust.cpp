#include "Platform/Security/ServerTrust.h"

#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace security {

const std::string TrustErrorDomain = "NSOSStatusErrorDomain";

namespace {

// The platform's status codes of trust failures.
constexpr long errSecCertificateExpired = -67818;
constexpr long errSecHostNameMismatch = -67602;
constexpr long errSecNotTrusted = -67843;
constexpr long errSecInvalidCertificate = -67635;

std::mutex& rootsMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::optional<std::vector<CertificatePtr>>& testRoots()
{
    static std::optional<std::vector<CertificatePtr>> roots;
    return roots;
}

struct StoreDeleter {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct StoreContextDeleter {
    void operator()(X509_STORE_CTX* context) const { X509_STORE_CTX_free(context); }
};
struct StackDeleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};

} // namespace

// MARK: - Certificate

std::shared_ptr<Certificate> Certificate::createWithData(const foundation::Data& der)
{
    const unsigned char* bytes = der.data();
    X509* certificate = d2i_X509(nullptr, &bytes, static_cast<long>(der.size()));
    if (!certificate)
        return nullptr;
    if (bytes != der.data() + der.size()) {
        // Trailing bytes: not exactly one certificate.
        X509_free(certificate);
        return nullptr;
    }
    return std::shared_ptr<Certificate>(new Certificate(certificate));
}

std::shared_ptr<Certificate> Certificate::createWithPEM(const std::string& pem)
{
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio)
        return nullptr;
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    if (!certificate)
        return nullptr;
    return std::shared_ptr<Certificate>(new Certificate(certificate));
}

std::shared_ptr<Certificate> Certificate::createWithX509(X509* certificate)
{
    if (!certificate)
        return nullptr;
    X509_up_ref(certificate);
    return std::shared_ptr<Certificate>(new Certificate(certificate));
}

Certificate::~Certificate()
{
    X509_free(m_x509);
}

foundation::Data Certificate::data() const
{
    int length = i2d_X509(m_x509, nullptr);
    if (length <= 0)
        return {};
    foundation::Data der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509(m_x509, &out);
    return der;
}

std::string Certificate::subjectSummary() const
{
    X509_NAME* name = X509_get_subject_name(m_x509);
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0)
        return {};
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0)
        return {};
    std::string summary(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return summary;
}

foundation::Data Certificate::publicKeyData() const
{
    X509_PUBKEY* key = X509_get_X509_PUBKEY(m_x509);
    if (!key)
        return {};
    int length = i2d_X509_PUBKEY(key, nullptr);
    if (length <= 0)
        return {};
    foundation::Data der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509_PUBKEY(key, &out);
    return der;
}

// MARK: - Trust

std::shared_ptr<Trust> Trust::createWithCertificates(std::vector<CertificatePtr> certificates, Policy policy)
{
    std::shared_ptr<Trust> trust(new Trust());
    for (auto& certificate : certificates) {
        if (certificate)
            trust->m_certificates.push_back(std::move(certificate));
    }
    trust->m_policies = { std::move(policy) };
    return trust;
}

void Trust::setPolicies(std::vector<Policy> policies)
{
    m_policies = std::move(policies);
    m_evaluated = false;
}

void Trust::setAnchorCertificates(std::vector<CertificatePtr> anchors)
{
    m_anchors = std::move(anchors);
    m_hasAnchors = true;
    m_anchorsOnly = true;
    m_evaluated = false;
}

void Trust::setSystemRootsForTesting(std::vector<CertificatePtr> roots)
{
    std::lock_guard lock(rootsMutex());
    testRoots() = std::move(roots);
}

CertificatePtr Trust::certificateAtIndex(std::size_t index) const
{
    return index < m_certificates.size() ? m_certificates[index] : nullptr;
}

std::optional<foundation::Data> Trust::copyPublicKey() const
{
    if (m_certificates.empty())
        return std::nullopt;
    auto key = m_certificates.front()->publicKeyData();
    if (key.empty())
        return std::nullopt;
    return key;
}

Trust::Result Trust::trustResult()
{
    evaluateWithError(nullptr);
    return m_result;
}

bool Trust::evaluateWithError(foundation::ErrorPtr* error)
{
    if (m_evaluated) {
        if (error)
            *error = m_error;
        return m_result == Result::Proceed || m_result == Result::Unspecified;
    }
    m_evaluated = true;
    m_result = Result::RecoverableTrustFailure;
    m_error = nullptr;

    auto fail = [&](long code, const std::string& reason) {
        m_error = foundation::Error::make(TrustErrorDomain, code, reason);
        if (error)
            *error = m_error;
        return false;
    };

    if (m_certificates.empty()) {
        m_result = Result::Invalid;
        return fail(errSecInvalidCertificate, "There is no certificate to evaluate.");
    }

    std::unique_ptr<X509_STORE, StoreDeleter> store(X509_STORE_new());
    if (!store)
        return fail(errSecNotTrusted, "The certificate store could not be made.");
    if (!m_hasAnchors || !m_anchorsOnly) {
        std::lock_guard lock(rootsMutex());
        if (testRoots()) {
            for (const auto& root : *testRoots())
                X509_STORE_add_cert(store.get(), root->x509());
        } else {
            X509_STORE_set_default_paths(store.get());
        }
    }
    for (const auto& anchor : m_anchors)
        X509_STORE_add_cert(store.get(), anchor->x509());
    ERR_clear_error();

    std::unique_ptr<STACK_OF(X509), StackDeleter> untrusted(sk_X509_new_null());
    for (std::size_t i = 1; i < m_certificates.size(); ++i)
        sk_X509_push(untrusted.get(), m_certificates[i]->x509());

    std::unique_ptr<X509_STORE_CTX, StoreContextDeleter> context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store.get(), m_certificates.front()->x509(), untrusted.get()) != 1)
        return fail(errSecNotTrusted, "The certificate chain could not be built.");
    // An anchor of the caller's need not be self-signed to end the chain.
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    bool ssl = false;
    for (const auto& policy : m_policies) {
        if (policy.kind == Policy::Kind::SSL) {
            ssl = true;
            X509_STORE_CTX_set_purpose(context.get(), policy.server ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT);
        }
    }
    int verified = X509_verify_cert(context.get());
    int verifyError = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    if (verified != 1) {
        long code = verifyError == X509_V_ERR_CERT_HAS_EXPIRED || verifyError == X509_V_ERR_CERT_NOT_YET_VALID
            ? errSecCertificateExpired
            : errSecNotTrusted;
        return fail(code, std::string("The certificate chain is not trusted: ") + X509_verify_cert_error_string(verifyError) + ".");
    }

    if (ssl) {
        X509* leaf = m_certificates.front()->x509();
        for (const auto& policy : m_policies) {
            if (policy.kind != Policy::Kind::SSL || !policy.hostname || policy.hostname->empty())
                continue;
            const std::string& host = *policy.hostname;
            std::string bare = host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
            bool matches = X509_check_ip_asc(leaf, bare.c_str(), 0) == 1
                || X509_check_host(leaf, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
            ERR_clear_error();
            if (!matches)
                return fail(errSecHostNameMismatch, "The certificate is not valid for \"" + host + "\".");
        }
    }
    m_result = Result::Unspecified;
    if (error)
        *error = nullptr;
    return true;
}

} // namespace security
