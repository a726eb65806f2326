#pragma once
// Shows a duration in seconds as minutes, seconds and milliseconds ("01:15.500") and reads
// such text back into seconds. It writes and reads the decimal separator of its locale (the
// user's, unless set), so what it shows it also reads back. Main thread, as a control's formatter.

#include <any>
#include <memory>
#include <optional>
#include <string>

#include "Platform/UI/Formatter.h"

class DurationFormatter : public ui::Formatter {
public:
    static std::shared_ptr<DurationFormatter> init();

    // The text for a number of seconds; none for objects that are not numbers or not finite.
    // Minutes are not split into hours; a negative duration shows its magnitude after a "-".
    std::optional<std::string> stringForObjectValue(const std::any& object) const override;

    // Reads "[[h:]m:]s.mmm": each ":"-separated part, counted from the last, adds its
    // magnitude times a power of 60; unreadable parts count as 0. Stores the seconds as a
    // double. False (with a description) only without a place for the object or when the
    // sum is not a finite number.
    bool getObjectValue(std::any* object, const std::string& string, std::string* errorDescription) const override;

    const std::string& decimalSeparator() const { return m_decimalSeparator; }
    void setDecimalSeparator(std::string separator);

    // The decimal separator of the user's numeric locale (LC_ALL, LC_NUMERIC, LANG); "." when
    // that locale is unknown here.
    static std::string currentLocaleDecimalSeparator();

private:
    DurationFormatter() = default;

    std::string m_decimalSeparator = currentLocaleDecimalSeparator();
};

// A frame rate with up to three fraction digits and no trailing zeros, `decimalSeparator`
// between its parts: 29.97 reads "29.97", 30 reads "30". None for a rate that is not finite.
std::optional<std::string> frameRateString(double fps, const std::string& decimalSeparator);

// The frame-rate field's formatter: shows a rate as frameRateString does, so a rate the
// speed slider sets between whole numbers reads "54.857", not every digit of a double; reads
// back the number the text begins with (either separator), and 0 (a rate the model refuses,
// so the field shows the rate in force again) when it begins with none.
class FrameRateFormatter : public ui::Formatter {
public:
    static std::shared_ptr<FrameRateFormatter> init();

    std::optional<std::string> stringForObjectValue(const std::any& object) const override;
    bool getObjectValue(std::any* object, const std::string& string, std::string* errorDescription) const override;

private:
    FrameRateFormatter() = default;

    std::string m_decimalSeparator = DurationFormatter::currentLocaleDecimalSeparator();
};
