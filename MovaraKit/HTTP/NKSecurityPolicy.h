#pragma once
// Whether a server's certificate chain is accepted for a host: the platform's SSL evaluation
// by default, optionally pinned to certificates (the chain must validate against the pinned
// certificates as its only anchors) or to public keys (the leaf's key must be a pinned one, or
// the chain must validate to a pinned anchor whose key is pinned). Pinned certificates are DER.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"
#include "Platform/Security/ServerTrust.h"

enum class NKSSLPinningMode : unsigned long { None = 0, PublicKey = 1, Certificate = 2 };

class NKSecurityPolicy {
public:
    // The "cer" files beside the framework's resources, read once.
    static const std::vector<foundation::Data>& defaultPinnedCertificates();
    static std::shared_ptr<NKSecurityPolicy> defaultPolicy();
    static std::shared_ptr<NKSecurityPolicy> policyWithPinningMode(NKSSLPinningMode mode);

    NKSSLPinningMode SSLPinningMode() const { return m_pinningMode; }
    void setSSLPinningMode(NKSSLPinningMode mode) { m_pinningMode = mode; }
    bool allowInvalidCertificates() const { return m_allowInvalidCertificates; }
    void setAllowInvalidCertificates(bool allow) { m_allowInvalidCertificates = allow; }
    bool validatesDomainName() const { return m_validatesDomainName; }
    void setValidatesDomainName(bool validates) { m_validatesDomainName = validates; }

    // Duplicates are dropped (first kept); the keys of those that make certificates follow.
    const std::optional<std::vector<foundation::Data>>& pinnedCertificates() const { return m_pinnedCertificates; }
    void setPinnedCertificates(std::optional<std::vector<foundation::Data>> certificates);
    const std::optional<std::vector<foundation::Data>>& pinnedPublicKeys() const { return m_pinnedPublicKeys; }

    bool evaluateServerTrust(const security::TrustPtr& serverTrust) { return evaluateServerTrust(serverTrust, std::nullopt); }
    bool evaluateServerTrust(const security::TrustPtr& serverTrust, const std::optional<std::string>& domain);

private:
    NKSecurityPolicy() = default;

    NKSSLPinningMode m_pinningMode = NKSSLPinningMode::None;
    bool m_allowInvalidCertificates = false;
    bool m_validatesDomainName = true;
    std::optional<std::vector<foundation::Data>> m_pinnedCertificates;
    std::optional<std::vector<foundation::Data>> m_pinnedPublicKeys;
};

// The exported form of a public key (DER SubjectPublicKeyInfo); none for none.
std::optional<foundation::Data> NKSecKeyGetData(const std::optional<foundation::Data>& key);
