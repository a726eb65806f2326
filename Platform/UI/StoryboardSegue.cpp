#include "Platform/UI/StoryboardSegue.h"

#include <map>
#include <mutex>

#include "Platform/UI/InterfaceRegistry.h"
#include "Platform/UI/View.h"
#include "Platform/UI/Window.h"

namespace ui {

namespace {

struct Registered {
    std::string destination;
    StoryboardSegue::Kind kind;
};

std::map<std::pair<std::string, std::string>, Registered>& segues()
{
    static std::map<std::pair<std::string, std::string>, Registered> table;
    return table;
}

std::mutex& seguesMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

void StoryboardSegue::registerSegue(const std::string& storyboard, const std::string& identifier, const std::string& destinationScene, Kind kind)
{
    std::lock_guard lock(seguesMutex());
    segues()[{ storyboard, identifier }] = { destinationScene, kind };
}

bool StoryboardSegue::performSegueWithIdentifier(const std::string& storyboard, const std::string& identifier,
                                                 const std::shared_ptr<ViewController>& source, Object* sender)
{
    Registered registered;
    {
        std::lock_guard lock(seguesMutex());
        auto it = segues().find({ storyboard, identifier });
        if (it == segues().end())
            return false;
        registered = it->second;
    }
    auto board = Storyboard::storyboardWithName(storyboard);
    auto destination = board ? board->instantiateControllerWithIdentifierAs<ViewController>(registered.destination) : nullptr;
    if (!destination || !source)
        return false;
    StoryboardSegue segue(identifier, source, destination);
    if (auto* preparing = dynamic_cast<SeguePreparing*>(source.get()))
        preparing->prepareForSegue(segue, sender);
    switch (registered.kind) {
    case Kind::sheet:
        source->presentViewControllerAsSheet(destination);
        return true;
    case Kind::replaceWindowContent:
        if (auto* window = source->view()->window()) {
            window->setContentViewController(destination);
            return true;
        }
        return false;
    }
    return false;
}

} // namespace ui
