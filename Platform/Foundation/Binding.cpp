#include "Platform/Foundation/Binding.h"

#include "Platform/Foundation/Error.h"

namespace foundation {

namespace {
struct BusyScope {
    bool& flag;
    bool previous;
    explicit BusyScope(bool& f) : flag(f), previous(f) { flag = true; }
    ~BusyScope() { flag = previous; }
};
} // namespace

Binding::Binding(ControlSetter controlSetter, const std::shared_ptr<Observable>& observable, std::string keyPath,
                 BindingOptions options)
    : m_controlSetter(std::move(controlSetter))
    , m_observed(observable)
    , m_keyPath(std::move(keyPath))
    , m_options(std::move(options))
{
}

std::shared_ptr<Binding> Binding::bind(ControlSetter controlSetter, const std::shared_ptr<Observable>& observable,
                                       const std::string& keyPath, BindingOptions options)
{
    if (!observable || !controlSetter)
        return nullptr;
    auto binding = std::make_shared<Binding>(std::move(controlSetter), observable, keyPath, std::move(options));
    std::weak_ptr<Binding> weak = binding;
    binding->m_token = observable->addObserver(keyPath, 0, [weak](const KeyValueChange&) {
        if (auto self = weak.lock(); self && !self->m_busy)
            self->push();
    });
    binding->push();
    return binding;
}

Binding::~Binding() { unbind(); }

void Binding::unbind()
{
    m_token.remove();
    m_observed.reset();
}

void Binding::push()
{
    auto observed = m_observed.lock();
    if (!observed || !m_controlSetter)
        return;
    std::any value;
    try {
        value = observed->valueForKeyPath(m_keyPath);
    } catch (const Exception&) {
        value.reset();
    }
    if (m_options.valueTransformer)
        value = m_options.valueTransformer(value);
    if (!value.has_value() && m_options.nullPlaceholder.has_value())
        value = m_options.nullPlaceholder;
    BusyScope busy(m_busy);
    m_controlSetter(value);
}

void Binding::controlDidChange(const std::any& value)
{
    if (m_busy)
        return;
    auto observed = m_observed.lock();
    if (!observed)
        return;
    {
        BusyScope busy(m_busy);
        try {
            observed->setValueForKeyPath(m_keyPath,
                                         m_options.reverseValueTransformer ? m_options.reverseValueTransformer(value) : value);
        } catch (const std::bad_any_cast&) {
            // A value of a kind the property cannot hold (text typed where a number belongs)
            // is refused; the control shows the value the object kept.
        }
    }
    push();
}

} // namespace foundation
