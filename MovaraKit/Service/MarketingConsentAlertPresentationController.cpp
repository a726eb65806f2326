#include "MovaraKit/Service/MarketingConsentAlertPresentationController.h"

#include "MovaraKit/Service/MVRAPIMutableUser.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRAccountCommands.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "Platform/Dispatch/Queue.h"

MarketingConsentAlertPresentationController::MarketingConsentAlertPresentationController(AlertPresentationHandler handler)
    : m_alertPresentationHandler(std::move(handler))
{
}

MarketingConsentAlertPresentationController::~MarketingConsentAlertPresentationController()
{
    for (auto& token : m_observerTokens)
        token.remove();
}

std::shared_ptr<MarketingConsentAlertPresentationController> MarketingConsentAlertPresentationController::init(
    AlertPresentationHandler alertPresentationHandler)
{
    std::shared_ptr<MarketingConsentAlertPresentationController> controller(
        new MarketingConsentAlertPresentationController(std::move(alertPresentationHandler)));
    // The observers never keep the controller alive.
    std::weak_ptr<MarketingConsentAlertPresentationController> weak = controller;
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::vector<foundation::NotificationCenter::Token> tokens;
    tokens.push_back(center.addObserver(MVRCommandDidFinishNotification, nullptr, dispatch::Queue::main(),
                                        [weak](const foundation::Notification& n) {
                                            if (auto self = weak.lock())
                                                self->commandDidFinish(n);
                                        }));
    tokens.push_back(center.addObserver(MVRAPICurrentUserDidChangeNotification, nullptr, dispatch::Queue::main(),
                                        [weak](const foundation::Notification&) {
                                            if (auto self = weak.lock())
                                                self->raiseQuestion();
                                        }));
    controller->m_observerTokens = std::move(tokens);
    return controller;
}

void MarketingConsentAlertPresentationController::commandDidFinish(const foundation::Notification& notification)
{
    if (!std::dynamic_pointer_cast<MVRVerifyCredentialsCommand>(notification.objectAs<MVRCommand>()))
        return;
    const auto* response = notification.userInfoValue<std::shared_ptr<MVRAPIResponse>>(MVRCommandAPIResponseKey);
    if (!response || !*response || (*response)->HTTPURLResponse().statusCode() != 200)
        return;
    raiseQuestion();
}

void MarketingConsentAlertPresentationController::raiseQuestion()
{
    if (m_waitingForResponse)
        return;
    auto user = MVRAPIUser::currentUser();
    if (!user || user->marketingConsent().has_value())
        return;
    m_waitingForResponse = true;
    auto self = shared_from_this();
    m_alertPresentationHandler([self, user](bool consent) {
        auto editable = user->mutableCopy();
        if (!editable) {
            self->m_waitingForResponse = false;
            return;
        }
        editable->setMarketingConsent(consent);
        editable->commitChangesWithCompletionHandler([self](const std::shared_ptr<MVRAPIResponse>&, const foundation::ErrorPtr&) {
            self->m_waitingForResponse = false;
        });
    });
}
