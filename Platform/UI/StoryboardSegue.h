#pragma once
// Segues between the scenes of a storyboard: a segue registered under an identifier leads from
// any controller to a new controller of a destination scene. Performing it makes the
// destination, lets the source prepare it (when the source is a SeguePreparing), and presents
// it: as a sheet on the source's window, or in place of the window's content. Main thread only.

#include <memory>
#include <string>

#include "Platform/UI/Object.h"
#include "Platform/UI/ViewController.h"

namespace ui {

class StoryboardSegue {
public:
    enum class Kind { sheet, replaceWindowContent };

    static void registerSegue(const std::string& storyboard, const std::string& identifier, const std::string& destinationScene, Kind kind);
    // False when no such segue is registered or the destination can't be made.
    static bool performSegueWithIdentifier(const std::string& storyboard, const std::string& identifier,
                                           const std::shared_ptr<ViewController>& source, Object* sender);

    const std::string& identifier() const { return m_identifier; }
    const std::shared_ptr<ViewController>& sourceController() const { return m_source; }
    const std::shared_ptr<ViewController>& destinationController() const { return m_destination; }

    StoryboardSegue(std::string identifier, std::shared_ptr<ViewController> source, std::shared_ptr<ViewController> destination)
        : m_identifier(std::move(identifier)), m_source(std::move(source)), m_destination(std::move(destination)) { }

private:
    std::string m_identifier;
    std::shared_ptr<ViewController> m_source;
    std::shared_ptr<ViewController> m_destination;
};

class SeguePreparing {
public:
    virtual ~SeguePreparing() = default;
    virtual void prepareForSegue(StoryboardSegue& segue, Object* sender) = 0;
};

} // namespace ui
