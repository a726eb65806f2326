#include "MovaraKit/Support/Dictionary+Movara.h"

#include <string_view>

namespace {

const foundation::Value* valueForKeyPath(const foundation::Value& root, std::string_view path)
{
    const foundation::Value* current = &root;
    for (;;) {
        if (!current->isDictionary())
            return nullptr;
        size_t dot = path.find('.');
        current = current->find(path.substr(0, dot));
        if (!current || dot == std::string_view::npos)
            return current;
        path.remove_prefix(dot + 1);
    }
}

} // namespace

foundation::Value mvr_dictionaryByReplacingKeys(const foundation::Value& dictionary, const MVRKeyMapping& mapping)
{
    foundation::Value copy = dictionary;
    if (!mapping.empty())
        mvr_replaceKeys(copy, mapping);
    return copy;
}

void mvr_replaceKeys(foundation::Value& dictionary, const MVRKeyMapping& mapping)
{
    if (!dictionary.isDictionary())
        return;
    for (const auto& [oldKey, newKey] : mapping) {
        const foundation::Value* found = valueForKeyPath(dictionary, oldKey);
        if (!found)
            continue;
        // Copied before storing: the source may live inside the entry being replaced.
        foundation::Value value = *found;
        dictionary.set(newKey, std::move(value));
        // Renaming a key to itself must keep it, not store and then delete it.
        if (oldKey != newKey)
            dictionary.erase(oldKey);
    }
}

void mvr_removeNulls(foundation::Value& dictionary)
{
    if (!dictionary.isDictionary())
        return;
    for (const std::string& key : dictionary.keys())
        if (const foundation::Value* value = dictionary.find(key); value && value->isNull())
            dictionary.erase(key);
}
