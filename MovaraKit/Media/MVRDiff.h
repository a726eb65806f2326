#pragma once
// The difference between two versions of a list: what was inserted and what was deleted,
// compared by equality (order is kept, duplicates are not merged). Any thread.

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

class MVRDiff {
public:
    // Keys of the result: "insertions" (the new items not in the old list) when the new list
    // has items, and "deletions" (the old items not in the new list; all old items when the new
    // list is empty or none) when there is an old list. Both none: an empty result.
    template <class T>
    static std::map<std::string, std::vector<T>> changesBetweenNewItems(const std::optional<std::vector<T>>& newItems,
                                                                        const std::optional<std::vector<T>>& oldItems)
    {
        std::map<std::string, std::vector<T>> result;
        if (!newItems && !oldItems)
            return result;
        if (newItems && !newItems->empty()) {
            result["insertions"] = notIn(*newItems, oldItems);
            if (oldItems)
                result["deletions"] = notIn(*oldItems, newItems);
        } else if (oldItems) {
            result["deletions"] = *oldItems;
        }
        return result;
    }

private:
    template <class T>
    static std::vector<T> notIn(const std::vector<T>& items, const std::optional<std::vector<T>>& others)
    {
        std::vector<T> out;
        for (const T& item : items)
            if (!others || std::find(others->begin(), others->end(), item) == others->end())
                out.push_back(item);
        return out;
    }
};
