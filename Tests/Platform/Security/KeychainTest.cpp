#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "Platform/Security/AES.h"
#include "Platform/Security/Keychain.h"
#include "Tests/Support/ScopedEnv.h"
#include "Tests/Support/TempDir.h"

using namespace security;

namespace {

std::vector<std::uint8_t> bytes(const std::string& s) { return { s.begin(), s.end() }; }

KeychainItem item(const std::string& account, const std::string& password, bool synchronizable = true)
{
    KeychainItem i;
    i.service = "api.example.com";
    i.account = account;
    i.accessGroup = "TEAM.com.movara";
    i.label = "api.example.com (" + account + ")";
    i.synchronizable = synchronizable;
    i.data = bytes(password);
    return i;
}

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

const KeychainQuery anyLogin { "api.example.com", std::nullopt, "TEAM.com.movara", std::nullopt };

} // namespace

// The test run's own Secret Service (scripts/test starts one on a private bus), named for
// this process while the object lives; none when the tests run without one.
struct TestSecretService {
    TestSecretService() : address(std::getenv("QUINTOR_TEST_BUS_ADDRESS")), bus("DBUS_SESSION_BUS_ADDRESS", address) { }
    bool available() const { return address && *address; }
    const char* address;
    testsupport::ScopedEnv bus;
};

namespace security {
void PrintTo(Keychain::Backend backend, std::ostream* out)
{
    *out << (backend == Keychain::Backend::File ? "the private file" : "the Secret Service");
}
} // namespace security

// Both places a keychain keeps its items behave alike.
class KeychainBackends : public ::testing::TestWithParam<Keychain::Backend> {
protected:
    void SetUp() override
    {
        if (GetParam() == Keychain::Backend::SecretService && !m_service.available())
            GTEST_SKIP() << "no Secret Service for the tests (scripts/test starts one)";
    }
    TestSecretService m_service;
};

INSTANTIATE_TEST_SUITE_P(Keychain, KeychainBackends, ::testing::Values(Keychain::Backend::File, Keychain::Backend::SecretService),
                         [](const auto& info) { return info.param == Keychain::Backend::File ? "File" : "SecretService"; });

TEST_P(KeychainBackends, AddFindUpdateAndRemoveAnItem)
{
    testsupport::TempDir dir;
    Keychain keychain(dir.path() / "keychains", GetParam());

    EXPECT_EQ(keychain.copyMatching(anyLogin, true, 1, nullptr), errSecItemNotFound);
    ASSERT_EQ(keychain.add(item("ann", "s3cret")), errSecSuccess);
    EXPECT_EQ(keychain.add(item("ann", "other")), errSecDuplicateItem);

    std::vector<KeychainItem> found;
    ASSERT_EQ(keychain.copyMatching(anyLogin, false, 1, &found), errSecSuccess);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].account, "ann");
    EXPECT_EQ(found[0].label, "api.example.com (ann)");
    EXPECT_FALSE(found[0].data) << "attributes only, unless the data is asked for";
    ASSERT_EQ(keychain.copyMatching(anyLogin, true, 1, &found), errSecSuccess);
    EXPECT_EQ(found[0].data, bytes("s3cret"));

    // A query for local items does not see the synchronised one.
    KeychainQuery localOnly = anyLogin;
    localOnly.synchronizable = false;
    EXPECT_EQ(keychain.copyMatching(localOnly, false, 0, nullptr), errSecItemNotFound);

    ASSERT_EQ(keychain.update(anyLogin, { "bob", "api.example.com (bob)", bytes("new") }), errSecSuccess);
    ASSERT_EQ(keychain.copyMatching(anyLogin, true, 0, &found), errSecSuccess);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].account, "bob");
    EXPECT_EQ(found[0].data, bytes("new"));

    // Items come back in the order they were added; a change may not make two the same.
    ASSERT_EQ(keychain.add(item("cy", std::string("\0binary\xff", 8))), errSecSuccess);
    ASSERT_EQ(keychain.copyMatching(anyLogin, true, 0, &found), errSecSuccess);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[1].account, "cy");
    EXPECT_EQ(found[1].data, bytes(std::string("\0binary\xff", 8)));
    KeychainQuery cy = anyLogin;
    cy.account = "cy";
    EXPECT_EQ(keychain.update(cy, { "bob", std::nullopt, std::nullopt }), errSecDuplicateItem);
    ASSERT_EQ(keychain.copyMatching(cy, false, 0, &found), errSecSuccess) << "a refused change changes nothing";

    EXPECT_EQ(keychain.remove(anyLogin), errSecSuccess);
    EXPECT_EQ(keychain.remove(anyLogin), errSecItemNotFound);
    EXPECT_EQ(keychain.update(anyLogin, { "x", std::nullopt, std::nullopt }), errSecItemNotFound);
}

TEST(KeychainSecretService, SecretsLeaveNothingOnDiskAndEachKeychainSeesOnlyItsOwn)
{
    TestSecretService service;
    if (!service.available())
        GTEST_SKIP() << "no Secret Service for the tests (scripts/test starts one)";
    testsupport::TempDir dir;
    Keychain mine(dir.path() / "mine", Keychain::Backend::SecretService);
    Keychain theirs(dir.path() / "theirs", Keychain::Backend::SecretService);
    EXPECT_TRUE(mine.usesSecretService());
    ASSERT_EQ(mine.add(item("ann", "hunter2")), errSecSuccess);
    EXPECT_EQ(theirs.copyMatching(anyLogin, true, 0, nullptr), errSecItemNotFound);
    EXPECT_EQ(theirs.remove(anyLogin), errSecItemNotFound);
    EXPECT_EQ(mine.copyMatching(anyLogin, true, 0, nullptr), errSecSuccess);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "no store and no key beside it";
    EXPECT_EQ(mine.remove(anyLogin), errSecSuccess);
}

TEST(KeychainSecretService, ItemsOfAPrivateFileMoveIntoTheSecretServiceWhole)
{
    TestSecretService service;
    if (!service.available())
        GTEST_SKIP() << "no Secret Service for the tests (scripts/test starts one)";
    testsupport::TempDir dir;
    {
        Keychain file(dir.path() / "keychains", Keychain::Backend::File);
        ASSERT_EQ(file.add(item("ann", "pw1")), errSecSuccess);
        ASSERT_EQ(file.add(item("bob", "pw2", false)), errSecSuccess);
    }
    Keychain keychain(dir.path() / "keychains", Keychain::Backend::SecretService);
    std::vector<KeychainItem> found;
    ASSERT_EQ(keychain.copyMatching(anyLogin, true, 0, &found), errSecSuccess);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], item("ann", "pw1"));
    EXPECT_EQ(found[1], item("bob", "pw2", false));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "keychains" / "login.keychain"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "keychains" / "login.keychain-key"));
    EXPECT_EQ(keychain.remove(anyLogin), errSecSuccess);
}

TEST(Keychain, WithoutASecretServiceItGoesToAPrivateFileAndSaysSoOnce)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    testsupport::ScopedEnv noRuntimeBus("XDG_RUNTIME_DIR", dir.path().c_str());
    Keychain keychain(dir.path() / "keychains", Keychain::Backend::Automatic);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(keychain.usesSecretService());
    ASSERT_EQ(keychain.add(item("ann", "pw")), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching(anyLogin, true, 1, nullptr), errSecSuccess);
    EXPECT_EQ(keychain.remove(anyLogin), errSecSuccess);
    const std::string said = ::testing::internal::GetCapturedStderr();
    const auto first = said.find("no Secret Service");
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find("no Secret Service", first + 1), std::string::npos) << said;
    struct stat info {};
    ASSERT_EQ(::stat((dir.path() / "keychains" / "login.keychain").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(Keychain, WithASecretServiceTheAutomaticKeychainUsesIt)
{
    TestSecretService service;
    if (!service.available())
        GTEST_SKIP() << "no Secret Service for the tests (scripts/test starts one)";
    testsupport::TempDir dir;
    Keychain keychain(dir.path() / "keychains", Keychain::Backend::Automatic);
    EXPECT_TRUE(keychain.usesSecretService());
    ASSERT_EQ(keychain.add(item("ann", "pw")), errSecSuccess);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "keychains"));
    EXPECT_EQ(keychain.remove(anyLogin), errSecSuccess);
}

TEST(Keychain, StoreIsPrivateAndHoldsNoSecretInTheClear)
{
    testsupport::TempDir dir;
    Keychain keychain(dir.path() / "keychains");
    ASSERT_EQ(keychain.add(item("ann", "hunter2-very-secret")), errSecSuccess);

    for (const char* name : { "login.keychain", "login.keychain-key" }) {
        struct stat info {};
        ASSERT_EQ(::stat((dir.path() / "keychains" / name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
    }
    EXPECT_EQ(slurp(dir.path() / "keychains" / "login.keychain").find("hunter2"), std::string::npos);
}

TEST(Keychain, DamagedStoreIsSetAsideNotOverwritten)
{
    testsupport::TempDir dir;
    dir.write("keychains/login.keychain", "{ not json");
    Keychain keychain(dir.path() / "keychains");

    EXPECT_EQ(keychain.copyMatching(anyLogin, true, 1, nullptr), errSecDecode);
    ASSERT_EQ(keychain.add(item("ann", "pw")), errSecSuccess);
    EXPECT_EQ(keychain.copyMatching(anyLogin, false, 1, nullptr), errSecSuccess);

    int damagedCopies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "keychains"))
        if (entry.path().filename().string().starts_with("login.keychain.damaged-")) {
            ++damagedCopies;
            EXPECT_EQ(slurp(entry.path()), "{ not json");
        }
    EXPECT_EQ(damagedCopies, 1);
}

TEST(Keychain, DamagedKeyIsNeverReplaced)
{
    testsupport::TempDir dir;
    Keychain keychain(dir.path() / "keychains");
    ASSERT_EQ(keychain.add(item("ann", "pw")), errSecSuccess);
    dir.write("keychains/login.keychain-key", "short");

    EXPECT_EQ(keychain.copyMatching(anyLogin, true, 1, nullptr), errSecDecode);
    EXPECT_EQ(keychain.add(item("bob", "pw2")), errSecDecode);
    EXPECT_EQ(slurp(dir.path() / "keychains" / "login.keychain-key"), "short");
    // The attributes stay readable without the key.
    EXPECT_EQ(keychain.copyMatching(anyLogin, false, 1, nullptr), errSecSuccess);
}

TEST(AES, SealedBoxesOpenOnlyWithTheirKeyAndUnchanged)
{
    const std::vector<std::uint8_t> key(AESKeyLength, 7);
    const std::vector<std::uint8_t> otherKey(AESKeyLength, 8);
    for (const std::string text : { "", "a", "a longer secret than one block of sixteen bytes" }) {
        auto sealed = aesSeal(key, bytes(text));
        ASSERT_TRUE(sealed);
        EXPECT_EQ(aesOpen(key, *sealed), bytes(text));
        EXPECT_FALSE(aesOpen(otherKey, *sealed));
        auto tampered = *sealed;
        tampered[tampered.size() / 2] ^= 1;
        EXPECT_FALSE(aesOpen(key, tampered));
        EXPECT_FALSE(aesOpen(key, std::vector<std::uint8_t>(sealed->begin(), sealed->begin() + 10)));
    }
    EXPECT_FALSE(aesSeal(std::vector<std::uint8_t>(16), bytes("x"))) << "only 256-bit keys";
}
