#include "Tests/MovaraKit/Service/ServiceFixture.h"

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Service/MarketingConsentAlertPresentationController.h"
#include "Platform/Foundation/NotificationCenter.h"

namespace {

std::shared_ptr<MVRAPIUser> userWithConsent(const foundation::Value& consent)
{
    auto json = foundation::Value::dictionary({ { "id", 7 }, { "username", "ann" } });
    if (!consent.isNull())
        json.set("marketing_consent", consent);
    return MVRAPIUser::initWithJSON(json);
}

// Finishes a command as the service would, with the given status (0: no response).
void finishVerification(long status)
{
    auto command = MVRVerifyCredentialsCommand::command();
    net::URLRequest request(*foundation::URL::URLWithString("http://h/api/verify_credentials"));
    std::shared_ptr<MVRAPIResponse> response;
    if (status)
        response = MVRAPIResponse::initWithRequest(request, net::HTTPURLResponse(*request.URL(), status), foundation::Value());
    command->finishWithResponse(response, nullptr);
}

} // namespace

TEST_F(ServiceTest, ConsentIsAskedOnlyOfACurrentUserWithoutAnAnswer)
{
    int asked = 0;
    auto controller = MarketingConsentAlertPresentationController::init([&](auto) { ++asked; });

    struct Case {
        const char* name;
        foundation::Value consent;
        bool haveUser;
        int expected;
    };
    const Case cases[] = {
        { "no current user", nullptr, false, 0 },
        { "answered no", false, true, 0 },
        { "answered yes", true, true, 0 },
    };
    for (const Case& c : cases) {
        asked = 0;
        MVRAPIUser::setCurrentUser(c.haveUser ? userWithConsent(c.consent) : nullptr);
        drainRunLoop();
        finishVerification(200);
        EXPECT_EQ(asked, c.expected) << c.name;
    }
}

TEST_F(ServiceTest, OnlyASuccessfulVerificationOrAUserChangeRaisesTheQuestion)
{
    MVRAPIUser::setCurrentUser(userWithConsent(nullptr));
    drainRunLoop();
    int asked = 0;
    auto controller = MarketingConsentAlertPresentationController::init([&](auto) { ++asked; });

    for (long status : { 0L, 204L, 401L })
        finishVerification(status);
    // Another command answered 200 is not a verification.
    net::URLRequest request(*foundation::URL::URLWithString("http://h/api/users/7"));
    MVRCommand::initWithURLString("users/7")->finishWithResponse(
        MVRAPIResponse::initWithRequest(request, net::HTTPURLResponse(*request.URL(), 200), foundation::Value()), nullptr);
    EXPECT_EQ(asked, 0);

    finishVerification(200);
    EXPECT_EQ(asked, 1);
    // The question is open (the handler never answered): no second one.
    finishVerification(200);
    MVRAPIUser::setCurrentUser(userWithConsent(nullptr));
    drainRunLoop();
    EXPECT_EQ(asked, 1);
}

TEST_F(ServiceTest, TheAnswerIsCommittedToTheUserRecord)
{
    MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(MVRCredential::initWithUsername("ann", "secret"));
    auto service = makeService();
    int asked = 0;
    auto controller = MarketingConsentAlertPresentationController::init([&](MarketingConsentAlertPresentationController::Completion completion) {
        ++asked;
        completion(true);
    });
    // The verification makes ann current (no answer yet) and asks at once.
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] {
        auto user = MVRAPIUser::currentUser();
        return user && user->marketingConsent() == true;
    }, 10));
    drainRunLoop();
    EXPECT_EQ(asked, 1);
    auto seen = requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().method, "PUT");
    EXPECT_EQ(seen.back().path, "/api/users/7");
    EXPECT_EQ(seen.back().body, "marketing_consent=true");
}

TEST_F(ServiceTest, AFailedCommitAsksAgainAtTheNextChange)
{
    // No service at all would leave the commit unanswered; a dead host answers with an error.
    m_service = MVRAPIService::initWithBaseURL(*foundation::URL::URLWithString("http://127.0.0.1:1/api/"), "key");
    int asked = 0;
    bool committed = false;
    auto controller = MarketingConsentAlertPresentationController::init([&](MarketingConsentAlertPresentationController::Completion completion) {
        ++asked;
        completion(false);
    });
    auto done = foundation::NotificationCenter::defaultCenter().addObserver(
        MVRCommandDidFinishNotification, nullptr, nullptr, [&](const foundation::Notification&) { committed = true; });

    MVRAPIUser::setCurrentUser(userWithConsent(nullptr));
    ASSERT_TRUE(dispatch::RunLoop::main().runUntil([&] { return committed; }, 10));
    drainRunLoop();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(MVRAPIUser::currentUser()->marketingConsent().has_value()) << "nothing changed on a failed commit";

    MVRAPIUser::setCurrentUser(userWithConsent(nullptr));
    drainRunLoop();
    EXPECT_EQ(asked, 2);
}

TEST_F(ServiceTest, AReleasedControllerHearsNothing)
{
    int asked = 0;
    auto controller = MarketingConsentAlertPresentationController::init([&](auto) { ++asked; });
    std::weak_ptr<MarketingConsentAlertPresentationController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired()) << "the observers don't keep it alive";
    MVRAPIUser::setCurrentUser(userWithConsent(nullptr));
    drainRunLoop();
    EXPECT_EQ(asked, 0);
}

TEST_F(ServiceTest, AnEditableCopyRecordsChangesInWireForm)
{
    auto user = userWithConsent(nullptr);
    auto editable = user->mutableCopy();
    ASSERT_NE(editable, nullptr);
    EXPECT_FALSE(editable->hasChanges());
    bool called = false;
    editable->commitChangesWithCompletionHandler([&](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        called = true;
        EXPECT_EQ(response, nullptr);
        EXPECT_EQ(error, nullptr);
    });
    EXPECT_TRUE(called) << "nothing to send: answered at once";

    editable->setMarketingConsent(false);
    editable->setTrackingConsent(true);
    editable->noteChangedValue(nullptr, "bio");
    EXPECT_EQ(editable->updateParameters(),
              foundation::Value::dictionary({ { "marketing_consent", "false" }, { "tracking_consent", "true" }, { "description", nullptr } }));
    EXPECT_EQ(editable->marketingConsent(), false);
    EXPECT_FALSE(user->marketingConsent().has_value()) << "the original is untouched";
    EXPECT_EQ(user->copy(), user);
    auto plain = editable->copy();
    EXPECT_EQ(std::dynamic_pointer_cast<MVRAPIMutableUser>(plain), nullptr);
    EXPECT_EQ(plain->JSON(), editable->JSON());
}
