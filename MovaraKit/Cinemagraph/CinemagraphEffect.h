#pragma once
// One effect track carried between applications: a source movie, the time range of it the
// effect uses, an effect movie or image, a name and two flags, stored as a package folder
// ("Data.plist" beside "sourceMovie.<ext>" and "effectMovie.<ext>"). It reads and writes
// packages and hands one to the sibling application Stillara through their shared
// application-group container and a "stillara://import-effect-track?url=..." launch URL.
// Immutable once made; any thread.

#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Media/Time.h"

// Reading errors: domain CinemagraphEffectReadingErrorDomain, code the case's number.
extern const std::string CinemagraphEffectReadingErrorDomain; // "MovaraKit.CinemagraphEffect.ReadingError"

class CinemagraphEffect {
public:
    enum class ReadingError : long { unrecognizedPackage = 0, incompatibleVersion = 1 };

    static const std::string& identifier();      // "com.movara.stillara-effect-bundle"
    static const std::string& fileExtension();   // "cinemagraphEffect"
    static const std::string& launchScheme();    // "stillara"
    static const std::string& launchHost();      // "import-effect-track"
    static const std::string& urlQueryItemName(); // "url"
    static const std::string& applicationGroupIdentifier(); // "group.com.movara.stillara-import-effect"

    CinemagraphEffect(foundation::URL sourceURL, media::TimeRange sourceTimeRange, foundation::URL effectURL,
                      std::string effectName, bool isVideoProvider, bool isImageProvider);
    virtual ~CinemagraphEffect() = default;

    // Reads a package; nullptr with a ReadingError, the file system's or the decoder's error.
    // File names stored in the package must name entries inside it.
    static std::shared_ptr<CinemagraphEffect> initWithPackageURL(const foundation::URL& packageURL,
                                                                 foundation::ErrorPtr* error = nullptr);
    // Writes the package at `url` atomically; the media are hard-linked, not copied.
    bool writeToURL(const foundation::URL& url, foundation::ErrorPtr* error = nullptr) const;
    // Writes a package named "<UUID>.<fileExtension>" into the sibling's container; none when
    // there is no container or the write fails.
    std::optional<foundation::URL> exportToStillaraImportContainer() const;

    // The package inside the shared container that a launch URL names; none for any other URL.
    static std::optional<foundation::URL> launchURLToContainerURL(const foundation::URL& launchURL);
    static foundation::URL containerURLToLaunchURL(const foundation::URL& containerURL);

    const foundation::URL& sourceURL() const { return m_sourceURL; }
    const media::TimeRange& sourceTimeRange() const { return m_sourceTimeRange; }
    const foundation::URL& effectURL() const { return m_effectURL; }
    const std::string& effectName() const { return m_effectName; }
    bool isVideoProvider() const { return m_isVideoProvider; }
    bool isImageProvider() const { return m_isImageProvider; }

private:
    foundation::URL m_sourceURL;
    media::TimeRange m_sourceTimeRange;
    foundation::URL m_effectURL;
    std::string m_effectName;
    bool m_isVideoProvider = false;
    bool m_isImageProvider = false;
};
