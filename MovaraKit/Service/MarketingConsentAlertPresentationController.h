#pragma once
// Asks the signed-in user, once their record holds no answer yet, whether the maker may send
// them product updates by e-mail, and commits the answer to that record. It asks after a
// successful background credential check or a change of the current user, one question at a
// time; how the question is put is the handler's business. Main thread.

#include <functional>
#include <memory>
#include <vector>

#include "Platform/Foundation/NotificationCenter.h"

class MarketingConsentAlertPresentationController
    : public std::enable_shared_from_this<MarketingConsentAlertPresentationController> {
public:
    using Completion = std::function<void(bool consent)>;
    // Given a completion that must be called exactly once with the answer.
    using AlertPresentationHandler = std::function<void(Completion completion)>;

    static std::shared_ptr<MarketingConsentAlertPresentationController> init(AlertPresentationHandler alertPresentationHandler);
    ~MarketingConsentAlertPresentationController();

private:
    explicit MarketingConsentAlertPresentationController(AlertPresentationHandler handler);
    void commandDidFinish(const foundation::Notification& notification);
    void raiseQuestion();

    std::vector<foundation::NotificationCenter::Token> m_observerTokens;
    AlertPresentationHandler m_alertPresentationHandler;
    bool m_waitingForResponse = false;
};
