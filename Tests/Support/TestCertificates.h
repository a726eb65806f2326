#pragma once
// A small certificate authority made once per test process: a CA, a server certificate for
// 127.0.0.1 it signed, the same key re-issued under a new serial, a certificate for another
// host, an expired one, and a self-signed one. EC keys keep it fast. Texts are PEM.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct TestKeyPair {
    std::string certificatePEM;
    std::string keyPEM;
    std::vector<std::uint8_t> certificateDER() const;
};

struct TestPKI {
    TestKeyPair ca;
    TestKeyPair server;         // 127.0.0.1 and localhost, signed by ca
    TestKeyPair serverReissued; // the server's key, a new certificate signed by ca
    TestKeyPair expired;        // the server's key, signed by ca, no longer valid since yesterday
    TestKeyPair otherHost;      // other.example, signed by ca
    TestKeyPair selfSigned;     // 127.0.0.1, signed by itself
    TestKeyPair otherCA;        // a second authority, unrelated to the first

    static const TestPKI& shared();
};

} // namespace testsupport
