#pragma once
// The base record of the client's timestamped histories (devices, sessions, user ids),
// archived with its timestamp under "timestampKey".

#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/Date.h"
#include "Platform/Foundation/KeyedArchiver.h"

class BCNHistoryInfo : public foundation::Coding {
public:
    explicit BCNHistoryInfo(std::optional<foundation::Date> timestamp = std::nullopt) : m_timestamp(timestamp) { }

    const std::optional<foundation::Date>& timestamp() const { return m_timestamp; }
    void setTimestamp(std::optional<foundation::Date> timestamp) { m_timestamp = timestamp; }

    std::string className() const override { return "BCNHistoryInfo"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    // Reads the fields this class archives.
    void initWithCoder(foundation::KeyedUnarchiver& coder);

private:
    std::optional<foundation::Date> m_timestamp;
};
