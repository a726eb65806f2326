#pragma once
// Arguments of log messages and their formatting: the printf-style conversions of the log
// format syntax, with its "{public}"-style annotations accepted and ignored. Each argument
// knows its type, so a conversion that doesn't fit its argument prints the argument as it is
// instead of reading garbage.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

class LogArgument {
public:
    template <typename T>
        requires(std::is_integral_v<T> && std::is_signed_v<T> && !std::is_same_v<T, char>)
    LogArgument(T v) : m_value(static_cast<std::int64_t>(v)) {}
    template <typename T>
        requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
    LogArgument(T v) : m_value(static_cast<std::uint64_t>(v)) {}
    LogArgument(bool v) : m_value(static_cast<std::int64_t>(v)) {}
    LogArgument(char v) : m_value(static_cast<std::int64_t>(v)) {}
    LogArgument(double v) : m_value(v) {}
    LogArgument(float v) : m_value(static_cast<double>(v)) {}
    LogArgument(const char* s) : m_value(s ? std::string_view(s) : std::string_view("(null)")) {}
    LogArgument(std::string_view s) : m_value(s) {}
    LogArgument(const std::string& s) : m_value(std::string_view(s)) {}
    LogArgument(const void* p) : m_value(p) {}
    template <typename T>
        requires(!std::is_same_v<std::remove_cv_t<T>, char>)
    LogArgument(T* p) : m_value(static_cast<const void*>(p)) {}

    // Text views stay valid only during the logging call that formats them.
    using Value = std::variant<std::int64_t, std::uint64_t, double, std::string_view, const void*>;
    const Value& value() const { return m_value; }

private:
    Value m_value;
};

// The message for `format` with `arguments` substituted in order; a conversion without an
// argument left prints "<missing>".
std::string formatLogMessage(std::string_view format, std::span<const LogArgument> arguments);
