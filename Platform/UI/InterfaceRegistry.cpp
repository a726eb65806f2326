#include "Platform/UI/InterfaceRegistry.h"

#include "Platform/UI/Window.h"
#include "Platform/UI/WindowController.h"

#include <map>
#include <mutex>

namespace ui {

namespace {

struct Scene {
    SceneBuilder builder;
    bool initial = false;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, InterfaceBuilder> files;
    std::map<std::string, std::map<std::string, Scene>> storyboards;
};

Registry& registry()
{
    static Registry r;
    return r;
}

void wakeAll(const InterfaceFile& file)
{
    // A copy: waking may load further files.
    const std::vector<ObjectPtr> objects = file.objectsToWake();
    for (const auto& object : objects)
        object->awakeFromNib();
}

ObjectPtr buildScene(const std::string& storyboard, const Scene& scene)
{
    InterfaceFile file(storyboard, nullptr);
    ObjectPtr controller = scene.builder ? scene.builder(file) : nullptr;
    if (controller)
        file.wake(controller);
    wakeAll(file);
    return controller;
}

} // namespace

void InterfaceRegistry::registerFile(const std::string& name, InterfaceBuilder builder)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.files[name] = std::move(builder);
}

bool InterfaceRegistry::isRegistered(const std::string& name)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.files.count(name) != 0;
}

std::optional<std::vector<ObjectPtr>> InterfaceRegistry::loadFile(const std::string& name, const ObjectPtr& owner,
                                                                  foundation::ErrorPtr* error)
{
    InterfaceBuilder builder;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.files.find(name);
        if (it != r.files.end())
            builder = it->second;
    }
    if (!builder) {
        if (error) {
            *error = foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadNoSuchFileError,
                                             "The interface file \u201C" + name + "\u201D could not be found.");
        }
        return std::nullopt;
    }
    InterfaceFile file(name, owner);
    builder(file);
    wakeAll(file);
    return file.topLevelObjects();
}

void InterfaceRegistry::registerScene(const std::string& storyboard, const std::string& identifier, SceneBuilder builder,
                                      bool isInitial)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto& scenes = r.storyboards[storyboard];
    if (isInitial) {
        for (auto& [id, scene] : scenes)
            scene.initial = false;
    }
    scenes[identifier] = Scene{std::move(builder), isInitial};
}

bool InterfaceRegistry::hasStoryboard(const std::string& storyboard)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.storyboards.count(storyboard) != 0;
}

std::shared_ptr<Storyboard> Storyboard::storyboardWithName(const std::string& name)
{
    if (!InterfaceRegistry::hasStoryboard(name))
        return nullptr;
    return std::make_shared<Storyboard>(name);
}

ObjectPtr Storyboard::instantiateControllerWithIdentifier(const std::string& identifier) const
{
    Scene scene;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto sb = r.storyboards.find(m_name);
        if (sb == r.storyboards.end())
            return nullptr;
        auto it = sb->second.find(identifier);
        if (it == sb->second.end())
            return nullptr;
        scene = it->second;
    }
    return buildScene(m_name, scene);
}

ObjectPtr Storyboard::instantiateInitialController() const
{
    Scene scene;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto sb = r.storyboards.find(m_name);
        if (sb == r.storyboards.end())
            return nullptr;
        for (const auto& [id, s] : sb->second) {
            if (s.initial)
                scene = s;
        }
        if (!scene.builder)
            return nullptr;
    }
    return buildScene(m_name, scene);
}

void InterfaceRegistry::registerWindowScene(const std::string& storyboard, const std::string& identifier,
                                            std::function<std::shared_ptr<WindowController>()> makeController,
                                            std::function<std::shared_ptr<Window>()> makeWindow)
{
    registerScene(storyboard, identifier, [makeController = std::move(makeController), makeWindow = std::move(makeWindow)](
                                              InterfaceFile&) -> ObjectPtr {
        auto controller = makeController();
        auto window = makeWindow();
        controller->setWindow(window);
        if (auto delegate = std::dynamic_pointer_cast<WindowDelegate>(controller))
            window->setDelegate(delegate);
        controller->windowDidLoad();
        return controller;
    }, true);
}

} // namespace ui
