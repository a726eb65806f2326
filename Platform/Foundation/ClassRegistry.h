#pragma once
// Lookup of classes by name: a class registers a factory under its name, for an interface it
// implements, from its own .cpp (FOUNDATION_REGISTER_CLASS); a caller asks for the name and
// gets a factory of that interface, or null. Thread-safe.
//
// A registration lives in an object file that nothing else may reference: a static library
// holding one must be linked whole, or the linker drops it.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>

namespace foundation {

class ClassRegistry {
public:
    template <class Interface> using Factory = std::function<std::shared_ptr<Interface>()>;

    static ClassRegistry& shared();

    // A later registration of the same name and interface replaces the earlier one.
    template <class Interface> void registerClass(const std::string& name, Factory<Interface> factory)
    {
        std::lock_guard lock(m_mutex);
        m_classes[name][std::type_index(typeid(Interface))] = std::move(factory);
    }

    // Null when no class of that name was registered for `Interface`.
    template <class Interface> Factory<Interface> lookup(const std::string& name) const
    {
        std::lock_guard lock(m_mutex);
        auto it = m_classes.find(name);
        if (it == m_classes.end())
            return nullptr;
        auto found = it->second.find(std::type_index(typeid(Interface)));
        if (found == it->second.end())
            return nullptr;
        return std::any_cast<Factory<Interface>>(found->second);
    }

    bool isRegistered(const std::string& name) const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::map<std::type_index, std::any>> m_classes;
};

// Registers `Class` (default-constructed through std::make_shared) under `name` for `Interface`
// while static objects are initialised.
template <class Interface, class Class> struct ClassRegistration {
    explicit ClassRegistration(const char* name)
    {
        ClassRegistry::shared().registerClass<Interface>(name, [] { return std::make_shared<Class>(); });
    }
};

} // namespace foundation

#define FOUNDATION_REGISTER_CLASS(Class, Interface) \
    static const ::foundation::ClassRegistration<Interface, Class> foundationClassRegistration_##Class(#Class)
