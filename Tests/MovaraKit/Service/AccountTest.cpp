#include "Tests/MovaraKit/Service/ServiceFixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCinemagraphUploader.h"
#include "MovaraKit/Service/MVRError.h"
#include "Platform/Foundation/FileManager.h"
#include "Platform/Foundation/NotificationCenter.h"

using foundation::Value;

namespace {

struct Finished {
    bool done = false;
    std::shared_ptr<MVRAPIResponse> response;
    foundation::ErrorPtr error;
};

MVRCommand::CompletionHandler recordInto(Finished& finished)
{
    return [&finished](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        finished = { true, response, error };
    };
}

bool waitFor(const Finished& finished)
{
    return dispatch::RunLoop::main().runUntil([&] { return finished.done; }, 10);
}

unsigned modeOf(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), {} };
}

std::shared_ptr<MVRCredential> stored()
{
    return MVRCredentialStorage::sharedCredentialStorage()->loginCredential();
}

} // namespace

TEST(MVRError, ServiceErrorJSONBecomesErrorsWithTheRightTexts)
{
    auto underlying = foundation::Error::make("com.wirefern.error.serialization.response", -1011, "Request failed: bad request (400)");
    struct Case {
        const char* name;
        Value JSON;
        bool isServiceError;
        long code;
        std::string text;
    };
    const Case cases[] = {
        { "code 0", Value::dictionary({ { "error_code", 0 } }), true, 0, "Invalid Credentials" },
        { "code 3 with a key nobody translates", Value::dictionary({ { "error_code", 3 }, { "error_key", "no.such.key" } }), true, 3,
          "Invalid Field" },
        { "unknown code with a message", Value::dictionary({ { "error_code", 42 }, { "error", "Something" } }), true, 42, "Something" },
        { "negative code with a message", Value::dictionary({ { "error_code", -5 }, { "error", "Odd" } }), true, -5, "Odd" },
        { "video code", Value::dictionary({ { "error_code", 2000 } }), true, 2000, "Failed to load video" },
        { "code as text is no error JSON", Value::dictionary({ { "error_code", "3" } }), false, -1011, "Request failed: bad request (400)" },
        { "not a dictionary", Value::array({ 1 }), false, -1011, "Request failed: bad request (400)" },
    };
    for (const Case& c : cases) {
        auto error = MVRError::errorWithJSON(c.JSON, underlying);
        ASSERT_TRUE(error) << c.name;
        EXPECT_EQ(error->domain() == MVRErrorDomain, c.isServiceError) << c.name;
        EXPECT_EQ(error->code(), c.code) << c.name;
        EXPECT_EQ(error->localizedDescription(), c.text) << c.name;
        if (c.isServiceError) {
            EXPECT_EQ(error->underlyingError(), underlying) << c.name;
        }
    }
    auto nulls = MVRError::errorWithJSON(Value::dictionary({ { "error_code", 42 }, { "error", nullptr }, { "error_key", nullptr } }), nullptr);
    EXPECT_FALSE(nulls->stringForKey("error"));
    EXPECT_FALSE(nulls->stringForKey("error_key"));
    EXPECT_NE(nulls->localizedDescription(), "");
    EXPECT_EQ(MVRError::errorWithJSON(Value(), nullptr), nullptr);
}

TEST(MVRAccountCommands, RefuseIncompleteInputAndSendTheWireForm)
{
    EXPECT_FALSE(MVRLoginCommand::initWithUsername("ann", ""));
    EXPECT_FALSE(MVRLoginCommand::initWithUsername("", "secret"));
    EXPECT_FALSE(MVRSignUpCommand::initWithUsername("ann", "not an address", "pw", true));
    EXPECT_FALSE(MVRSignUpCommand::initWithUsername("ann", "ann@example.com", "", true));
    EXPECT_FALSE(MVRForgotPasswordCommand::initWithUsername(std::nullopt, std::string()));

    auto signUp = MVRSignUpCommand::initWithUsername("ann", "ann@example.com", "pw", false, true);
    ASSERT_TRUE(signUp);
    EXPECT_EQ(signUp->method(), "POST");
    EXPECT_EQ(signUp->URLString(), "users");
    EXPECT_EQ(signUp->parameters()["marketing_consent"], Value("false"));
    EXPECT_EQ(signUp->parameters()["tracking_consent"], Value("true"));
    EXPECT_EQ(signUp->credential()->username(), "ann");
    // The password is in the parameters, but never in what a log would show.
    EXPECT_EQ(signUp->description().find("\"pw\""), std::string::npos);
    EXPECT_EQ(signUp->credential()->description().find("pw"), std::string::npos);

    auto reset = MVRForgotPasswordCommand::initWithUsername(std::nullopt, std::string("ann@example.com"));
    ASSERT_TRUE(reset);
    EXPECT_EQ(reset->parameters(), Value::dictionary({ { "email", "ann@example.com" } }));
}

TEST_F(ServiceTest, SignInStoresTheCredentialOnlyForAUsableAnswer)
{
    auto service = makeService();
    struct Case {
        const char* name;
        const char* password;
        const char* path; // of the verification, rewritten by the test
        bool signedIn;
        long errorCode;
        std::string errorDomain;
    };
    const Case cases[] = {
        { "right password", "secret", nullptr, true, 0, "" },
        { "wrong password", "wrong", nullptr, false, 0, MVRErrorDomain },
        { "200 without a user", "secret", "empty_user", false, 1234, MVRErrorDomain },
    };
    for (const Case& c : cases) {
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
        MVRAPIUser::setCurrentUser(nullptr);
        drainRunLoop();
        auto login = MVRLoginCommand::initWithUsername("ann", c.password);
        if (c.path) {
            // Same command, another path: a sign-in whose 200 answer holds no user record.
            struct EmptyAnswerLogin : MVRLoginCommand {
                explicit EmptyAnswerLogin(std::shared_ptr<MVRCredential> credential) : MVRLoginCommand(std::move(credential)) { }
                net::URLRequest service(MVRAPIService& service, const net::URLRequest& request) override
                {
                    net::URLRequest rewritten = MVRLoginCommand::service(service, request);
                    rewritten.setURL(foundation::URL::URLWithString("empty_user", service.baseURL()));
                    return rewritten;
                }
            };
            login = std::make_shared<EmptyAnswerLogin>(MVRCredential::initWithUsername("ann", c.password));
        }
        Finished finished;
        login->sendWithCompletionHandler(recordInto(finished));
        ASSERT_TRUE(waitFor(finished)) << c.name;
        drainRunLoop();
        EXPECT_EQ(stored() != nullptr, c.signedIn) << c.name;
        EXPECT_EQ(MVRAPIUser::currentUser() != nullptr, c.signedIn) << c.name;
        if (c.signedIn) {
            EXPECT_FALSE(finished.error) << c.name;
            EXPECT_EQ(MVRAPIUser::currentUser()->username(), "ann");
            EXPECT_EQ(service->HTTPRequestHeaders().at("Authorization"), "Basic " + foundation::base64Encode(std::string("ann:secret")));
        } else {
            ASSERT_TRUE(finished.error) << c.name;
            EXPECT_EQ(finished.error->domain(), c.errorDomain) << c.name;
            EXPECT_EQ(finished.error->code(), c.errorCode) << c.name;
            EXPECT_FALSE(service->HTTPRequestHeaders().contains("Authorization")) << c.name;
        }
    }
}

TEST_F(ServiceTest, SignUpAndPasswordResetReachTheServiceAndReportItsErrors)
{
    makeService();
    Finished created;
    MVRSignUpCommand::initWithUsername("bob", "bob@example.com", "pw", true, false)->sendWithCompletionHandler(recordInto(created));
    ASSERT_TRUE(waitFor(created));
    EXPECT_FALSE(created.error);
    drainRunLoop();
    EXPECT_EQ(MVRAPIUser::currentUser()->username(), "bob");
    EXPECT_EQ(stored()->username(), "bob");
    const auto sent = requests().back();
    EXPECT_EQ(sent.fields.at("marketing_consent"), "true");
    EXPECT_EQ(sent.fields.at("tracking_consent"), "false");

    Finished taken;
    MVRSignUpCommand::initWithUsername("taken", "t@example.com", "pw", true)->sendWithCompletionHandler(recordInto(taken));
    ASSERT_TRUE(waitFor(taken));
    ASSERT_TRUE(taken.error);
    EXPECT_EQ(taken.error->code(), 3);
    EXPECT_EQ(taken.error->localizedDescription(), "Invalid Field");
    EXPECT_EQ(stored()->username(), "bob");

    for (const auto& [email, code] : std::vector<std::pair<std::string, long>> { { "ann@example.com", 0 }, { "nobody@example.com", 3 } }) {
        Finished reset;
        MVRForgotPasswordCommand::initWithUsername(std::nullopt, email)->sendWithCompletionHandler(recordInto(reset));
        ASSERT_TRUE(waitFor(reset));
        EXPECT_EQ(reset.error ? reset.error->code() : 0, code) << email;
        EXPECT_EQ(requests().back().fields.size(), 1u);
    }
}

TEST_F(ServiceTest, ASignUpAnsweredWithAnySuccessStatusKeepsTheUserSignedIn)
{
    auto service = makeService();
    for (int status : { 200, 201 }) {
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
        MVRAPIUser::setCurrentUser(nullptr);
        drainRunLoop();
        setSignUpStatus(status);
        Finished created;
        MVRSignUpCommand::initWithUsername("bob", "bob@example.com", "pw", true)->sendWithCompletionHandler(recordInto(created));
        ASSERT_TRUE(waitFor(created)) << status;
        EXPECT_FALSE(created.error) << status;
        drainRunLoop();
        ASSERT_TRUE(stored()) << status;
        EXPECT_EQ(stored()->username(), "bob");
        EXPECT_EQ(stored()->password(), "pw");
        // Coming back to the application does not sign out a user with a credential.
        service->applicationDidBecomeActive();
        drainRunLoop();
        ASSERT_TRUE(MVRAPIUser::currentUser()) << status;
        EXPECT_EQ(MVRAPIUser::currentUser()->username(), "bob");
    }
}

TEST_F(ServiceTest, ANewEmailAddressBecomesTheStoredSignInOfAUserWhoSignsInWithIt)
{
    makeService();
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann@example.com", "secret"));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRAPIUser::currentUser() != nullptr; }, 10));

    auto editable = MVRAPIUser::currentUser()->mutableCopy();
    editable->setEmail(std::string("ann@new.example"));
    Finished committed;
    editable->commitChangesWithCompletionHandler(recordInto(committed));
    ASSERT_TRUE(waitFor(committed));
    ASSERT_FALSE(committed.error) << committed.error->localizedDescription();
    drainRunLoop();
    EXPECT_EQ(email(), "ann@new.example");
    ASSERT_TRUE(stored());
    EXPECT_EQ(stored()->username(), "ann@new.example");
    EXPECT_EQ(stored()->password(), "secret");

    // The next check of the stored sign-in passes: the user stays signed in.
    Finished verified;
    MVRVerifyCredentialsCommand::command()->sendWithCompletionHandler(recordInto(verified));
    ASSERT_TRUE(waitFor(verified));
    drainRunLoop();
    EXPECT_FALSE(verified.error);
    EXPECT_TRUE(stored());
    EXPECT_TRUE(MVRAPIUser::currentUser());
}

TEST_F(ServiceTest, ProfileChangesTravelWithTheAvatarAndLeaveNoStagedFiles)
{
    makeService();
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRAPIUser::currentUser() != nullptr; }, 10));

    auto editable = MVRAPIUser::currentUser()->mutableCopy();
    EXPECT_FALSE(editable->hasChanges());
    editable->setBio(std::string("Timelapses"));
    editable->setMarketingConsent(true);
    const foundation::Data png(2000, 'p');
    ASSERT_TRUE(editable->setAvatarPNGData(png));
    ASSERT_TRUE(editable->setAvatarPNGData(png)); // staged again: one file, the second
    const auto stagedFile = editable->avatarPNGFileURL()->path();
    EXPECT_EQ(modeOf(stagedFile), 0600) << "the user's picture is theirs alone";
    // Another user's trap where the body used to be staged: it must be neither followed nor
    // overwritten.
    const auto tmp = foundation::FileManager::defaultManager().temporaryDirectory().path();
    const auto victim = std::filesystem::path(tmp) / "victim";
    std::ofstream(victim) << "keep";
    std::filesystem::create_symlink(victim, std::filesystem::path(tmp) / "multi-part.tmp");
    EXPECT_EQ(editable->updateParameters()["description"], Value("Timelapses"));

    int avatarNotices = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRUserAvatarUpdatedNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++avatarNotices; });

    // A failing commit keeps everything for another try.
    setFailPuts(true);
    Finished failed;
    editable->commitChangesWithCompletionHandler(recordInto(failed));
    ASSERT_TRUE(waitFor(failed));
    EXPECT_EQ(failed.error ? failed.error->code() : 0, 6);
    EXPECT_TRUE(editable->hasChanges());
    EXPECT_TRUE(std::filesystem::exists(stagedFile));

    setFailPuts(false);
    Finished committed;
    editable->commitChangesWithCompletionHandler(recordInto(committed));
    ASSERT_TRUE(waitFor(committed));
    ASSERT_FALSE(committed.error) << committed.error->localizedDescription();
    const auto put = requests().back();
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(put.files.at("avatar"), std::filesystem::path(stagedFile).filename().string() + ":2000");
    EXPECT_EQ(put.fields.at("description"), "Timelapses");
    EXPECT_EQ(put.fields.at("marketing_consent"), "true");
    const auto staged = stagedBodies();
    ASSERT_FALSE(staged.empty());
    for (const auto& body : staged) {
        if (body != "multi-part.tmp link") {
            EXPECT_TRUE(body.ends_with(" 600")) << body;
            EXPECT_FALSE(std::regex_match(body, std::regex("multi-part( [0-9]+)?\\.tmp .*"))) << body << ": a name others can guess";
        }
    }
    EXPECT_EQ(slurp(victim), "keep");
    std::filesystem::remove(std::filesystem::path(tmp) / "multi-part.tmp");
    EXPECT_FALSE(editable->hasChanges());
    EXPECT_EQ(avatarNotices, 1);
    EXPECT_FALSE(std::filesystem::exists(stagedFile));
    EXPECT_EQ(MVRAPIUser::currentUser()->marketingConsent(), true);
    // No staging file of the multipart body is left behind either.
    for (const auto& entry : std::filesystem::directory_iterator(foundation::FileManager::defaultManager().temporaryDirectory().path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("multi-part")) << entry.path();

    // Removing the avatar sends "false".
    editable->removeAvatar();
    EXPECT_EQ(editable->updateParameters()["avatar"], Value("false"));
}

TEST_F(ServiceTest, AFailedAvatarRestageRecordsNoRemoval)
{
    auto editable = MVRAPIMutableUser::initWithJSON(Value::dictionary({ { "id", 7 }, { "avatar", "https://cdn.example/a.png" } }));
    const char* tmp = std::getenv("TMPDIR");
    const std::string saved = tmp ? tmp : "";
    // A temporary folder that does not exist: nothing can be staged.
    ::setenv("TMPDIR", (saved + "/missing-folder").c_str(), 1);
    EXPECT_FALSE(editable->setAvatarPNGData(foundation::Data { 1, 2, 3 }));
    ::setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_FALSE(editable->hasChanges());
    EXPECT_FALSE(editable->avatarPNGFileURL());
}

TEST_F(ServiceTest, TheCurrentUserOutlivesARestartOnlyWhileSignedIn)
{
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
    MVRAPIUser::setCurrentUser(MVRAPIUser::initWithJSON(Value::dictionary({ { "id", 7 }, { "username", "ann" }, { "push_allowed", nullptr } })));
    drainRunLoop();
    EXPECT_TRUE(std::filesystem::exists(MVRAPIUser::currentUserURL().path()));
    EXPECT_EQ(modeOf(MVRAPIUser::currentUserURL().path()), 0600) << "the user's record is theirs alone";

    MVRAPIUser::resetForTesting();
    auto restored = MVRAPIUser::currentUser();
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->username(), "ann");
    EXPECT_EQ(restored->user_id(), 7u);
    EXPECT_FALSE(restored->isPushAllowed());

    // Changes are written a second after the last of them.
    restored->setValuesForKeysWithJSONDictionary(Value::dictionary({ { "realname", "Ann A." } }));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] {
        auto data = foundation::FileManager::defaultManager().contentsAtPath(MVRAPIUser::currentUserURL().path());
        return data && std::string(data->begin(), data->end()).find("Ann A.") != std::string::npos;
    }, 5));

    // Without a credential the archive is not trusted, and goes.
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
    MVRAPIUser::resetForTesting();
    EXPECT_FALSE(MVRAPIUser::currentUser());
    EXPECT_FALSE(std::filesystem::exists(MVRAPIUser::currentUserURL().path()));
}

TEST_F(ServiceTest, AStoredUserFileFarLargerThanAnArchiveIsDroppedUnread)
{
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
    const std::string path = MVRAPIUser::currentUserURL().path();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    // Sparse: 4 GB that cost nothing on disk, only a reader that trusts its size.
    std::ofstream(path, std::ios::binary) << "x";
    std::filesystem::resize_file(path, std::uintmax_t(4) << 30);
    MVRAPIUser::resetForTesting();
    EXPECT_FALSE(MVRAPIUser::currentUser());
    EXPECT_FALSE(std::filesystem::exists(path));
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
}

TEST(MVRAPIObject, DescriptionsNameTheKeysAsTheClassesProperties)
{
    // The user's wire keys that differ from its property names, and only those.
    const auto& mapping = MVRAPIUser::customKeyMapping();
    EXPECT_EQ(mapping.size(), 17u);
    const std::pair<const char*, const char*> expected[] = {
        { "id", "user_id" }, { "description", "bio" }, { "avatar", "avatarURLString" }, { "num_movaras", "movaraCount" },
        { "num_followers", "followerCount" }, { "num_friends", "friendCount" }, { "num_loved", "lovedCount" },
        { "private", "privateValue" }, { "push_allowed", "pushAllowed" }, { "push_comments_allowed", "pushCommentsAllowed" },
        { "push_follows_allowed", "pushFollowsAllowed" }, { "push_friend_posts_allowed", "pushFriendPostsAllowed" },
        { "push_loves_allowed", "pushLovesAllowed" }, { "push_processing_allowed", "pushProcessedAllowed" },
        { "push_subscription_allowed", "pushMovaraCloudAllowed" }, { "marketing_consent", "marketingConsent" },
        { "tracking_consent", "trackingConsent" },
    };
    for (const auto& [wire, property] : expected) {
        auto it = mapping.find(wire);
        ASSERT_NE(it, mapping.end()) << wire;
        EXPECT_EQ(it->second, property) << wire;
    }
    EXPECT_EQ(MVRAPICinemagraph::customKeyMapping(), (MVRAPIObject::KeyMapping { { "embed_code", "embedCode" } }));

    struct Case {
        const char* name;
        std::shared_ptr<MVRAPIObject> object;
        std::vector<std::string> shown;
        std::vector<std::string> hidden;
    };
    const Case cases[] = {
        { "user", MVRAPIUser::initWithJSON(Value::dictionary({ { "id", 7 }, { "username", "u" }, { "description", "Timelapses" },
                                                               { "num_movaras", 3 }, { "push_allowed", true } })),
          { "\"user_id\" : 7", "\"username\" : \"u\"", "\"bio\" : \"Timelapses\"", "\"movaraCount\" : 3", "\"pushAllowed\" : true" },
          { "\"id\"", "\"description\"", "\"num_movaras\"", "\"push_allowed\"" } },
        { "editable user", MVRAPIMutableUser::initWithJSON(Value::dictionary({ { "avatar", "https://h/a.png" } })),
          { "\"avatarURLString\" : \"https://h/a.png\"" }, { "\"avatar\"" } },
        { "uploaded item", MVRAPICinemagraph::initWithJSON(Value::dictionary({ { "embed_code", "<e>" }, { "link", "https://h/1" } })),
          { "\"embedCode\" : \"<e>\"", "\"link\" : \"https://h/1\"" }, { "\"embed_code\"" } },
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(c.object) << c.name;
        const std::string text = c.object->description();
        for (const auto& s : c.shown)
            EXPECT_NE(text.find(s), std::string::npos) << c.name << ": " << text;
        for (const auto& s : c.hidden)
            EXPECT_EQ(text.find(s), std::string::npos) << c.name << ": " << text;
    }

    // The record keeps the wire keys: mapping is for reading only.
    auto user = MVRAPIUser::initWithJSON(Value::dictionary({ { "description", "b" } }));
    user->description();
    EXPECT_EQ(user->JSON(), Value::dictionary({ { "description", "b" } }));
    EXPECT_EQ(user->bio(), "b");
}
