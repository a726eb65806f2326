#include "Tests/Support/TestCertificates.h"

#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace testsupport {

namespace {

struct Made {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
};

EVP_PKEY* makeKey()
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key)
        throw std::runtime_error("cannot make a test key");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        throw std::runtime_error("cannot make a test certificate extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

X509* makeCertificate(EVP_PKEY* key, const char* commonName, long serial, X509* issuer, EVP_PKEY* issuerKey, bool isCA,
                      const char* subjectAltName, bool expired = false)
{
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), expired ? -3600L * 24 * 30 : -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), expired ? -3600L * 24 : 3600L * 24 * 365);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(signer));
    addExtension(certificate, signer, NID_basic_constraints, isCA ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(certificate, signer, NID_subject_key_identifier, "hash");
    if (isCA) {
        addExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(certificate, signer, NID_key_usage, "critical,digitalSignature");
        addExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
    }
    if (subjectAltName)
        addExtension(certificate, signer, NID_subject_alt_name, subjectAltName);
    X509_sign(certificate, issuerKey ? issuerKey : key, EVP_sha256());
    return certificate;
}

std::string pem(X509* certificate)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

std::string pem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

TestKeyPair pair(EVP_PKEY* key, X509* certificate)
{
    TestKeyPair made { pem(certificate), pem(key) };
    X509_free(certificate);
    return made;
}

TestPKI build()
{
    TestPKI pki;
    EVP_PKEY* caKey = makeKey();
    X509* ca = makeCertificate(caKey, "Quintor Test CA", 1, nullptr, nullptr, true, nullptr);
    EVP_PKEY* serverKey = makeKey();
    pki.server = pair(serverKey, makeCertificate(serverKey, "127.0.0.1", 2, ca, caKey, false, "IP:127.0.0.1,DNS:localhost"));
    pki.serverReissued = pair(serverKey, makeCertificate(serverKey, "127.0.0.1", 3, ca, caKey, false, "IP:127.0.0.1,DNS:localhost"));
    pki.expired = pair(serverKey, makeCertificate(serverKey, "127.0.0.1", 7, ca, caKey, false, "IP:127.0.0.1,DNS:localhost", true));
    EVP_PKEY* otherKey = makeKey();
    pki.otherHost = pair(otherKey, makeCertificate(otherKey, "other.example", 4, ca, caKey, false, "DNS:other.example"));
    EVP_PKEY* selfKey = makeKey();
    pki.selfSigned = pair(selfKey, makeCertificate(selfKey, "127.0.0.1", 5, nullptr, nullptr, false, "IP:127.0.0.1"));
    EVP_PKEY* otherCAKey = makeKey();
    pki.otherCA = pair(otherCAKey, makeCertificate(otherCAKey, "Another Test CA", 6, nullptr, nullptr, true, nullptr));
    pki.ca = pair(caKey, ca);
    for (EVP_PKEY* key : { caKey, serverKey, otherKey, selfKey, otherCAKey })
        EVP_PKEY_free(key);
    return pki;
}

} // namespace

std::vector<std::uint8_t> TestKeyPair::certificateDER() const
{
    BIO* bio = BIO_new_mem_buf(certificatePEM.data(), static_cast<int>(certificatePEM.size()));
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    std::vector<std::uint8_t> der;
    if (certificate) {
        int length = i2d_X509(certificate, nullptr);
        der.resize(static_cast<std::size_t>(length));
        unsigned char* out = der.data();
        i2d_X509(certificate, &out);
        X509_free(certificate);
    }
    return der;
}

const TestPKI& TestPKI::shared()
{
    static const TestPKI pki = build();
    return pki;
}

} // namespace testsupport
