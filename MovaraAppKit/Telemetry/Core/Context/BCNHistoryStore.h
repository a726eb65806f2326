#pragma once
// Reading and writing a timestamped history (a list of history entries) as one keyed archive
// in the prefixed user defaults.

#include <memory>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

namespace bcn {

// The entries of class T stored under `key`; empty when nothing (readable) is stored.
template <class T> std::vector<std::shared_ptr<T>> loadHistory(const std::string& key);
std::vector<std::shared_ptr<BCNHistoryInfo>> loadHistoryEntries(const std::string& key);
void storeHistory(const std::string& key, const std::vector<std::shared_ptr<const BCNHistoryInfo>>& entries);

template <class T> std::vector<std::shared_ptr<T>> loadHistory(const std::string& key)
{
    std::vector<std::shared_ptr<T>> typed;
    for (auto& entry : loadHistoryEntries(key))
        if (auto t = std::dynamic_pointer_cast<T>(entry))
            typed.push_back(std::move(t));
    return typed;
}

template <class T> void storeTypedHistory(const std::string& key, const std::vector<std::shared_ptr<T>>& entries)
{
    storeHistory(key, std::vector<std::shared_ptr<const BCNHistoryInfo>>(entries.begin(), entries.end()));
}

} // namespace bcn
