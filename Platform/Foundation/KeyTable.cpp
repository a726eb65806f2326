// The table of an observable class's keys (getters, setters, dependent keys) and the number
// conversions that typed setters use.
#include "Platform/Foundation/Observable.h"

namespace foundation {

KeyTable& KeyTable::key(const std::string& name, Getter getter, Setter setter)
{
    Entry& entry = m_entries[name];
    entry.getter = std::move(getter);
    entry.setter = std::move(setter);
    entry.object = nullptr;
    return *this;
}

KeyTable& KeyTable::affecting(const std::string& key, std::vector<std::string> keyPaths)
{
    m_affecting[key] = std::move(keyPaths);
    return *this;
}

const KeyTable::Entry* KeyTable::find(const std::string& name) const
{
    auto it = m_entries.find(name);
    return it == m_entries.end() ? nullptr : &it->second;
}

const std::vector<std::string>& KeyTable::keyPathsAffecting(const std::string& key) const
{
    static const std::vector<std::string> none;
    auto it = m_affecting.find(key);
    return it == m_affecting.end() ? none : it->second;
}

namespace detail {

double anyToDouble(const std::any& value, bool& ok)
{
    ok = true;
    if (auto* v = std::any_cast<double>(&value)) return *v;
    if (auto* v = std::any_cast<float>(&value)) return *v;
    if (auto* v = std::any_cast<int>(&value)) return *v;
    if (auto* v = std::any_cast<long>(&value)) return static_cast<double>(*v);
    if (auto* v = std::any_cast<long long>(&value)) return static_cast<double>(*v);
    if (auto* v = std::any_cast<unsigned>(&value)) return *v;
    if (auto* v = std::any_cast<unsigned long>(&value)) return static_cast<double>(*v);
    if (auto* v = std::any_cast<unsigned long long>(&value)) return static_cast<double>(*v);
    if (auto* v = std::any_cast<bool>(&value)) return *v ? 1.0 : 0.0;
    ok = false;
    return 0;
}

} // namespace detail

} // namespace foundation
