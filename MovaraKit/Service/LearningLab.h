#pragma once
// The web service's feed of tutorial videos, per client platform, in titled sections; a
// process-wide cache keeps the last feed loaded for an hour, and LearningLabDataSource, the
// object a tutorials screen holds, starts with the cached feed when it is fresh and loads the
// feed through a web-service command. Main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/Value.h"

struct LearningLab {
    struct Section {
        struct Item {
            std::string title;
            std::string subtitle;
            double duration = 0; // seconds
            foundation::URL videoURL = foundation::URL::fileURLWithPath("/");
            foundation::URL thumbnailURL = foundation::URL::fileURLWithPath("/");

            // Minutes and seconds, each at least two digits, minutes never carried into hours:
            // 65 seconds read "01:05", 3725 "62:05".
            std::string displayDuration() const;
        };
        std::string title;
        std::vector<Item> items;
    };
    std::vector<Section> sections;

    // The item at (section, item); an index outside the feed stops the process.
    const Section& section(std::size_t index) const;
    const Section::Item& item(std::size_t section, std::size_t item) const;

    // Every key is required at every level; a missing key, a value of the wrong type or a URL
    // that doesn't parse fails with the reason in `error`.
    static std::optional<LearningLab> decode(const foundation::Value& JSON, foundation::ErrorPtr* error = nullptr);
    foundation::Value encode() const;
};

// Why a feed could not be loaded: no internet connection (the transfer's error), or anything
// else (with the error when there is one).
struct LearningLabError {
    enum class Kind { noInternet, other };
    Kind kind = Kind::other;
    foundation::ErrorPtr error;

    static LearningLabError fromError(const foundation::ErrorPtr& error);
    // "Tutorials are currently unavailable." and, on the next line, the connection failure's
    // description or "Try again later.".
    std::string errorDescription() const;
};

class LearningLabDataSource : public foundation::Observable, public std::enable_shared_from_this<LearningLabDataSource> {
public:
    enum class Platform { iOS, tvOS, macOS };
    using Result = std::variant<LearningLab, LearningLabError>;

    // Starts with the cached feed while it is less than an hour old (any platform's).
    static std::shared_ptr<LearningLabDataSource> initFor(Platform platform);

    const std::optional<LearningLab>& learningLab() const { return m_learningLab; }
    void setLearningLab(std::optional<LearningLab> lab) { m_learningLab = std::move(lab); }
    // Observable ("loading"): true while a load is in flight.
    bool isLoading() const { return m_loading; }
    void setLoading(bool loading);

    // Sends the feed's command unless a load is in flight (then nothing happens and the
    // completion is never called); a failure leaves no feed.
    void load(std::function<void(const Result&)> completion);

    static std::string pathForPlatform(Platform platform);
    // Forgets the cached feed, as a new process starts.
    static void resetCacheForTesting();

    const foundation::KeyTable& observableKeys() const override;

private:
    explicit LearningLabDataSource(Platform platform) : m_platform(platform) { }

    std::optional<LearningLab> m_learningLab;
    bool m_loading = false;
    Platform m_platform;
};
