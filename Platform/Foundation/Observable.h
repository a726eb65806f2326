#pragma once
// Key-value observation. A class with observable properties derives from Observable, declares
// its keys once in a KeyTable (getters, optional setters, dependent keys) returned by
// observableKeys(), and brackets every change with willChange(key)/didChange(key).
// Observers are told synchronously on the thread that makes the change; registering and
// removing observers is safe from any thread.

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace foundation {

class Observable;

enum class KeyValueChangeKind { Setting = 1, Insertion = 2, Removal = 3, Replacement = 4 };

// Bit options of an observation.
enum KeyValueObservingOptions : unsigned {
    KeyValueObservingOptionNew = 0x01,
    KeyValueObservingOptionOld = 0x02,
    KeyValueObservingOptionInitial = 0x04,
    KeyValueObservingOptionPrior = 0x08,
};

struct KeyValueChange {
    KeyValueChangeKind kind = KeyValueChangeKind::Setting;
    std::any newValue;  // set when New was asked for (never in the prior notification)
    std::any oldValue;  // set when Old was asked for
    bool isPrior = false;
    std::string keyPath;
    Observable* object = nullptr;  // the object the observation was added to
    void* context = nullptr;

    template <class T> const T* newAs() const { return std::any_cast<T>(&newValue); }
    template <class T> const T* oldAs() const { return std::any_cast<T>(&oldValue); }
};

using KeyValueObserver = std::function<void(const KeyValueChange&)>;

extern const std::string NSUndefinedKeyException; // "NSUndefinedKeyException"

// The observable keys of one class: how to read (and optionally write) each key, and which
// key paths affect a key. Build it once per class; a subclass starts from a copy of its base's.
class KeyTable {
public:
    using Getter = std::function<std::any(const Observable&)>;
    using Setter = std::function<void(Observable&, const std::any&)>;
    // Returns the value of an object-valued key as an Observable, for key paths that go through it.
    using ObjectGetter = std::function<std::shared_ptr<Observable>(const Observable&)>;

    KeyTable() = default;

    KeyTable& key(const std::string& name, Getter getter, Setter setter = {});

    // key("speed", &Model::speed) or key("speed", &Model::speed, &Model::setSpeed). A getter that
    // returns std::shared_ptr<U> with U an Observable makes the key usable inside key paths.
    template <class T, class R>
    KeyTable& key(const std::string& name, R (T::*getter)() const);
    template <class T, class R, class A>
    KeyTable& key(const std::string& name, R (T::*getter)() const, void (T::*setter)(A));

    // Observers of `key` are also told when any of `keyPaths` changes.
    KeyTable& affecting(const std::string& key, std::vector<std::string> keyPaths);

    struct Entry {
        Getter getter;
        Setter setter;
        ObjectGetter object;
    };
    const Entry* find(const std::string& name) const;
    const std::vector<std::string>& keyPathsAffecting(const std::string& key) const;

private:
    std::map<std::string, Entry> m_entries;
    std::map<std::string, std::vector<std::string>> m_affecting;
};

// Converts a stored value to T, also between arithmetic types (a control's double to an int
// property). Throws std::bad_any_cast when the value can't be converted.
template <class T> T anyTo(const std::any& value);

class Observable {
public:
    // An observation; removes itself when destroyed. Move-only.
    class Token {
    public:
        Token() = default;
        Token(Token&&) noexcept = default;
        Token& operator=(Token&&) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();

        void remove();
        bool isValid() const { return m_impl != nullptr; }

        struct Impl;
        explicit Token(std::shared_ptr<Impl> impl) : m_impl(std::move(impl)) { }

    private:
        std::shared_ptr<Impl> m_impl;
    };

    Observable();
    virtual ~Observable();
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    // Observes a key or a dotted key path ("a.b.c"); the path follows replaced intermediates.
    [[nodiscard]] Token addObserver(const std::string& keyPath, unsigned options, void* context,
                                    KeyValueObserver handler);
    [[nodiscard]] Token addObserver(const std::string& keyPath, unsigned options, KeyValueObserver handler)
    {
        return addObserver(keyPath, options, nullptr, std::move(handler));
    }

    // Key-value coding through the class's KeyTable. Unknown keys throw
    // Exception{"NSUndefinedKeyException", ...}; setting a read-only key does too.
    std::any valueForKey(const std::string& key) const;
    std::any valueForKeyPath(const std::string& keyPath) const;
    void setValueForKey(const std::string& key, const std::any& value);
    void setValueForKeyPath(const std::string& keyPath, const std::any& value);

    // Brackets a change of `key`. Pairs may nest (also for the same key).
    void willChange(const std::string& key);
    void didChange(const std::string& key);

    virtual const KeyTable& observableKeys() const;

    struct State;

private:
    friend struct ObservationAccess;
    std::shared_ptr<State> m_state;
};

// ---- templates ------------------------------------------------------------------------------

namespace detail {
template <class T> struct IsObservablePtr : std::false_type { };
template <class U>
struct IsObservablePtr<std::shared_ptr<U>> : std::is_base_of<Observable, U> { };

double anyToDouble(const std::any& value, bool& ok);
} // namespace detail

template <class T> T anyTo(const std::any& value)
{
    if (const T* direct = std::any_cast<T>(&value))
        return *direct;
    // Tags and other small enumerations travel through key-value coding as their integers,
    // which is what bindings to controls hand over and read back.
    if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(anyTo<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_arithmetic_v<T>) {
        bool ok = false;
        const double d = detail::anyToDouble(value, ok);
        if (ok)
            return static_cast<T>(d);
    }
    throw std::bad_any_cast();
}

template <class T, class R>
KeyTable& KeyTable::key(const std::string& name, R (T::*getter)() const)
{
    static_assert(std::is_base_of_v<Observable, T>);
    key(name, [getter](const Observable& o) -> std::any {
        using Value = std::decay_t<R>;
        if constexpr (std::is_enum_v<Value>)
            return std::any(static_cast<std::underlying_type_t<Value>>((static_cast<const T&>(o).*getter)()));
        else
            return std::any(Value((static_cast<const T&>(o).*getter)()));
    });
    if constexpr (detail::IsObservablePtr<std::decay_t<R>>::value) {
        m_entries[name].object = [getter](const Observable& o) -> std::shared_ptr<Observable> {
            return (static_cast<const T&>(o).*getter)();
        };
    }
    return *this;
}

template <class T, class R, class A>
KeyTable& KeyTable::key(const std::string& name, R (T::*getter)() const, void (T::*setter)(A))
{
    key(name, getter);
    m_entries[name].setter = [setter](Observable& o, const std::any& v) {
        (static_cast<T&>(o).*setter)(anyTo<std::decay_t<A>>(v));
    };
    return *this;
}

} // namespace foundation
