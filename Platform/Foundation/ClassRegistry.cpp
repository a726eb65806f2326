#include "Platform/Foundation/ClassRegistry.h"

namespace foundation {

ClassRegistry& ClassRegistry::shared()
{
    static ClassRegistry registry;
    return registry;
}

bool ClassRegistry::isRegistered(const std::string& name) const
{
    std::lock_guard lock(m_mutex);
    return m_classes.contains(name);
}

} // namespace foundation
