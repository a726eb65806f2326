#include "MovaraKit/HTTP/NKSecurityPolicy.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "MovaraKit/Support/Bundle+Movara.h"
#include "MovaraKit/Support/FrameworkLog.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/FileManager.h"

namespace {

bool trustIsValid(const security::TrustPtr& trust)
{
    return trust && trust->evaluateWithError();
}

// The key of a certificate that forms a valid chain on its own (under a basic policy, against
// the system's roots as the platform evaluates it); none otherwise.
std::optional<foundation::Data> publicKeyOfCertificate(const security::CertificatePtr& certificate)
{
    if (!certificate)
        return std::nullopt;
    auto trust = security::Trust::createWithCertificates({ certificate }, security::Policy::basicX509());
    // The key is wanted whether or not the chain is trusted, as the platform copies it after
    // evaluating whatever the result.
    trust->evaluateWithError();
    return trust->copyPublicKey();
}

} // namespace

std::optional<foundation::Data> NKSecKeyGetData(const std::optional<foundation::Data>& key)
{
    if (!key || key->empty())
        return std::nullopt;
    return key;
}

const std::vector<foundation::Data>& NKSecurityPolicy::defaultPinnedCertificates()
{
    static const std::vector<foundation::Data> certificates = [] {
        std::vector<foundation::Data> found;
        auto bundle = mvr_movaraKitBundle();
        if (!bundle)
            return found;
        std::error_code code;
        for (const auto& entry : std::filesystem::directory_iterator(bundle->resourcePath(), code)) {
            if (entry.path().extension() != ".cer")
                continue;
            // A certificate is a few kilobytes: a file far larger is not one and is skipped.
            if (auto bytes = foundation::FileManager::defaultManager().contentsAtPath(entry.path().string(), nullptr, 1 << 20))
                found.push_back(std::move(*bytes));
        }
        return found;
    }();
    return certificates;
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::defaultPolicy()
{
    return std::shared_ptr<NKSecurityPolicy>(new NKSecurityPolicy());
}

std::shared_ptr<NKSecurityPolicy> NKSecurityPolicy::policyWithPinningMode(NKSSLPinningMode mode)
{
    auto policy = defaultPolicy();
    policy->m_pinningMode = mode;
    policy->setPinnedCertificates(defaultPinnedCertificates());
    return policy;
}

void NKSecurityPolicy::setPinnedCertificates(std::optional<std::vector<foundation::Data>> certificates)
{
    if (!certificates) {
        m_pinnedCertificates.reset();
        m_pinnedPublicKeys.reset();
        return;
    }
    std::vector<foundation::Data> unique;
    for (auto& certificate : *certificates) {
        if (std::find(unique.begin(), unique.end(), certificate) == unique.end())
            unique.push_back(std::move(certificate));
    }
    std::vector<foundation::Data> keys;
    for (const auto& data : unique) {
        if (auto key = publicKeyOfCertificate(security::Certificate::createWithData(data)))
            keys.push_back(std::move(*key));
    }
    m_pinnedCertificates = std::move(unique);
    m_pinnedPublicKeys = std::move(keys);
}

bool NKSecurityPolicy::evaluateServerTrust(const security::TrustPtr& serverTrust, const std::optional<std::string>& domain)
{
    if (!serverTrust)
        return false;
    const bool hasPins = m_pinnedCertificates && !m_pinnedCertificates->empty();
    if (domain && m_allowInvalidCertificates && m_validatesDomainName && (m_pinningMode == NKSSLPinningMode::None || !hasPins)) {
        mvr_frameworkLog().error("In order to validate a domain name for self signed certificates, you MUST use pinning.", nullptr);
        return false;
    }
    serverTrust->setPolicies({ m_validatesDomainName ? security::Policy::SSL(true, domain) : security::Policy::basicX509() });

    if (m_pinningMode == NKSSLPinningMode::None)
        return m_allowInvalidCertificates || trustIsValid(serverTrust);
    if (!trustIsValid(serverTrust) && !m_allowInvalidCertificates)
        return false;

    std::vector<security::CertificatePtr> pinned;
    for (const auto& data : m_pinnedCertificates.value_or(std::vector<foundation::Data> {})) {
        if (auto certificate = security::Certificate::createWithData(data))
            pinned.push_back(std::move(certificate));
    }

    switch (m_pinningMode) {
    case NKSSLPinningMode::Certificate: {
        serverTrust->setAnchorCertificates(pinned);
        if (!trustIsValid(serverTrust))
            return false;
        for (std::size_t i = 0; i < serverTrust->certificateCount(); ++i) {
            auto data = serverTrust->certificateAtIndex(i)->data();
            if (std::find(m_pinnedCertificates->begin(), m_pinnedCertificates->end(), data) != m_pinnedCertificates->end())
                return true;
        }
        return false;
    }
    case NKSSLPinningMode::PublicKey: {
        // A chain that merely carries a pinned certificate somewhere proves nothing: the key
        // the server holds is the leaf's. So the leaf's key must be pinned, or the chain must
        // validate with the pinned certificates as its only anchors.
        const auto& keys = m_pinnedPublicKeys.value_or(std::vector<foundation::Data> {});
        auto leafKey = NKSecKeyGetData(serverTrust->copyPublicKey());
        if (leafKey && std::find(keys.begin(), keys.end(), *leafKey) != keys.end())
            return true;
        if (pinned.empty())
            return false;
        serverTrust->setAnchorCertificates(pinned);
        return trustIsValid(serverTrust);
    }
    default:
        return false;
    }
}
