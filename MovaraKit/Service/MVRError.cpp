#include "MovaraKit/Service/MVRError.h"

#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Foundation/Bundle.h"

const std::string MVRErrorDomain = "com.movara.movara";
const std::string MVRErrorKeyUserInfoKey = "error_key";
const std::string MVRErrorMessageUserInfoKey = "error";

namespace {

std::string lookUp(const std::string& key)
{
    auto bundle = mvr_movaraKitBundle();
    return bundle ? bundle->localizedStringForKey(key, {}, "Localizable") : key;
}

} // namespace

std::optional<std::string> MVRError::textForCode(long code)
{
    switch (code) {
    case 0: return "Invalid Credentials";
    case 1: return "Invalid Resource";
    case 2: return "Missing Parameters";
    case 3: return "Invalid Field";
    case 4: return "Forbidden Resource";
    case 5: return "Bad Request";
    case 6: return "Server Error";
    case 7: return "Social Network Not Connected";
    case 8: return "Invalid Image";
    case 9: return "Private Feed";
    case 10: return "Validation Required";
    case 11: return "No Current Contest";
    case 2000: return "Failed to load video";
    default: return std::nullopt;
    }
}

std::string MVRError::localizedDescription(const foundation::Error& error)
{
    if (error.domain() != MVRErrorDomain)
        return error.localizedDescription();
    if (auto key = error.stringForKey(MVRErrorKeyUserInfoKey)) {
        auto translated = lookUp(*key);
        if (translated != *key)
            return translated;
    }
    if (auto text = textForCode(error.code()))
        return lookUp(*text);
    if (auto message = error.stringForKey(MVRErrorMessageUserInfoKey))
        return *message;
    // The platform's generic text for a code without a description of its own.
    return foundation::Error(error.domain(), error.code()).localizedDescription();
}

foundation::ErrorPtr MVRError::errorWithJSON(const foundation::Value& JSON, const foundation::ErrorPtr& underlyingError)
{
    const auto* code = JSON.dictionaryValue() ? JSON.find("error_code") : nullptr;
    if (!code || !code->isNumber() || code->isBool())
        return underlyingError;
    foundation::Error::UserInfo info;
    if (const auto* key = JSON.find("error_key"); key && key->isString())
        info[MVRErrorKeyUserInfoKey].text = key->asString();
    if (const auto* message = JSON.find("error"); message && message->isString())
        info[MVRErrorMessageUserInfoKey].text = message->asString();
    if (underlyingError)
        info[foundation::NSUnderlyingErrorKey].error = underlyingError;
    foundation::Error draft(MVRErrorDomain, static_cast<long>(code->asInteger()), info);
    // The text is settled now, so that every reader of the error sees the service's words.
    info[foundation::NSLocalizedDescriptionKey].text = localizedDescription(draft);
    return foundation::Error::make(MVRErrorDomain, static_cast<long>(code->asInteger()), std::move(info));
}
