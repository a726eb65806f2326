#include "Platform/Foundation/PropertyList.h"

#include "Platform/Foundation/PropertyListFormats.h"

// Both formats are read and written here rather than through libplist: its reader recurses
// without bound (a deeply nested document overflows the stack), accepts malformed XML values,
// cannot hand out dates outside 1933-2069 or just before 2001 correctly, and crashes writing
// a binary document whose top object is not a container.

namespace foundation {

namespace {

ErrorPtr corrupt(const std::string& problem)
{
    return Error::make(NSCocoaErrorDomain, NSPropertyListReadCorruptError,
                       "The property list isn't in the correct format: " + problem + ".");
}

ErrorPtr invalid(const std::string& problem)
{
    return Error::make(NSCocoaErrorDomain, PropertyListWriteInvalidError,
                       "The value can't be written as a property list: " + problem + ".");
}

} // namespace

Value readPropertyList(std::string_view bytes, ErrorPtr* error, PropertyListFormat* format)
{
    if (error)
        *error = nullptr;
    Value out;
    if (bytes.substr(0, 6) == "bplist") {
        if (format)
            *format = PropertyListFormat::Binary;
        std::string problem;
        if (!plist::readBinary(bytes, out, problem)) {
            if (error)
                *error = corrupt(problem);
            return Value();
        }
        return out;
    }
    if (format)
        *format = PropertyListFormat::XML;
    std::string problem;
    if (!plist::readXML(bytes, out, problem)) {
        if (error)
            *error = corrupt(problem);
        return Value();
    }
    return out;
}

Value readPropertyList(const Data& bytes, ErrorPtr* error, PropertyListFormat* format)
{
    return readPropertyList(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error, format);
}

std::string toXMLPropertyList(const Value& value, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n";
    std::string problem;
    if (!plist::writeXML(value, out, problem)) {
        if (error)
            *error = invalid(problem);
        return {};
    }
    out += "</plist>\n";
    return out;
}

Data toBinaryPropertyList(const Value& value, ErrorPtr* error)
{
    if (error)
        *error = nullptr;
    Data out;
    std::string problem;
    if (!plist::writeBinary(value, out, problem)) {
        if (error)
            *error = invalid(problem);
        return {};
    }
    return out;
}

Data writePropertyList(const Value& value, PropertyListFormat format, ErrorPtr* error)
{
    if (format == PropertyListFormat::Binary)
        return toBinaryPropertyList(value, error);
    std::string xml = toXMLPropertyList(value, error);
    return Data(xml.begin(), xml.end());
}

} // namespace foundation
