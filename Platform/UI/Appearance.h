#pragma once
// The light and dark looks of windows and views, named as the platform names them.
// Immutable and shared; any thread.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ui {

extern const std::string NSAppearanceNameAqua;        // "NSAppearanceNameAqua"
extern const std::string NSAppearanceNameDarkAqua;    // "NSAppearanceNameDarkAqua"
extern const std::string NSAppearanceNameVibrantLight; // "NSAppearanceNameVibrantLight"
extern const std::string NSAppearanceNameVibrantDark;  // "NSAppearanceNameVibrantDark"

class Appearance;
using AppearancePtr = std::shared_ptr<const Appearance>;

class Appearance {
public:
    // None for a name we don't know.
    static AppearancePtr appearanceNamed(const std::string& name);
    static AppearancePtr aqua();
    static AppearancePtr darkAqua();

    const std::string& name() const { return m_name; }
    bool isDark() const { return m_dark; }
    // The listed name closest to this appearance: the same name, else one of the same
    // lightness; none when nothing fits.
    std::optional<std::string> bestMatchFromAppearancesWithNames(const std::vector<std::string>& names) const;

    Appearance(std::string name, bool dark) : m_name(std::move(name)), m_dark(dark) { }

private:
    std::string m_name;
    bool m_dark = false;
};

} // namespace ui
