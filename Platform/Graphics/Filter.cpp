#include "Platform/Graphics/Filter.h"

#include <cmath>
#include <mutex>

#include "Platform/Foundation/Error.h"
#include "Platform/Graphics/FilterBuiltins.h"

namespace graphics {

const std::string kCIInputImageKey = "inputImage";
const std::string kCIInputBackgroundImageKey = "inputBackgroundImage";
const std::string kCIAttributeFilterCategories = "CIAttributeFilterCategories";

namespace {

const std::string kFilterNameKey = "CIFilterName";

struct Registration {
    std::shared_ptr<FilterConstructor> constructor;
    foundation::Value classAttributes;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Registration> registered;
    std::map<const FilterAttributes*, std::shared_ptr<foundation::KeyTable>> keyTables;
};

Registry& registry()
{
    static Registry* r = new Registry; // used by filters destroyed during exit
    return *r;
}

bool isFiniteNumber(double v) { return std::isfinite(v); }

// The value in the input's own kind, or nullopt when it cannot be one.
std::optional<std::any> normalized(const FilterInputAttributes& input, const std::any& value)
{
    if (!value.has_value())
        return std::any();
    switch (input.type) {
    case FilterInputType::number:
        try {
            return std::any(foundation::anyTo<double>(value));
        } catch (const std::bad_any_cast&) {
            return std::nullopt;
        }
    case FilterInputType::vector:
        if (std::any_cast<FilterVector>(&value))
            return value;
        return std::nullopt;
    case FilterInputType::color:
        if (std::any_cast<Color>(&value))
            return value;
        return std::nullopt;
    case FilterInputType::image:
        if (auto image = std::any_cast<FilterImagePtr>(&value))
            return *image ? value : std::any();
        if (auto image = std::any_cast<std::shared_ptr<FilterImage>>(&value))
            return *image ? std::any(FilterImagePtr(*image)) : std::any();
        return std::nullopt;
    }
    return std::nullopt;
}

foundation::Value encodeColor(const Color& color)
{
    const Color::RGBA c = color.rgba();
    return foundation::Value::array({c.red, c.green, c.blue, c.alpha});
}

std::optional<std::vector<double>> numbers(const foundation::Value& value, size_t minCount, size_t maxCount)
{
    const auto* array = value.arrayValue();
    if (!array || array->size() < minCount || array->size() > maxCount)
        return std::nullopt;
    std::vector<double> out;
    for (const auto& item : *array) {
        if (!item.isInteger() && !item.isReal())
            return std::nullopt;
        const double v = item.asDouble();
        if (!isFiniteNumber(v))
            return std::nullopt;
        out.push_back(v);
    }
    return out;
}

} // namespace

std::string FilterInputAttributes::className() const
{
    switch (type) {
    case FilterInputType::number: return "NSNumber";
    case FilterInputType::vector: return "CIVector";
    case FilterInputType::color: return "CIColor";
    case FilterInputType::image: return "CIImage";
    }
    return {};
}

FilterInputAttributes FilterInputAttributes::image(const std::string& key, const std::string& displayName)
{
    FilterInputAttributes input;
    input.key = key;
    input.type = FilterInputType::image;
    input.displayName = displayName;
    return input;
}

const FilterInputAttributes* FilterAttributes::input(const std::string& key) const
{
    for (const auto& i : inputs)
        if (i.key == key)
            return &i;
    return nullptr;
}

bool filterValuesEqual(const std::any& a, const std::any& b)
{
    if (!a.has_value() || !b.has_value())
        return a.has_value() == b.has_value();
    if (auto x = std::any_cast<double>(&a)) {
        auto y = std::any_cast<double>(&b);
        return y && *x == *y;
    }
    if (auto x = std::any_cast<FilterVector>(&a)) {
        auto y = std::any_cast<FilterVector>(&b);
        return y && *x == *y;
    }
    if (auto x = std::any_cast<Color>(&a)) {
        auto y = std::any_cast<Color>(&b);
        return y && *x == *y;
    }
    if (auto x = std::any_cast<FilterImagePtr>(&a)) {
        auto y = std::any_cast<FilterImagePtr>(&b);
        return y && *x == *y;
    }
    return false;
}

// ---- registry -------------------------------------------------------------------------------

void Filter::registerFilterName(const std::string& name, std::shared_ptr<FilterConstructor> constructor,
                                foundation::Value classAttributes)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.registered[name] = Registration{std::move(constructor), std::move(classAttributes)};
}

foundation::Value Filter::classAttributesForName(const std::string& name)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.registered.find(name);
    return it == r.registered.end() ? foundation::Value() : it->second.classAttributes;
}

bool Filter::isKnownFilterName(const std::string& name)
{
    if (detail::builtinFilterAttributes(name))
        return true;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.registered.count(name) != 0;
}

FilterPtr Filter::filterWithName(const std::string& name)
{
    registerCodingClass();
    std::shared_ptr<FilterConstructor> constructor;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.registered.find(name);
        if (it != r.registered.end())
            constructor = it->second.constructor;
    }
    if (constructor)
        return constructor->filterWithName(name);
    return detail::makeBuiltinFilter(name);
}

// ---- instance -------------------------------------------------------------------------------

Filter::Filter(const FilterAttributes& attributes) : m_attributes(&attributes)
{
    for (const auto& input : attributes.inputs)
        if (input.defaultValue.has_value())
            m_values[input.key] = input.defaultValue;
}

std::vector<std::string> Filter::inputKeys() const
{
    std::vector<std::string> keys;
    for (const auto& input : attributes().inputs)
        keys.push_back(input.key);
    return keys;
}

void Filter::setDefaults()
{
    for (const auto& input : attributes().inputs)
        if (input.type != FilterInputType::image)
            setValue(input.defaultValue, input.key);
}

std::any Filter::value(const std::string& key) const
{
    return input(key);
}

std::any Filter::input(const std::string& key) const
{
    auto it = m_values.find(key);
    return it == m_values.end() ? std::any() : it->second;
}

void Filter::setInput(const std::string& key, std::any value)
{
    willChange(key);
    if (value.has_value())
        m_values[key] = std::move(value);
    else
        m_values.erase(key);
    didChange(key);
}

FilterImagePtr Filter::inputImage() const
{
    return image(kCIInputImageKey);
}

double Filter::number(const std::string& key) const
{
    auto v = input(key);
    auto d = std::any_cast<double>(&v);
    return d ? *d : 0.0;
}

FilterVector Filter::vector(const std::string& key) const
{
    auto v = input(key);
    auto d = std::any_cast<FilterVector>(&v);
    return d ? *d : FilterVector();
}

Color Filter::color(const std::string& key) const
{
    auto v = input(key);
    auto d = std::any_cast<Color>(&v);
    return d ? *d : Color::black();
}

FilterImagePtr Filter::image(const std::string& key) const
{
    auto v = input(key);
    auto d = std::any_cast<FilterImagePtr>(&v);
    return d ? *d : nullptr;
}

void Filter::copyInputsFrom(const Filter& other)
{
    for (const auto& input : attributes().inputs)
        setInput(input.key, other.input(input.key));
}

FilterPtr Filter::copy() const
{
    FilterPtr made = filterWithName(name());
    if (made)
        made->copyInputsFrom(*this);
    return made;
}

const foundation::KeyTable& Filter::observableKeys() const
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto& table = r.keyTables[m_attributes];
    if (!table) {
        table = std::make_shared<foundation::KeyTable>();
        for (const auto& input : m_attributes->inputs) {
            const FilterInputAttributes* attributes = &input;
            table->key(
                input.key, [key = input.key](const foundation::Observable& o) {
                    return static_cast<const Filter&>(o).input(key);
                },
                [attributes](foundation::Observable& o, const std::any& value) {
                    auto converted = normalized(*attributes, value);
                    if (!converted)
                        throw foundation::Exception(foundation::NSInvalidArgumentException,
                                                    "value of the wrong kind for " + attributes->key);
                    static_cast<Filter&>(o).setInput(attributes->key, std::move(*converted));
                });
        }
    }
    return *table;
}

// ---- coding ---------------------------------------------------------------------------------

void Filter::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    coder.encodeString(name(), kFilterNameKey);
    for (const auto& input : attributes().inputs) {
        const std::any v = this->input(input.key);
        if (!v.has_value())
            continue;
        switch (input.type) {
        case FilterInputType::number: coder.encodeValue(foundation::Value(number(input.key)), input.key); break;
        case FilterInputType::vector: {
            foundation::Value::Array values;
            const FilterVector v = vector(input.key);
            for (double d : v.values())
                values.emplace_back(d);
            coder.encodeValue(foundation::Value(std::move(values)), input.key);
            break;
        }
        case FilterInputType::color: coder.encodeValue(encodeColor(color(input.key)), input.key); break;
        case FilterInputType::image: break; // frames are never archived
        }
    }
}

bool Filter::decodeInputs(Filter& filter, foundation::KeyedUnarchiver& coder)
{
    auto fail = [&](const std::string& key) {
        coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError,
                                                    "The filter \"" + filter.name() + "\" has a damaged value for "
                                                        + key + "."));
        return false;
    };
    for (const auto& input : filter.attributes().inputs) {
        if (input.type == FilterInputType::image || !coder.containsValueForKey(input.key))
            continue;
        const foundation::Value value = coder.decodeValue(input.key);
        if (coder.error())
            return false;
        std::any decoded;
        switch (input.type) {
        case FilterInputType::number:
            if (!(value.isInteger() || value.isReal()) || !isFiniteNumber(value.asDouble()))
                return fail(input.key);
            decoded = value.asDouble();
            break;
        case FilterInputType::vector: {
            auto v = numbers(value, 1, 16);
            if (!v)
                return fail(input.key);
            decoded = FilterVector(std::move(*v));
            break;
        }
        case FilterInputType::color: {
            auto v = numbers(value, 4, 4);
            if (!v)
                return fail(input.key);
            decoded = Color::sRGB((*v)[0], (*v)[1], (*v)[2], (*v)[3]);
            break;
        }
        case FilterInputType::image: break;
        }
        filter.setInput(input.key, std::move(decoded));
    }
    return true;
}

void Filter::registerCodingClass()
{
    static std::once_flag once;
    std::call_once(once, [] {
        foundation::KeyedArchiver::registerClass(foundation::CodingClass{
            "CIFilter", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                auto name = coder.decodeString(kFilterNameKey);
                if (!name || !detail::builtinFilterAttributes(*name)) {
                    coder.failWithError(foundation::Error::make(
                        foundation::NSCocoaErrorDomain, foundation::NSCoderReadCorruptError,
                        name ? "The archive names an unknown filter \"" + *name + "\"." : "The archive names no filter."));
                    return nullptr;
                }
                FilterPtr filter = detail::makeBuiltinFilter(*name);
                if (!filter || !decodeInputs(*filter, coder))
                    return nullptr;
                return filter;
            }});
    });
}

} // namespace graphics
