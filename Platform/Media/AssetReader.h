#pragma once
// Reads decoded frames of an asset's video tracks through outputs added before startReading.
// A decoding failure in the middle of a movie makes the status Failed with an error; it is
// never reported as the end of the movie. Outputs are read from one thread at a time; status
// and error may be read from any thread.

#include "Platform/Foundation/Error.h"
#include "Platform/Media/Asset.h"
#include "Platform/Media/AssetReaderOutput.h"
#include "Platform/Media/Time.h"

#include <memory>
#include <vector>

namespace media {

class AssetReader {
public:
    enum class Status { Unknown, Reading, Completed, Failed, Cancelled };

    // nullptr, with `error`, when the asset's file cannot be read.
    static std::shared_ptr<AssetReader> assetReaderWithAsset(const AssetPtr& asset, foundation::ErrorPtr* error = nullptr);
    ~AssetReader();

    const AssetPtr& asset() const { return m_asset; }
    Status status() const;
    foundation::ErrorPtr error() const;

    // The span read; [0, +infinity) unless set before startReading.
    TimeRange timeRange() const;
    void setTimeRange(const TimeRange& range);

    const std::vector<AssetReaderOutputPtr>& outputs() const { return m_outputs; }
    bool canAddOutput(const AssetReaderOutputPtr& output) const;
    // Throws NSInvalidArgumentException when canAddOutput is false.
    void addOutput(const AssetReaderOutputPtr& output);

    // Opens the decoders; false with status Failed and an error when that fails.
    bool startReading();
    void cancelReading();

    struct Shared;

private:
    AssetReader() = default;
    AssetPtr m_asset;
    std::vector<AssetReaderOutputPtr> m_outputs;
    std::shared_ptr<Shared> m_shared;
};

using AssetReaderPtr = std::shared_ptr<AssetReader>;

} // namespace media
