#include "MovaraKit/Service/MVRCinemagraphUploader.h"

#include <cmath>
#include <filesystem>

#include "MovaraKit/Media/Asset+Movara.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetTrack.h"

const MVRAPIObject::KeyMapping& MVRAPICinemagraph::customKeyMapping()
{
    static const KeyMapping mapping { { "embed_code", "embedCode" } };
    return mapping;
}

std::shared_ptr<MVRAPICinemagraph> MVRAPICinemagraph::initWithJSON(const foundation::Value& JSON)
{
    if (!JSON.isDictionary() || JSON.size() == 0)
        return nullptr;
    std::shared_ptr<MVRAPICinemagraph> object(new MVRAPICinemagraph());
    object->setValuesForKeysWithJSONDictionary(JSON);
    return object;
}

std::shared_ptr<MVRCinemagraphUploader> MVRCinemagraphUploader::initWithFileURL(const foundation::URL& fileURL)
{
    std::error_code code;
    if (!fileURL.isFileURL() || !std::filesystem::exists(fileURL.path(), code))
        return nullptr;
    std::shared_ptr<MVRCinemagraphUploader> uploader(new MVRCinemagraphUploader(fileURL));
    if (auto track = mvr_videoTrack(media::Asset::assetWithURL(fileURL))) {
        const auto size = track->naturalSize();
        const auto t = track->preferredTransform();
        // A quarter turn makes the transformed extent negative; the display size is its
        // magnitude, not a wrapped-around unsigned number.
        const double width = std::fabs(size.width * t.a + size.height * t.c);
        const double height = std::fabs(size.width * t.b + size.height * t.d);
        uploader->m_width = static_cast<unsigned long>(width);
        uploader->m_height = static_cast<unsigned long>(height);
    }
    return uploader;
}

foundation::Value MVRCinemagraphUploader::parameters() const
{
    return foundation::Value::dictionary({
        { "caption", m_caption ? foundation::Value(*m_caption) : foundation::Value() },
        { "width", static_cast<std::uint64_t>(m_width) },
        { "height", static_cast<std::uint64_t>(m_height) },
        { "privacy", static_cast<std::uint64_t>(m_privacy) },
        { "type", "mp4" },
        { "movara", m_fileURL.absoluteString() },
    });
}

foundation::ProgressPtr MVRCinemagraphUploader::uploadWithCompletionHandler(CompletionHandler handler)
{
    if (m_uploadCommand->lock())
        return nullptr;
    auto progress = foundation::Progress::discreteProgressWithTotalUnitCount(1);
    progress->becomeCurrentWithPendingUnitCount(0);
    auto command = MVRCommand::initWithURLString("movaras", "POST", parameters());
    // Marked busy before sending, so a command that fails at once is not left marked.
    *m_uploadCommand = command;
    std::weak_ptr<std::weak_ptr<MVRCommand>> slot = m_uploadCommand;
    command->sendWithCompletionHandler([handler, slot](const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error) {
        if (auto inFlight = slot.lock())
            inFlight->reset();
        auto cinemagraph = response ? MVRAPICinemagraph::initWithJSON(response->JSONObject()) : nullptr;
        if (handler)
            handler(cinemagraph, error);
    });
    progress->resignCurrent();
    return progress;
}
