#include "MovaraKit/Service/LearningLab.h"

#include <cmath>
#include <cstdio>

#include "MovaraKit/Service/MVRCommand.h"
#include "MovaraKit/Support/Bundle+Movara.h"
#include "Platform/Dispatch/Clock.h"
#include "Platform/Foundation/Bundle.h"
#include "Platform/Net/URLError.h"

namespace {

struct Cache {
    LearningLab learningLab;
    double interval = 3600;
    double date = 0; // on the process clock
};

std::optional<Cache>& processCache()
{
    static std::optional<Cache> cache;
    return cache;
}

std::string localizedText(const std::string& key, const std::string& comment)
{
    auto bundle = mvr_movaraKitBundle();
    (void)comment;
    return bundle ? bundle->localizedStringForKey(key) : key;
}

foundation::ErrorPtr decodingError(const std::string& what)
{
    return foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError,
                                   "The tutorial feed could not be read: " + what + ".");
}

bool requireString(const foundation::Value& object, const char* key, std::string& out, foundation::ErrorPtr* error)
{
    const auto* value = object.find(key);
    if (!value || !value->isString()) {
        if (error)
            *error = decodingError(std::string("\"") + key + "\" is missing or not text");
        return false;
    }
    out = value->asString();
    return true;
}

bool requireURL(const foundation::Value& object, const char* key, foundation::URL& out, foundation::ErrorPtr* error)
{
    std::string text;
    if (!requireString(object, key, text, error))
        return false;
    auto url = foundation::URL::URLWithString(text);
    if (!url) {
        if (error)
            *error = decodingError(std::string("\"") + key + "\" is not a URL");
        return false;
    }
    out = *url;
    return true;
}

const foundation::Value::Array* requireArray(const foundation::Value& object, const char* key, foundation::ErrorPtr* error)
{
    const auto* value = object.find(key);
    if (!value || !value->isArray()) {
        if (error)
            *error = decodingError(std::string("\"") + key + "\" is missing or not a list");
        return nullptr;
    }
    return value->arrayValue();
}

} // namespace

std::string LearningLab::Section::Item::displayDuration() const
{
    if (!std::isfinite(duration) || duration < 0)
        return {};
    const long long seconds = std::llround(duration);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

const LearningLab::Section& LearningLab::section(std::size_t index) const
{
    if (index >= sections.size())
        foundation::fatal("LearningLab: section index out of range");
    return sections[index];
}

const LearningLab::Section::Item& LearningLab::item(std::size_t sectionIndex, std::size_t itemIndex) const
{
    const auto& items = section(sectionIndex).items;
    if (itemIndex >= items.size())
        foundation::fatal("LearningLab: item index out of range");
    return items[itemIndex];
}

std::optional<LearningLab> LearningLab::decode(const foundation::Value& JSON, foundation::ErrorPtr* error)
{
    if (!JSON.isDictionary()) {
        if (error)
            *error = decodingError("the feed is not an object");
        return std::nullopt;
    }
    LearningLab lab;
    const auto* sections = requireArray(JSON, "sections", error);
    if (!sections)
        return std::nullopt;
    for (const auto& sectionJSON : *sections) {
        Section section;
        if (!sectionJSON.isDictionary()) {
            if (error)
                *error = decodingError("a section is not an object");
            return std::nullopt;
        }
        if (!requireString(sectionJSON, "title", section.title, error))
            return std::nullopt;
        const auto* items = requireArray(sectionJSON, "items", error);
        if (!items)
            return std::nullopt;
        for (const auto& itemJSON : *items) {
            Section::Item item;
            if (!itemJSON.isDictionary()) {
                if (error)
                    *error = decodingError("an item is not an object");
                return std::nullopt;
            }
            const auto* duration = itemJSON.find("duration");
            if (!duration || !duration->isNumber() || duration->isBool()) {
                if (error)
                    *error = decodingError("\"duration\" is missing or not a number");
                return std::nullopt;
            }
            item.duration = duration->asDouble();
            if (!requireString(itemJSON, "title", item.title, error) || !requireString(itemJSON, "subtitle", item.subtitle, error)
                || !requireURL(itemJSON, "video", item.videoURL, error) || !requireURL(itemJSON, "thumbnail", item.thumbnailURL, error))
                return std::nullopt;
            section.items.push_back(std::move(item));
        }
        lab.sections.push_back(std::move(section));
    }
    return lab;
}

foundation::Value LearningLab::encode() const
{
    foundation::Value::Array sectionsJSON;
    for (const auto& section : sections) {
        foundation::Value::Array items;
        for (const auto& item : section.items) {
            items.push_back(foundation::Value::dictionary({ { "title", item.title },
                                                            { "subtitle", item.subtitle },
                                                            { "duration", item.duration },
                                                            { "video", item.videoURL.absoluteString() },
                                                            { "thumbnail", item.thumbnailURL.absoluteString() } }));
        }
        sectionsJSON.push_back(foundation::Value::dictionary({ { "title", section.title }, { "items", foundation::Value(std::move(items)) } }));
    }
    return foundation::Value::dictionary({ { "sections", foundation::Value(std::move(sectionsJSON)) } });
}

LearningLabError LearningLabError::fromError(const foundation::ErrorPtr& error)
{
    if (error && error->is(foundation::NSURLErrorDomain, net::NSURLErrorNotConnectedToInternet))
        return { Kind::noInternet, error };
    return { Kind::other, error };
}

std::string LearningLabError::errorDescription() const
{
    if (kind == Kind::noInternet) {
        std::string format = localizedText("Tutorials are currently unavailable.\n%@", "Tutorials no internet error format string");
        auto at = format.find("%@");
        if (at != std::string::npos)
            format.replace(at, 2, error ? error->localizedDescription() : std::string());
        return format;
    }
    return localizedText("Tutorials are currently unavailable.\nTry again later.", "Tutorials other error message");
}

std::shared_ptr<LearningLabDataSource> LearningLabDataSource::initFor(Platform platform)
{
    std::shared_ptr<LearningLabDataSource> source(new LearningLabDataSource(platform));
    auto& cache = processCache();
    if (cache && cache->interval > dispatch::Clock::now() - cache->date)
        source->m_learningLab = cache->learningLab;
    else
        cache.reset();
    return source;
}

void LearningLabDataSource::resetCacheForTesting()
{
    processCache().reset();
}

std::string LearningLabDataSource::pathForPlatform(Platform platform)
{
    switch (platform) {
    case Platform::iOS: return "learning-lab/ios/1";
    case Platform::tvOS: return "learning-lab/tvos/1";
    case Platform::macOS: return "learning-lab/macos/1";
    }
    return {};
}

const foundation::KeyTable& LearningLabDataSource::observableKeys() const
{
    static const foundation::KeyTable table = [] {
        foundation::KeyTable t;
        t.key("loading", &LearningLabDataSource::isLoading);
        return t;
    }();
    return table;
}

void LearningLabDataSource::setLoading(bool loading)
{
    willChange("loading");
    m_loading = loading;
    didChange("loading");
}

void LearningLabDataSource::load(std::function<void(const Result&)> completion)
{
    if (isLoading())
        return;
    setLoading(true);
    auto command = MVRCommand::initWithURLString(pathForPlatform(m_platform));
    auto self = shared_from_this();
    command->sendWithCompletionHandler([self, completion](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        std::optional<Result> result;
        if (!response || !response->JSONObject().isDictionary()) {
            result = LearningLabError::fromError(error);
        } else {
            foundation::ErrorPtr decodeError;
            if (auto lab = LearningLab::decode(response->JSONObject(), &decodeError)) {
                processCache() = Cache { *lab, 3600, dispatch::Clock::now() };
                result = *lab;
            } else {
                result = LearningLabError { LearningLabError::Kind::other, decodeError };
            }
        }
        if (const auto* lab = std::get_if<LearningLab>(&*result))
            self->m_learningLab = *lab;
        else
            self->m_learningLab.reset();
        self->setLoading(false);
        if (completion)
            completion(*result);
    });
}
