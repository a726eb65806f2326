#pragma once
// Timestamped histories (sessions, user ids, devices) kept as one keyed archive in the prefixed
// user defaults, and the history of one value per run that the session and user-id contexts
// share: this run's entry is changed in place, and a lookup by date answers from the newest
// entry strictly earlier than it.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/Util/BCNHistoryInfo.h"

namespace bcn {

std::vector<std::shared_ptr<BCNHistoryInfo>> loadHistoryEntries(const std::string& key);
void storeHistory(const std::string& key, const std::vector<std::shared_ptr<const BCNHistoryInfo>>& entries);

// The entries of class T stored under `key`; empty when nothing (readable) is stored.
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

// Entry is a BCNHistoryInfo with value() and setValue(); guarded by the owner's lock.
template <class Entry> class RunHistory {
public:
    explicit RunHistory(std::string key) : m_key(std::move(key)), m_entries(loadHistory<Entry>(m_key))
    {
        m_current->setTimestamp(BCNUtility::now());
    }
    std::size_t loadedCount() const { return m_entries.size(); }
    void openRun() { m_entries.push_back(m_current); }
    const std::shared_ptr<Entry>& current() const { return m_current; }
    const std::vector<std::shared_ptr<Entry>>& entries() const { return m_entries; }

    // This run's entry takes the value, stamped now, as the last entry.
    foundation::Date moveCurrentForward(const std::optional<std::string>& value)
    {
        if (!m_entries.empty())
            m_entries.pop_back();
        const auto now = BCNUtility::now();
        m_current->setTimestamp(now);
        m_current->setValue(value);
        m_entries.push_back(m_current);
        store();
        return now;
    }
    std::optional<std::string> valueAt(const foundation::Date& date) const
    {
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
            if ((*it)->timestamp() && *(*it)->timestamp() < date)
                return (*it)->value();
        return std::nullopt;
    }
    void clear(bool keepCurrent)
    {
        m_entries.clear();
        if (keepCurrent)
            m_entries.push_back(m_current);
        store();
    }
    void store() const { storeTypedHistory(m_key, m_entries); }

private:
    std::string m_key;
    std::vector<std::shared_ptr<Entry>> m_entries;
    std::shared_ptr<Entry> m_current = std::make_shared<Entry>();
};

} // namespace bcn
