#pragma once
// Certificates and trust evaluation on OpenSSL: a certificate chain presented by a server,
// evaluated under an SSL server policy (chain and host name) or a basic X.509 policy (chain
// only), against the system's trusted roots or against anchor certificates of the caller's.
// A Trust is used by one thread at a time; certificates are immutable and shareable.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"

typedef struct x509_st X509;

namespace security {

class Certificate {
public:
    // None when the bytes are not one DER certificate.
    static std::shared_ptr<Certificate> createWithData(const foundation::Data& der);
    // The first certificate of PEM text; none without one.
    static std::shared_ptr<Certificate> createWithPEM(const std::string& pem);
    // Takes a reference of its own.
    static std::shared_ptr<Certificate> createWithX509(X509* certificate);
    ~Certificate();

    foundation::Data data() const; // DER
    std::string subjectSummary() const;
    // The DER SubjectPublicKeyInfo of the certificate's key; empty when it has none.
    foundation::Data publicKeyData() const;
    X509* x509() const { return m_x509; }

    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

private:
    explicit Certificate(X509* owned) : m_x509(owned) { }
    X509* m_x509;
};

using CertificatePtr = std::shared_ptr<Certificate>;

struct Policy {
    enum class Kind { BasicX509, SSL };
    Kind kind = Kind::BasicX509;
    bool server = true;
    std::optional<std::string> hostname; // SSL only: the name (or IP address) the leaf must carry

    static Policy basicX509() { return {}; }
    static Policy SSL(bool server, std::optional<std::string> hostname) { return { Kind::SSL, server, std::move(hostname) }; }
};

// Error domain of failed evaluations, with the platform's result codes.
extern const std::string TrustErrorDomain; // "NSOSStatusErrorDomain"

class Trust {
public:
    enum class Result { Invalid = 0, Proceed = 1, Deny = 3, Unspecified = 4, RecoverableTrustFailure = 5, FatalTrustFailure = 6 };

    // `certificates` begins with the leaf; the rest helps build the chain.
    static std::shared_ptr<Trust> createWithCertificates(std::vector<CertificatePtr> certificates, Policy policy);

    const std::vector<Policy>& policies() const { return m_policies; }
    void setPolicies(std::vector<Policy> policies);
    // Anchors replace the system's roots once set (as the platform does), unless
    // setAnchorCertificatesOnly(false) adds the system's roots back.
    void setAnchorCertificates(std::vector<CertificatePtr> anchors);
    void setAnchorCertificatesOnly(bool only) { m_anchorsOnly = only; m_evaluated = false; }

    // Trusted or not under every policy; the reason of a failure goes into `error`.
    bool evaluateWithError(foundation::ErrorPtr* error = nullptr);
    Result trustResult();

    std::size_t certificateCount() const { return m_certificates.size(); }
    CertificatePtr certificateAtIndex(std::size_t index) const;
    // The leaf's public key (DER SubjectPublicKeyInfo), none when there is no leaf.
    std::optional<foundation::Data> copyPublicKey() const;

    // Where the system's trusted roots come from: the default OpenSSL locations, which the
    // SSL_CERT_FILE and SSL_CERT_DIR variables override.
    static void setSystemRootsForTesting(std::vector<CertificatePtr> roots);

private:
    Trust() = default;

    std::vector<CertificatePtr> m_certificates;
    std::vector<Policy> m_policies;
    std::vector<CertificatePtr> m_anchors;
    bool m_hasAnchors = false;
    bool m_anchorsOnly = true;
    bool m_evaluated = false;
    Result m_result = Result::Invalid;
    foundation::ErrorPtr m_error;
};

using TrustPtr = std::shared_ptr<Trust>;

} // namespace security
