#pragma once
// A dictionary that enumerates its keys in the order they were first set; setting a present
// key replaces its value in place. Two ordered dictionaries are equal only with equal entries
// in equal order. Removing single keys is not offered. One thread at a time.

#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"

class BCNOrderedDictionary {
public:
    void setObject(foundation::Value value, const std::string& key) { m_dictionary.set(key, std::move(value)); }
    const foundation::Value* objectForKey(const std::string& key) const { return m_dictionary.find(key); }
    std::size_t count() const { return m_dictionary.size(); }
    std::vector<std::string> keys() const { return m_dictionary.keys(); }
    void addEntriesFromDictionary(const foundation::Dictionary& entries)
    {
        for (const auto& [key, value] : entries)
            setObject(value, key);
    }
    void removeAllObjects() { m_dictionary.clear(); }
    bool isEqualToDictionary(const BCNOrderedDictionary& other) const
    {
        return m_dictionary == other.m_dictionary && keys() == other.keys();
    }
    // The entries, in order, as a JSON-ready dictionary.
    foundation::Value toValue() const { return foundation::Value(m_dictionary); }

private:
    foundation::Dictionary m_dictionary;
};
