#pragma once
// A binding keeps a control's value in step with an observed key path: the current value is
// pushed to the control when bound and on every change; a change made in the control is
// written back through the observed object's setter for that key path. The observed object is
// held weakly. Values are pushed on the thread that changes them.

#include <any>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Foundation/Observable.h"

namespace foundation {

struct BindingOptions {
    // Model value to control value (e.g. negating a bool for a "hidden" binding), and back.
    std::function<std::any(const std::any&)> valueTransformer;
    std::function<std::any(const std::any&)> reverseValueTransformer;
    // Shown when the observed value is absent (a missing intermediate, an empty value).
    std::any nullPlaceholder;
};

class Binding {
public:
    using ControlSetter = std::function<void(const std::any&)>;

    static std::shared_ptr<Binding> bind(ControlSetter controlSetter, const std::shared_ptr<Observable>& observable,
                                         const std::string& keyPath, BindingOptions options = {});
    ~Binding();
    Binding(const Binding&) = delete;
    Binding& operator=(const Binding&) = delete;

    // The control's value changed (by the user): sets it on the observed object, then shows
    // the value the object kept (its setter may have adjusted it).
    void controlDidChange(const std::any& value);
    // Stops both directions.
    void unbind();

    std::shared_ptr<Observable> observedObject() const { return m_observed.lock(); }
    const std::string& observedKeyPath() const { return m_keyPath; }

    Binding(ControlSetter controlSetter, const std::shared_ptr<Observable>& observable, std::string keyPath,
            BindingOptions options);

private:
    void push();

    ControlSetter m_controlSetter;
    std::weak_ptr<Observable> m_observed;
    std::string m_keyPath;
    BindingOptions m_options;
    Observable::Token m_token;
    bool m_busy = false; // a value is being passed on; echoes from the other side are ignored
};

} // namespace foundation
