#pragma once
// Formats a media time as "MM:SS:FF" (minutes not wrapped into hours, frames at frameRate),
// or "invalid", "indefinite", "+infinity", "-infinity". Used from one thread at a time.

#include "Platform/Media/Time.h"

#include <any>
#include <optional>
#include <string>

class MVRTimecodeFormatter {
public:
    float frameRate() const { return m_frameRate; }
    void setFrameRate(float frameRate) { m_frameRate = frameRate; }

    // The text of a media::Time held in `value`; none for anything else or an empty value.
    std::optional<std::string> stringForObjectValue(const std::any& value) const;
    std::string stringForTime(const media::Time& time) const;

private:
    float m_frameRate = 0;
};
