#include "MovaraAppKit/Shell/MovaraAppSpecific.h"

#include "Platform/Foundation/ClassRegistry.h"
#include "Platform/Foundation/Error.h"

const std::string MVRAppInfo::ClassName = "AppSpecific";

std::shared_ptr<MovaraAppSpecific> MVRAppInfo::lookUp(const foundation::ClassRegistry& registry,
                                                      const std::string& className)
{
    auto factory = registry.lookup<MovaraAppSpecific>(className);
    if (!factory) {
        // A class of that name that offers something else is a different mistake from a
        // missing one; say which, since either stops the launch.
        if (registry.isRegistered(className))
            foundation::fatal("The class " + className + " does not conform to MovaraAppSpecific.");
        foundation::fatal("No configuration class named " + className +
                          " is registered; the application must provide one.");
    }
    auto object = factory();
    if (!object)
        foundation::fatal("The configuration class " + className + " made no object.");
    return object;
}

std::shared_ptr<MovaraAppSpecific> MVRAppInfo::shared()
{
    // A function-local static: created once, under the compiler's once-only guard, from any
    // thread; the properties are read from the object on each use, never copied.
    static const std::shared_ptr<MovaraAppSpecific> info = lookUp(foundation::ClassRegistry::shared(), ClassName);
    return info;
}
