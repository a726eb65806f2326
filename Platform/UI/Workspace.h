#pragma once
// The desktop: opens web pages and files with the user's applications (xdg-open), shows
// files in the file manager, finds applications and file icons, and answers type questions.
// With records-only set (tests do) nothing is started: every request is recorded instead, for
// the caller to read. Main thread only.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/URL.h"
#include "Platform/UI/Image.h"

namespace ui {

class Workspace {
public:
    static Workspace& shared();

    // False when the URL has no scheme or the opener could not be started.
    bool openURL(const foundation::URL& url);
    // Opens the file with the named application (found as by fullPathForApplication), or with
    // the default one when none is named.
    bool openFile(const std::string& path, const std::string& application = {});
    // Opens the folder that holds the first URL, as the platform reveals a file.
    bool activateFileViewerSelectingURLs(const std::vector<foundation::URL>& urls);
    // An application by name ("Stillara.app"): one registered here, else an executable of that
    // name (lower case, without ".app") on PATH; none when there is neither.
    std::optional<std::string> fullPathForApplication(const std::string& name) const;
    void registerApplication(const std::string& name, const std::string& path);
    // A 32-point picture for the file: a folder, or a page with the file's extension.
    ImagePtr iconForFile(const std::string& path) const;
    // The application the desktop opens the URL with (GIO's default handler for
    // x-scheme-handler/<scheme>), as the path of its .desktop file; none when it names none.
    std::optional<std::string> URLForApplicationToOpenURL(const foundation::URL& url) const;
    // The icon an application's .desktop file names (a file, or a name in the icon themes);
    // none when it names none that loads.
    ImagePtr iconForApplication(const std::string& desktopFilePath) const;

    std::string preferredFilenameExtensionForType(const std::string& typeIdentifier) const;
    // The file's type identifier; none when it cannot be read and its extension names none.
    std::optional<std::string> typeOfFile(const std::string& path) const;
    bool typeConformsToType(const std::string& type, const std::string& parent) const;

    struct Call {
        std::string operation; // "openURL", "openFile", "activateFileViewerSelectingURLs"
        std::vector<std::string> arguments;
        bool operator==(const Call&) const = default;
    };
    // Off by default: requests start the desktop's programs.
    bool recordsOnly() const;
    void setRecordsOnly(bool value);
    std::vector<Call> recordedCalls() const;
    void clearRecordedCalls();

private:
    Workspace() = default;
    bool perform(Call call, const std::vector<std::string>& argv);

    mutable std::mutex m_mutex;
    bool m_recordsOnly = false;
    std::vector<Call> m_calls;
    std::vector<std::pair<std::string, std::string>> m_applications;
};

} // namespace ui
