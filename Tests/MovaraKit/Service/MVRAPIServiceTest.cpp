#include "Tests/MovaraKit/Service/ServiceFixture.h"

#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "Platform/Foundation/NotificationCenter.h"
#include "Platform/Net/URLError.h"

namespace {

struct Finished {
    bool done = false;
    std::shared_ptr<MVRAPIResponse> response;
    foundation::ErrorPtr error;
    int calls = 0;
};

MVRCommand::CompletionHandler recordInto(Finished& finished)
{
    return [&finished](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        finished.done = true;
        finished.response = response;
        finished.error = error;
        ++finished.calls;
    };
}

bool waitFor(const Finished& finished)
{
    return dispatch::RunLoop::main().runUntil([&] { return finished.done; }, 10);
}

void signInAsAnn()
{
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
}

} // namespace

TEST_F(ServiceTest, CommandsCarryTheKeyAndTheirParametersAndFinishOnce)
{
    auto service = makeService();
    std::vector<std::string> notices;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto will = center.addObserver(MVRCommandWillFinishNotification, nullptr, nullptr, [&](const foundation::Notification& n) {
        notices.push_back(std::string("will") + (n.userInfoValue<foundation::ErrorPtr>(MVRCommandErrorKey) ? "+error" : ""));
    });
    auto did = center.addObserver(MVRCommandDidFinishNotification, nullptr, nullptr, [&](const foundation::Notification&) { notices.push_back("did"); });

    signInAsAnn();
    drainRunLoop();
    Finished get;
    auto query = MVRCommand::initWithURLString("verify_credentials", "GET", foundation::Value::dictionary({ { "b", "two words" }, { "a", 1 } }));
    query->sendWithCompletionHandler(recordInto(get));
    ASSERT_TRUE(waitFor(get));
    ASSERT_EQ(get.error, nullptr);
    ASSERT_NE(get.response, nullptr);
    EXPECT_EQ(get.response->HTTPURLResponse().statusCode(), 200);
    EXPECT_EQ(get.response->JSONObject()["username"].asString(), "ann");

    Finished put;
    MVRCommand::initWithURLString("users/7", "PUT", foundation::Value::dictionary({ { "marketing_consent", "true" }, { "description", nullptr } }))
        ->sendWithCompletionHandler(recordInto(put));
    ASSERT_TRUE(waitFor(put));
    ASSERT_EQ(put.error, nullptr);

    auto seen = requests();
    auto last = seen.back();
    EXPECT_EQ(last.method, "PUT");
    EXPECT_EQ(last.body, "description&marketing_consent=true");
    EXPECT_EQ(last.apiKey, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(last.authorization, "Basic " + foundation::base64Encode(std::string("ann:secret")));
    bool sawQuery = false;
    for (const auto& r : seen)
        sawQuery |= r.query == "a=1&b=two words";
    EXPECT_TRUE(sawQuery);
    EXPECT_EQ(get.calls, 1);
    // Each command: will-finish, handler, did-finish (the verification sent at sign-in too).
    EXPECT_EQ(std::count(notices.begin(), notices.end(), "did"), std::count(notices.begin(), notices.end(), "will"));
}

TEST_F(ServiceTest, FailedAnswersAndUnreachableServersFinishWithErrors)
{
    auto service = makeService();
    Finished broken;
    MVRCommand::initWithURLString("broken")->sendWithCompletionHandler(recordInto(broken));
    ASSERT_TRUE(waitFor(broken));
    ASSERT_NE(broken.error, nullptr);
    EXPECT_EQ(broken.error->code(), -1011);
    ASSERT_NE(broken.response, nullptr);
    EXPECT_EQ(broken.response->HTTPURLResponse().statusCode(), 500);
    EXPECT_TRUE(broken.response->JSONObject().isNull());

    // A service whose host takes no connections: the command still finishes, with the URL error.
    auto offline = MVRAPIService::initWithBaseURL(*foundation::URL::URLWithString("http://127.0.0.1:1/api/"), "key");
    service.reset();
    m_service = offline;
    Finished unreachable;
    MVRCommand::initWithURLString("users/7", "PUT", foundation::Value::dictionary({ { "marketing_consent", "true" } }))
        ->sendWithCompletionHandler(recordInto(unreachable));
    ASSERT_TRUE(waitFor(unreachable));
    ASSERT_NE(unreachable.error, nullptr);
    EXPECT_EQ(unreachable.error->domain(), "NSURLErrorDomain");
    EXPECT_EQ(unreachable.error->code(), net::NSURLErrorCannotConnectToHost);
    EXPECT_EQ(unreachable.response, nullptr);
}

TEST_F(ServiceTest, AStoredCredentialIsVerifiedAtOnceAndItsUserBecomesCurrentOneTurnLater)
{
    signInAsAnn();
    std::vector<std::shared_ptr<MVRAPIUser>> announced;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRAPICurrentUserDidChangeNotification, nullptr, nullptr,
        [&](const foundation::Notification& n) { announced.push_back(n.objectAs<MVRAPIUser>()); });

    auto service = makeService();
    EXPECT_EQ(service->HTTPRequestHeaders().count("Authorization"), 1u);
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !announced.empty(); }, 10));
    EXPECT_EQ(requestCount("/api/verify_credentials"), 1u);
    auto user = MVRAPIUser::currentUser();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->user_id(), 7u);
    EXPECT_EQ(user->trackingConsent(), true);
    EXPECT_FALSE(user->marketingConsent().has_value());
    EXPECT_EQ(announced.back(), user);
}

TEST_F(ServiceTest, AVerificationAnsweredWith401LogsOut)
{
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "wrong"));
    std::vector<std::string> order;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto will = center.addObserver(MVRAPIServiceWillLogOutNotification, nullptr, nullptr, [&](const foundation::Notification&) {
        order.push_back(MVRCredentialStorage::sharedCredentialStorage()->loginCredential() ? "will(stored)" : "will(gone)");
    });
    auto did = center.addObserver(MVRAPIServiceDidLogOutNotification, nullptr, nullptr, [&](const foundation::Notification&) {
        order.push_back(MVRCredentialStorage::sharedCredentialStorage()->loginCredential() ? "did(stored)" : "did(gone)");
    });

    auto service = makeService();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return !order.empty(); }, 10));
    EXPECT_EQ(order, (std::vector<std::string> { "will(stored)", "did(gone)" }));
    EXPECT_EQ(service->HTTPRequestHeaders().count("Authorization"), 0u);
    EXPECT_EQ(MVRAPIUser::currentUser(), nullptr);
}

TEST_F(ServiceTest, LogoutPostsEachNoticeOnceAndClearsTheCurrentUser)
{
    signInAsAnn();
    auto service = makeService();
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([] { return MVRAPIUser::currentUser() != nullptr; }, 10));
    drainRunLoop();

    int willCount = 0;
    int didCount = 0;
    std::vector<bool> announcedUser;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto will = center.addObserver(MVRAPIServiceWillLogOutNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++willCount; });
    auto did = center.addObserver(MVRAPIServiceDidLogOutNotification, nullptr, nullptr, [&](const foundation::Notification&) { ++didCount; });
    auto changed = center.addObserver(MVRAPICurrentUserDidChangeNotification, nullptr, nullptr,
                                      [&](const foundation::Notification& n) { announcedUser.push_back(n.objectRef != nullptr); });

    service->logout();
    EXPECT_EQ(willCount, 1);
    EXPECT_EQ(didCount, 1);
    EXPECT_EQ(MVRAPIUser::currentUser(), nullptr);
    EXPECT_TRUE(announcedUser.empty()) << "announced on a later turn, not inside logout";
    drainRunLoop();
    EXPECT_EQ(announcedUser, std::vector<bool> { false });
    EXPECT_EQ(MVRCredentialStorage::sharedCredentialStorage()->loginCredential(), nullptr);
}

TEST_F(ServiceTest, TwoUsersSetInOneTurnAreAnnouncedTwiceWithTheLatest)
{
    auto first = MVRAPIUser::initWithJSON(foundation::Value::dictionary({ { "id", 1 } }));
    auto second = MVRAPIUser::initWithJSON(foundation::Value::dictionary({ { "id", 2 } }));
    EXPECT_EQ(MVRAPIUser::initWithJSON(foundation::Value::dictionary()), nullptr);
    std::vector<std::shared_ptr<MVRAPIUser>> announced;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRAPICurrentUserDidChangeNotification, nullptr, nullptr,
        [&](const foundation::Notification& n) { announced.push_back(n.objectAs<MVRAPIUser>()); });
    MVRAPIUser::setCurrentUser(first);
    MVRAPIUser::setCurrentUser(second);
    MVRAPIUser::setCurrentUser(second); // the same user again changes nothing
    EXPECT_TRUE(announced.empty());
    drainRunLoop();
    EXPECT_EQ(announced, (std::vector<std::shared_ptr<MVRAPIUser>> { second, second }));
}

TEST_F(ServiceTest, CredentialsLiveInTheKeychainAndSignRequests)
{
    auto storage = MVRCredentialStorage::sharedCredentialStorage();
    int notified = 0;
    auto observation = storage->addObserver("loginCredential", 0, [&](const foundation::KeyValueChange&) { ++notified; });
    storage->setLoginCredential(nullptr);
    EXPECT_EQ(notified, 1) << "observers hear of every set, also of nothing";

    EXPECT_EQ(MVRCredential::initWithUsername("ann", ""), nullptr);
    storage->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
    storage->setLoginCredential(MVRCredential::initWithUsername("ann@example.com", "n3w"));
    auto stored = storage->loginCredential();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->username(), "ann@example.com");
    EXPECT_FALSE(stored->keychainItemAttributes().data) << "the password is fetched only when asked for";
    EXPECT_EQ(stored->password(), "n3w");
    EXPECT_EQ(stored->keychainItemAttributes().label, MVRCredentialStorage::keychainService() + " (ann@example.com)");
    EXPECT_EQ(stored->HTTPHeaders().at("Authorization"), "Basic " + foundation::base64Encode(std::string("ann@example.com:n3w")));
    EXPECT_EQ(stored->description().find("n3w"), std::string::npos) << "no password in logs";

    std::vector<security::KeychainItem> items;
    security::KeychainQuery all { MVRCredentialStorage::keychainService(), std::nullopt, std::nullopt, std::nullopt };
    ASSERT_EQ(security::Keychain::defaultKeychain().copyMatching(all, false, 0, &items), security::errSecSuccess);
    EXPECT_EQ(items.size(), 1u) << "a second sign-in replaces the item";
}
