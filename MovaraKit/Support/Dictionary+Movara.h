#pragma once
// Key renaming and null removal for dictionaries decoded from JSON. Pure functions of their
// arguments; any thread.

#include <string>
#include <utility>
#include <vector>

#include "Platform/Foundation/Value.h"

// Pairs of (old key, new key), applied in order.
using MVRKeyMapping = std::vector<std::pair<std::string, std::string>>;

// The dictionary itself when the mapping is empty, else a copy with mvr_replaceKeys applied.
foundation::Value mvr_dictionaryByReplacingKeys(const foundation::Value& dictionary, const MVRKeyMapping& mapping);
// For each pair: the value at the old key read as a dotted key path (reaching into nested
// dictionaries) is stored under the new key, then the top-level entry named exactly like the
// old key is removed; a dotted old key therefore leaves the nested value in place. A pair
// whose old key has no value changes nothing. Does nothing to a value that is no dictionary.
void mvr_replaceKeys(foundation::Value& dictionary, const MVRKeyMapping& mapping);
// Removes the top-level entries whose value is null (nested dictionaries keep theirs).
void mvr_removeNulls(foundation::Value& dictionary);
