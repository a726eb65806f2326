#include "MovaraAppKit/Shell/SoftwareUpdaterController.h"

#include <algorithm>
#include <cctype>

#include "MovaraAppKit/Shell/PlatformExtensions.h"
#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Foundation/Localized.h"
#include "Platform/Net/URLRequest.h"
#include "Platform/UI/Alert.h"
#include "Platform/UI/Workspace.h"

namespace {

// A feed that has not answered for this long has failed.
constexpr double FeedTimeoutSeconds = 30;

std::string shellText(const std::string& key, const std::string& comment)
{
    return foundation::localized(key, comment, mvr_movaraAppKitBundle());
}

std::string infoString(const std::string& key)
{
    const foundation::Value& value = foundation::Bundle::main()->objectForInfoDictionaryKey(key);
    return value.isString() ? value.asString() : std::string();
}

std::string format(std::string text, const std::vector<std::string>& values)
{
    size_t from = 0;
    for (const auto& value : values) {
        const auto at = text.find("%@", from);
        if (at == std::string::npos)
            break;
        text.replace(at, 2, value);
        from = at + value.size();
    }
    return text;
}

std::string trimmed(const std::string& s)
{
    size_t begin = 0, end = s.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(s[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1])))
        --end;
    return s.substr(begin, end - begin);
}

// Runs of digits, of letters and of anything else; separators ("." and the like) are dropped.
std::vector<std::string> versionParts(const std::string& version)
{
    std::vector<std::string> parts;
    auto kind = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) ? 0 : std::isalpha(static_cast<unsigned char>(c)) ? 1 : 2; };
    for (size_t i = 0; i < version.size();) {
        const int k = kind(version[i]);
        size_t j = i;
        while (j < version.size() && kind(version[j]) == k)
            ++j;
        if (k != 2)
            parts.push_back(version.substr(i, j - i));
        i = j;
    }
    return parts;
}

bool isNumber(const std::string& part)
{
    return !part.empty() && std::isdigit(static_cast<unsigned char>(part[0]));
}

} // namespace

std::shared_ptr<SoftwareUpdaterController> SoftwareUpdaterController::init()
{
    return std::shared_ptr<SoftwareUpdaterController>(new SoftwareUpdaterController());
}

SoftwareUpdaterController::SoftwareUpdaterController()
{
    registerAction("checkForUpdates:", [this](ui::Object* sender) { checkForUpdates(sender); });
}

int SoftwareUpdaterController::compareVersions(const std::string& a, const std::string& b)
{
    const auto x = versionParts(a), y = versionParts(b);
    for (size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        if (isNumber(x[i]) && isNumber(y[i])) {
            // By value, however long: leading zeros off, then the longer number is the larger.
            auto digits = [](const std::string& s) {
                const auto first = s.find_first_not_of('0');
                return first == std::string::npos ? std::string() : s.substr(first);
            };
            const std::string p = digits(x[i]), q = digits(y[i]);
            if (p.size() != q.size())
                return p.size() < q.size() ? -1 : 1;
            if (int c = p.compare(q); c != 0)
                return c < 0 ? -1 : 1;
        } else if (isNumber(x[i]) != isNumber(y[i])) {
            // "1.0.1" is newer than "1.0b": a number outranks text at the same place.
            return isNumber(x[i]) ? 1 : -1;
        } else if (int c = x[i].compare(y[i]); c != 0) {
            return c < 0 ? -1 : 1;
        }
    }
    if (x.size() == y.size())
        return 0;
    const bool aLonger = x.size() > y.size();
    const std::string& extra = aLonger ? x[y.size()] : y[x.size()];
    // More numbers make a later version; more text makes a pre-release of the shorter one.
    const int longerIsNewer = isNumber(extra) ? 1 : -1;
    return aLonger ? longerIsNewer : -longerIsNewer;
}

std::optional<std::vector<SoftwareUpdaterController::AppcastItem>> SoftwareUpdaterController::parseAppcast(const foundation::Data& data,
                                                                                                           std::string* reason)
{
    std::vector<AppcastItem> items;
    std::optional<AppcastItem> item;
    std::string enclosureURL, enclosureVersion, enclosureShortVersion;
    std::string text;
    NKXMLParser parser(data);
    parser.didStartElement = [&](const std::string& name, const NKXMLParser::Attributes& attributes) {
        text.clear();
        if (name == "item") {
            item = AppcastItem {};
            enclosureURL.clear();
            enclosureVersion.clear();
            enclosureShortVersion.clear();
        } else if (name == "enclosure" && item) {
            auto value = [&](const char* key) {
                auto it = attributes.find(key);
                return it == attributes.end() ? std::string() : trimmed(it->second);
            };
            enclosureURL = value("url");
            enclosureVersion = value("version");
            enclosureShortVersion = value("shortVersionString");
        }
    };
    parser.foundCharacters = [&](const std::string& characters) { text += characters; };
    parser.didEndElement = [&](const std::string& name) {
        if (!item)
            return;
        if (name == "title")
            item->title = trimmed(text);
        else if (name == "link")
            item->link = trimmed(text);
        else if (name == "version")
            item->version = trimmed(text);
        else if (name == "shortVersionString")
            item->shortVersion = trimmed(text);
        else if (name == "item") {
            if (item->version.empty())
                item->version = enclosureVersion;
            if (item->shortVersion.empty())
                item->shortVersion = !enclosureShortVersion.empty() ? enclosureShortVersion : item->version;
            if (item->link.empty())
                item->link = enclosureURL;
            if (!item->version.empty())
                items.push_back(std::move(*item));
            item.reset();
        }
        text.clear();
    };
    if (!parser.parse()) {
        if (reason)
            *reason = parser.parserError() ? parser.parserError()->localizedDescription() : std::string("The feed is not XML.");
        return std::nullopt;
    }
    return items;
}

void SoftwareUpdaterController::checkForUpdates(ui::Object*)
{
    ++m_checkCount;
    if (m_operation)
        return; // its answer is on the way
    const std::string feed = infoString("SUFeedURL");
    auto url = foundation::URL::URLWithString(feed);
    if (!url || (url->scheme() != "https" && url->scheme() != "http") || url->host().empty()) {
        checkDidFail(format(shellText("The update feed\u2019s address \u201c%@\u201d is not a web address.", "alert message"), {feed}));
        return;
    }
    net::URLRequest request(*url, net::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, FeedTimeoutSeconds);
    m_operation = NKHTTPRequestOperation::initWithRequest(request);
    std::weak_ptr<SoftwareUpdaterController> weak = sharedAs<SoftwareUpdaterController>();
    // Both blocks run on the main queue.
    m_operation->setCompletionBlockWithSuccess(
        [weak](const std::shared_ptr<NKHTTPRequestOperation>&, const std::any& responseObject) {
            auto self = weak.lock();
            if (!self)
                return;
            self->m_operation.reset();
            const auto* data = std::any_cast<foundation::Data>(&responseObject);
            self->feedDidArrive(data ? *data : foundation::Data());
        },
        [weak](const std::shared_ptr<NKHTTPRequestOperation>&, const foundation::ErrorPtr& error) {
            auto self = weak.lock();
            if (!self)
                return;
            self->m_operation.reset();
            self->checkDidFail(error ? error->localizedDescription() : shellText("The update feed could not be loaded.", "alert message"));
        });
    m_operation->start();
}

void SoftwareUpdaterController::feedDidArrive(const foundation::Data& data)
{
    std::string reason;
    const auto items = parseAppcast(data, &reason);
    if (!items) {
        checkDidFail(format(shellText("The update feed could not be read: %@", "alert message"), {reason}));
        return;
    }
    if (items->empty()) {
        checkDidFail(shellText("The update feed lists no versions.", "alert message"));
        return;
    }
    const auto newest = std::max_element(items->begin(), items->end(), [](const AppcastItem& a, const AppcastItem& b) {
        return compareVersions(a.version, b.version) < 0;
    });
    const std::string name = infoString("CFBundleName");
    const std::string shortVersion = infoString("CFBundleShortVersionString");
    const std::string build = infoString("CFBundleVersion");
    const std::string running = !build.empty() ? build : shortVersion;

    auto alert = ui::Alert::init();
    if (compareVersions(newest->version, running) <= 0) {
        alert->setMessageText(shellText("You\u2019re up to date!", "alert message"));
        alert->setInformativeText(format(shellText("%@ %@ is currently the newest version available.", "alert message"),
                                         {name, !shortVersion.empty() ? shortVersion : running}));
        alert->addButtonWithTitle(shellText("OK", "alert button title"));
        alert->runModal();
        return;
    }
    alert->setMessageText(format(shellText("A new version of %@ is available!", "alert message"), {name}));
    std::string informative = format(shellText("%@ %@ is now available\u2014you have %@.", "alert message"),
                                     {name, newest->shortVersion, !shortVersion.empty() ? shortVersion : running});
    auto link = foundation::URL::URLWithString(newest->link);
    // Only a web page is offered: the feed is not trusted to open anything else.
    if (link && (link->scheme() != "https" && link->scheme() != "http"))
        link.reset();
    if (link)
        informative += "\n\n" + link->absoluteString();
    alert->setInformativeText(informative);
    if (link) {
        alert->addButtonWithTitle(shellText("Download", "alert button title"));
        alert->addButtonWithTitle(shellText("Remind Me Later", "alert button title"));
    } else {
        alert->addButtonWithTitle(shellText("OK", "alert button title"));
    }
    if (alert->runModal() == ui::AlertFirstButtonReturn && link)
        ui::Workspace::shared().openURL(*link);
}

void SoftwareUpdaterController::checkDidFail(const std::string& reason)
{
    auto alert = ui::Alert::init();
    alert->setMessageText(shellText("Update Error!", "alert message"));
    alert->setInformativeText(shellText("An error occurred in retrieving update information. Please try again later.", "alert message")
                              + (reason.empty() ? std::string() : "\n\n" + reason));
    alert->addButtonWithTitle(shellText("OK", "alert button title"));
    alert->runModal();
}
