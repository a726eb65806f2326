#pragma once
// The editable copy of a user: records each change of an editable field in the form the web
// service expects and commits them in one "PUT" of the user record. After a successful commit
// the current user takes the service's answer. Main thread.

#include <functional>
#include <memory>

#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCommand.h"

class MVRAPIMutableUser : public MVRAPIUser {
public:
    static std::shared_ptr<MVRAPIMutableUser> initWithJSON(const foundation::Value& JSON);

    void setMarketingConsent(std::optional<bool> consent);
    void setTrackingConsent(std::optional<bool> consent);

    // Records one change of property `key` (booleans become "true"/"false", none null).
    void noteChangedValue(const foundation::Value& value, const std::string& key);
    bool hasChanges() const { return m_changes.size() > 0; }
    const foundation::Value& changes() const { return m_changes; }
    // The changes under their wire names.
    foundation::Value updateParameters() const;

    // Without changes calls `handler` at once with nothing; otherwise sends the changes.
    // A failure keeps them for another try.
    void commitChangesWithCompletionHandler(MVRCommand::CompletionHandler handler);

    std::shared_ptr<MVRAPIUser> copy() override;

private:
    MVRAPIMutableUser() = default;
    void setProperty(const char* wireKey, const char* property, std::optional<bool> value);

    foundation::Value m_changes = foundation::Value::dictionary();
};
