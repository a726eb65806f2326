#pragma once
// Uploading one movie to the web service with a caption, a privacy setting and the movie's
// display size; the answer is the service's record of the item (MVRAPICinemagraph). Main
// thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRAPIObject.h"
#include "MovaraKit/Service/MVRCommand.h"
#include "Platform/Foundation/Progress.h"
#include "Platform/Foundation/URL.h"

class MVRAPICinemagraph : public MVRAPIObject {
public:
    // None for anything but a non-empty JSON object.
    static std::shared_ptr<MVRAPICinemagraph> initWithJSON(const foundation::Value& JSON);
    // "embed_code" -> "embedCode"; "link" keeps its name.
    static const KeyMapping& customKeyMapping();
    std::optional<std::string> link() const { return JSON()["link"].stringValue(); }
    std::optional<std::string> embedCode() const { return JSON()["embed_code"].stringValue(); }
    std::string className() const override { return "MVRAPICinemagraph"; }

protected:
    const KeyMapping& classKeyMapping() const override { return customKeyMapping(); }

private:
    MVRAPICinemagraph() = default;
};

class MVRCinemagraphUploader {
public:
    using CompletionHandler = std::function<void(const std::shared_ptr<MVRAPICinemagraph>& cinemagraph, const foundation::ErrorPtr& error)>;

    // None when the file can't be reached. The display size is the first video track's size
    // under its preferred transform, as magnitudes (a rotated movie is as tall as it shows);
    // 0 by 0 without a video track.
    static std::shared_ptr<MVRCinemagraphUploader> initWithFileURL(const foundation::URL& fileURL);

    const std::optional<std::string>& caption() const { return m_caption; }
    void setCaption(std::optional<std::string> caption) { m_caption = std::move(caption); }
    unsigned long privacy() const { return m_privacy; }
    void setPrivacy(unsigned long privacy) { m_privacy = privacy; }
    const foundation::URL& fileURL() const { return m_fileURL; }
    unsigned long width() const { return m_width; }
    unsigned long height() const { return m_height; }
    // The upload in flight, if any. Empty from the moment its command finishes, before the
    // handler runs: copies of the finished command may linger on the transfer threads for a
    // while, and the uploader must not stay busy (or refuse a retry made from the handler)
    // until they happen to go.
    std::shared_ptr<MVRCommand> uploadCommand() const { return m_uploadCommand->lock(); }

    // "caption" (null when unset), "width", "height", "privacy", "type" = "mp4" and the movie
    // under "movara".
    foundation::Value parameters() const;
    // None while an earlier upload is in flight (its handler alone will be called).
    foundation::ProgressPtr uploadWithCompletionHandler(CompletionHandler handler);

private:
    explicit MVRCinemagraphUploader(foundation::URL fileURL) : m_fileURL(std::move(fileURL)) { }

    std::optional<std::string> m_caption;
    unsigned long m_privacy = 1;
    foundation::URL m_fileURL;
    unsigned long m_width = 0;
    unsigned long m_height = 0;
    // Shared with the running command's completion (which holds neither the uploader nor the
    // command through it), so the completion can mark the uploader idle.
    std::shared_ptr<std::weak_ptr<MVRCommand>> m_uploadCommand = std::make_shared<std::weak_ptr<MVRCommand>>();
};
