#pragma once
// Image filters looked up by name: each has input keys with attributes (class, display name,
// default and identity values), observable inputs (key-value observation and coding), and an
// output image built lazily from its inputs. Built-in filters are described by tables (see
// FilterBuiltins.cpp); other libraries add their own through a FilterConstructor.
//
// Input values are std::any holding double (numbers), FilterVector, Color or FilterImagePtr;
// an empty any is "no value". A filter belongs to one thread at a time; the registry is safe
// from any thread.

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Observable.h"
#include "Platform/Graphics/FilterImage.h"

namespace graphics {

class Filter;
using FilterPtr = std::shared_ptr<Filter>;

extern const std::string kCIInputImageKey;           // "inputImage"
extern const std::string kCIInputBackgroundImageKey; // "inputBackgroundImage"
extern const std::string kCIAttributeFilterCategories; // "CIAttributeFilterCategories"

enum class FilterInputType { number, vector, color, image };

struct FilterInputAttributes {
    std::string key;
    FilterInputType type = FilterInputType::number;
    std::string displayName;
    std::any defaultValue;  // empty for images
    std::any identity;      // empty when the input has no identity value
    std::optional<double> sliderMin;
    std::optional<double> sliderMax;
    // "NSNumber", "CIVector", "CIColor" or "CIImage".
    std::string className() const;
    // An image input, which has no default or identity.
    static FilterInputAttributes image(const std::string& key, const std::string& displayName);
};

struct FilterAttributes {
    std::string filterName;
    std::string displayName;
    std::vector<std::string> categories;
    std::vector<FilterInputAttributes> inputs;
    const FilterInputAttributes* input(const std::string& key) const;
};

// Makes filters of the names it was registered for.
class FilterConstructor {
public:
    virtual ~FilterConstructor() = default;
    virtual FilterPtr filterWithName(const std::string& name) = 0;
};

bool filterValuesEqual(const std::any& a, const std::any& b);

class Filter : public foundation::Observable, public foundation::Coding, public std::enable_shared_from_this<Filter> {
public:
    // A new filter with default inputs; none for an unknown name. Registered names are asked
    // of their constructor, built-in names are made from their tables.
    static FilterPtr filterWithName(const std::string& name);
    // Makes `name` known; `classAttributes` are kept as given (categories and such).
    static void registerFilterName(const std::string& name, std::shared_ptr<FilterConstructor> constructor,
                                   foundation::Value classAttributes);
    static foundation::Value classAttributesForName(const std::string& name);
    static bool isKnownFilterName(const std::string& name);

    const std::string& name() const { return m_attributes->filterName; }
    virtual const FilterAttributes& attributes() const { return *m_attributes; }
    std::vector<std::string> inputKeys() const;

    // Every input back to its default.
    virtual void setDefaults();
    // The input's value (empty when unset); unknown keys give empty.
    std::any value(const std::string& key) const;
    // Sets an input through key-value coding, so observers see the change. Numbers of any
    // arithmetic type are stored as double. Unknown keys throw NSUndefinedKeyException.
    void setValue(const std::any& value, const std::string& key) { setValueForKey(key, value); }
    FilterImagePtr inputImage() const;

    virtual FilterImagePtr outputImage() const = 0;
    // A filter of the same name and class with the same input values.
    virtual FilterPtr copy() const;

    const foundation::KeyTable& observableKeys() const override;
    std::string className() const override { return "CIFilter"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

    // Registers the archive class "CIFilter": its decoder refuses unknown names and inputs of
    // the wrong kind, so a damaged archive is an error. Called once by filterWithName; safe to
    // call again.
    static void registerCodingClass();
    // For decoders of filter subclasses: reads every input the archive holds into `filter`.
    // False (with the unarchiver failed) on a value of the wrong kind.
    static bool decodeInputs(Filter& filter, foundation::KeyedUnarchiver& coder);

protected:
    explicit Filter(const FilterAttributes& attributes);
    // Reads and writes inputs without key-value coding's lookup; writing notifies observers.
    std::any input(const std::string& key) const;
    virtual void setInput(const std::string& key, std::any value);
    double number(const std::string& key) const;
    FilterVector vector(const std::string& key) const;
    Color color(const std::string& key) const;
    FilterImagePtr image(const std::string& key) const;
    // Subclasses made by a constructor override copy() through this.
    void copyInputsFrom(const Filter& other);

private:
    const FilterAttributes* m_attributes;
    std::map<std::string, std::any> m_values;
};

} // namespace graphics
