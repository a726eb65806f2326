#pragma once
// The media layer's errors: the platform's AVFoundation domain and codes, so callers can test
// them as the platform documents. The FFmpeg reason, when there is one, rides along as the
// failure reason and as an underlying error in the OSStatus domain carrying the FFmpeg code.

#include "Platform/Foundation/Error.h"

#include <string>

namespace media {

extern const std::string AVFoundationErrorDomain; // "AVFoundationErrorDomain"

enum AVErrorCode : long {
    AVErrorUnknown = -11800,
    AVErrorOutOfMemory = -11801,
    AVErrorDiskFull = -11807,
    AVErrorSessionNotRunning = -11803,
    AVErrorDecodeFailed = -11821,
    AVErrorInvalidSourceMedia = -11822,
    AVErrorFileAlreadyExists = -11823,
    AVErrorFileFormatNotRecognized = -11828,
    AVErrorFileFailedToParse = -11829,
    AVErrorDecoderNotFound = -11833,
    AVErrorEncoderNotFound = -11834,
    AVErrorOperationNotAllowed = -11838,
    AVErrorInvalidVideoComposition = -11841,
    AVErrorNoLongerPlayable = -11867,
};

// An error in the AVFoundation domain. `reason` becomes the failure reason; a non-zero
// `ffmpegCode` (an AVERROR value) is attached as the underlying error with FFmpeg's text.
foundation::ErrorPtr makeMediaError(long code, const std::string& description, const std::string& reason = {},
                                    int ffmpegCode = 0);

} // namespace media
