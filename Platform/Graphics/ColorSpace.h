#pragma once
// Colour spaces: the device and named spaces, spaces made from ICC profiles (lcms2) and
// indexed spaces over a base space. Immutable and shared; any thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace graphics {

class ColorSpace;
using ColorSpacePtr = std::shared_ptr<const ColorSpace>;

enum class ColorSpaceModel { unknown = -1, monochrome = 0, rgb = 1, cmyk = 2, lab = 3, deviceN = 4, indexed = 5, pattern = 6 };

// The names the platform gives its standard spaces.
extern const std::string kCGColorSpaceSRGB;              // "kCGColorSpaceSRGB"
extern const std::string kCGColorSpaceGenericRGB;        // "kCGColorSpaceGenericRGB"
extern const std::string kCGColorSpaceGenericGray;       // "kCGColorSpaceGenericGray"
extern const std::string kCGColorSpaceGenericGrayGamma2_2; // "kCGColorSpaceGenericGrayGamma2_2"
extern const std::string kCGColorSpaceGenericCMYK;       // "kCGColorSpaceGenericCMYK"
extern const std::string kCGColorSpaceLinearSRGB;        // "kCGColorSpaceLinearSRGB"
extern const std::string kCGColorSpaceDisplayP3;         // "kCGColorSpaceDisplayP3"
extern const std::string kCGColorSpaceDeviceRGB;        // "kCGColorSpaceDeviceRGB"
extern const std::string kCGColorSpaceDeviceGray;       // "kCGColorSpaceDeviceGray"
extern const std::string kCGColorSpaceDeviceCMYK;       // "kCGColorSpaceDeviceCMYK"

class ColorSpace {
public:
    // Shared, process-wide instances.
    static ColorSpacePtr createDeviceRGB();
    static ColorSpacePtr createDeviceGray();
    static ColorSpacePtr createDeviceCMYK();
    // A standard space by its platform name; nullptr for a name we don't know.
    static ColorSpacePtr createWithName(const std::string& name);
    // A space from an ICC profile; nullptr when lcms2 rejects the profile or its colour
    // model is not one we can draw (grey, RGB, CMYK, Lab).
    static ColorSpacePtr createWithICCData(const std::vector<uint8_t>& icc);
    // An indexed space: `table` holds (lastIndex + 1) entries of the base's component count
    // bytes each. nullptr when the base is missing, indexed itself or the table too short.
    static ColorSpacePtr createIndexed(const ColorSpacePtr& base, int lastIndex, const std::vector<uint8_t>& table);

    ColorSpaceModel model() const { return m_model; }
    // Colour components without alpha (an indexed space has one: the index).
    int numberOfComponents() const;
    // The platform name of a standard space; none for spaces made from profiles or tables.
    const std::optional<std::string>& name() const { return m_name; }
    // The ICC profile bytes; empty when the space has none (device and indexed spaces).
    const std::vector<uint8_t>& iccData() const { return m_icc; }
    // A short human-readable description (the profile's description when there is one).
    std::string description() const;

    ColorSpacePtr baseColorSpace() const { return m_base; }
    const std::vector<uint8_t>& colorTable() const { return m_table; }
    int colorTableCount() const;

    // True when pixels in this space are drawn without conversion into an RGB context
    // (every RGB space: we do not colour-match between RGB spaces, so pixels stay exact).
    bool isRGBLike() const { return m_model == ColorSpaceModel::rgb; }
    // Two spaces describe the same thing (same name, or same profile bytes, or both device).
    bool isEqual(const ColorSpace& other) const;

    // Converts `count` packed pixels of this space (8 bits per component in the space's
    // order) to 8-bit sRGB written as R,G,B at out[3*i]. RGB copies; grey, CMYK and Lab go
    // through their profile when they have one, else grey is replicated and CMYK uses the
    // naive complement formula; indexed spaces look up their table.
    void convertToSRGB8(const uint8_t* in, size_t count, uint8_t* out) const;

    struct Private;
    ColorSpace(ColorSpaceModel model, std::optional<std::string> name, std::vector<uint8_t> icc);

private:
    ColorSpaceModel m_model = ColorSpaceModel::unknown;
    std::optional<std::string> m_name;
    std::vector<uint8_t> m_icc;
    ColorSpacePtr m_base;
    std::vector<uint8_t> m_table;
    std::string m_description;
    mutable std::once_flag m_transformOnce;
    mutable std::shared_ptr<void> m_toSRGB; // lcms2 transform, made on first use
    friend struct Private;
};

} // namespace graphics
