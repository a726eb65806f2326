// Colours and colour spaces to and from property-list dictionaries.

#include "MovaraKit/Support/CGColorArchiving.h"

#include <cmath>

namespace {

const char* const kColorSpaceKey = "colorSpace";
const char* const kComponentsKey = "components";
const char* const kNameKey = "name";
const char* const kICCDataKey = "iccData";
const char* const kColorTableKey = "colorTable";
const char* const kBaseColorSpaceKey = "baseColorSpace";

// The table's bytes, or none when the array holds anything but integers 0...255.
std::optional<std::vector<uint8_t>> colorTableBytes(const foundation::Value& value)
{
    const foundation::Value::Array* array = value.arrayValue();
    if (!array)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    bytes.reserve(array->size());
    for (const auto& entry : *array) {
        if (!entry.isInteger() && !entry.isReal())
            return std::nullopt;
        const double d = entry.asDouble(-1);
        if (!(d >= 0 && d <= 255) || d != std::floor(d))
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(d));
    }
    return bytes;
}

graphics::ColorSpacePtr readColorSpace(const foundation::Value& dictionary, int depth)
{
    if (!dictionary.isDictionary())
        return nullptr;
    if (const foundation::Value* name = dictionary.find(kNameKey); name && name->isString())
        return graphics::ColorSpace::createWithName(name->asString());
    if (const foundation::Value* icc = dictionary.find(kICCDataKey); icc && icc->isData())
        return graphics::ColorSpace::createWithICCData(icc->asData());
    const foundation::Value* table = dictionary.find(kColorTableKey);
    const foundation::Value* base = dictionary.find(kBaseColorSpaceKey);
    // An indexed space's base is never indexed itself, so one level of nesting is all a
    // sound document holds; deeper nesting is refused before it can exhaust the stack.
    if (!table || !base || !base->isDictionary() || depth > 0)
        return nullptr;
    std::optional<std::vector<uint8_t>> bytes = colorTableBytes(*table);
    if (!bytes)
        return nullptr;
    graphics::ColorSpacePtr baseSpace = readColorSpace(*base, depth + 1);
    if (!baseSpace)
        return nullptr;
    const int components = baseSpace->numberOfComponents();
    if (components <= 0)
        return nullptr;
    const long lastIndex = static_cast<long>(bytes->size() / static_cast<size_t>(components)) - 1;
    if (lastIndex < 0)
        return nullptr;
    return graphics::ColorSpace::createIndexed(baseSpace, static_cast<int>(lastIndex), *bytes);
}

} // namespace

std::optional<foundation::Value> CGColorArchiving::dictionary(const graphics::ColorSpacePtr& colorSpace)
{
    if (!colorSpace || colorSpace->model() == graphics::ColorSpaceModel::pattern)
        return std::nullopt;
    if (const auto& name = colorSpace->name())
        return foundation::Value::dictionary({{kNameKey, *name}});
    if (!colorSpace->iccData().empty())
        return foundation::Value::dictionary({{kICCDataKey, foundation::Data(colorSpace->iccData())}});
    if (colorSpace->model() == graphics::ColorSpaceModel::indexed && !colorSpace->colorTable().empty()) {
        std::optional<foundation::Value> base = dictionary(colorSpace->baseColorSpace());
        if (!base)
            return std::nullopt;
        foundation::Value::Array table;
        table.reserve(colorSpace->colorTable().size());
        for (uint8_t byte : colorSpace->colorTable())
            table.emplace_back(int(byte));
        return foundation::Value::dictionary({{kColorTableKey, std::move(table)}, {kBaseColorSpaceKey, std::move(*base)}});
    }
    return std::nullopt;
}

std::optional<foundation::Value> CGColorArchiving::dictionary(const graphics::Color& color)
{
    std::optional<foundation::Value> space = dictionary(color.colorSpace());
    if (!space || color.components().empty())
        return std::nullopt;
    foundation::Value::Array components;
    for (double component : color.components())
        components.emplace_back(component);
    return foundation::Value::dictionary({{kColorSpaceKey, std::move(*space)}, {kComponentsKey, std::move(components)}});
}

graphics::ColorSpacePtr CGColorArchiving::colorSpace(const foundation::Value& dictionary)
{
    return readColorSpace(dictionary, 0);
}

std::optional<graphics::Color> CGColorArchiving::color(const foundation::Value& dictionary)
{
    if (!dictionary.isDictionary())
        return std::nullopt;
    const foundation::Value* spaceDictionary = dictionary.find(kColorSpaceKey);
    const foundation::Value* components = dictionary.find(kComponentsKey);
    if (!spaceDictionary || !components || !components->isArray())
        return std::nullopt;
    graphics::ColorSpacePtr space = colorSpace(*spaceDictionary);
    if (!space)
        return std::nullopt;
    std::vector<double> values;
    for (const auto& component : components->asArray()) {
        if (!component.isInteger() && !component.isReal())
            return std::nullopt;
        values.push_back(component.asDouble());
    }
    // The space's components and alpha, no more and no fewer: Color::create refuses any other
    // count, so a damaged document never makes a colour read past its components.
    if (values.size() != static_cast<size_t>(space->numberOfComponents()) + 1)
        return std::nullopt;
    return graphics::Color::create(space, values);
}
