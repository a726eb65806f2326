#include <gtest/gtest.h>

#include "Platform/Security/ServerTrust.h"
#include "Tests/Support/TestCertificates.h"

using security::Certificate;
using security::Policy;
using security::Trust;
using testsupport::TestPKI;

namespace {

security::CertificatePtr certificate(const testsupport::TestKeyPair& pair)
{
    return Certificate::createWithPEM(pair.certificatePEM);
}

} // namespace

TEST(ServerTrust, EvaluatesChainsAndHostNamesAgainstAnchors)
{
    const auto& pki = TestPKI::shared();
    struct Case {
        const char* name;
        security::CertificatePtr leaf;
        Policy policy;
        std::vector<security::CertificatePtr> anchors;
        bool trusted;
    };
    const Case cases[] = {
        { "signed by the anchor, right host", certificate(pki.server), Policy::SSL(true, "127.0.0.1"), { certificate(pki.ca) }, true },
        { "host name", certificate(pki.server), Policy::SSL(true, "localhost"), { certificate(pki.ca) }, true },
        { "other host", certificate(pki.otherHost), Policy::SSL(true, "127.0.0.1"), { certificate(pki.ca) }, false },
        { "other host, basic policy", certificate(pki.otherHost), Policy::basicX509(), { certificate(pki.ca) }, true },
        { "unrelated anchor", certificate(pki.server), Policy::SSL(true, "127.0.0.1"), { certificate(pki.otherCA) }, false },
        { "self-signed, no anchors", certificate(pki.selfSigned), Policy::SSL(true, "127.0.0.1"), {}, false },
        { "self-signed as its own anchor", certificate(pki.selfSigned), Policy::SSL(true, "127.0.0.1"), { certificate(pki.selfSigned) }, true },
    };
    Trust::setSystemRootsForTesting({});
    for (const Case& c : cases) {
        auto trust = Trust::createWithCertificates({ c.leaf }, c.policy);
        if (!c.anchors.empty())
            trust->setAnchorCertificates(c.anchors);
        foundation::ErrorPtr error;
        EXPECT_EQ(trust->evaluateWithError(&error), c.trusted) << c.name;
        EXPECT_EQ(error != nullptr, !c.trusted) << c.name;
        EXPECT_EQ(trust->trustResult() == Trust::Result::Unspecified, c.trusted) << c.name;
    }
}

TEST(ServerTrust, SystemRootsTrustWhatTheyIssued)
{
    const auto& pki = TestPKI::shared();
    auto trust = Trust::createWithCertificates({ certificate(pki.server) }, Policy::SSL(true, "127.0.0.1"));
    Trust::setSystemRootsForTesting({ certificate(pki.ca) });
    EXPECT_TRUE(trust->evaluateWithError());
    Trust::setSystemRootsForTesting({});
    auto untrusted = Trust::createWithCertificates({ certificate(pki.server) }, Policy::SSL(true, "127.0.0.1"));
    EXPECT_FALSE(untrusted->evaluateWithError());
    // Anchors of the caller's replace the roots unless the roots are asked back.
    Trust::setSystemRootsForTesting({ certificate(pki.ca) });
    auto anchored = Trust::createWithCertificates({ certificate(pki.server) }, Policy::SSL(true, "127.0.0.1"));
    anchored->setAnchorCertificates({ certificate(pki.otherCA) });
    EXPECT_FALSE(anchored->evaluateWithError());
    anchored->setAnchorCertificatesOnly(false);
    EXPECT_TRUE(anchored->evaluateWithError());
    Trust::setSystemRootsForTesting({});
}

TEST(ServerTrust, CertificatesRoundTripAndExposeTheirKeys)
{
    const auto& pki = TestPKI::shared();
    auto server = certificate(pki.server);
    auto reissued = certificate(pki.serverReissued);
    ASSERT_TRUE(server && reissued);
    EXPECT_EQ(server->data(), pki.server.certificateDER());
    EXPECT_EQ(Certificate::createWithData(server->data())->data(), server->data());
    EXPECT_NE(server->data(), reissued->data());
    EXPECT_EQ(server->publicKeyData(), reissued->publicKeyData());
    EXPECT_NE(server->publicKeyData(), certificate(pki.otherHost)->publicKeyData());
    EXPECT_EQ(server->subjectSummary(), "127.0.0.1");

    auto trust = Trust::createWithCertificates({ server }, Policy::basicX509());
    EXPECT_EQ(trust->copyPublicKey(), server->publicKeyData());
    EXPECT_EQ(trust->certificateCount(), 1u);

    foundation::Data truncated = server->data();
    truncated.resize(truncated.size() / 2);
    EXPECT_FALSE(Certificate::createWithData(truncated));
    foundation::Data trailing = server->data();
    trailing.push_back(0);
    EXPECT_FALSE(Certificate::createWithData(trailing));
    EXPECT_FALSE(Certificate::createWithPEM("not a certificate"));
}
