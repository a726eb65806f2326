#pragma once
// The base of the web service's model objects: the JSON dictionary the service sent, in its
// own key names, merged over everything received so far. Subclasses read their properties
// from it, through a per-class table of the wire keys whose names differ from the properties'.
// Main thread.

#include <map>
#include <memory>
#include <string>

#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/Value.h"

extern const std::string MVRAPIObjectDidChangeNotification; // object: the changed object

class MVRAPIObject : public foundation::Coding, public std::enable_shared_from_this<MVRAPIObject> {
public:
    using KeyMapping = std::map<std::string, std::string>; // wire key -> property name

    virtual ~MVRAPIObject() = default;

    // The class's wire keys that name a property differently; none in the base class.
    static const KeyMapping& customKeyMapping();

    const foundation::Value& JSON() const { return m_JSON; }
    // Stores a different dictionary and posts MVRAPIObjectDidChangeNotification; an equal one
    // changes nothing.
    void setJSON(const foundation::Value& JSON);
    // Merges the entries of `dictionary` (a JSON object) over the current JSON.
    void setValuesForKeysWithJSONDictionary(const foundation::Value& dictionary);

    // The JSON with its keys named as the class's properties (the record keeps the wire names).
    std::string description() const;

    // Archives hold the JSON under "JSON" and nothing else.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    MVRAPIObject() = default;
    // The mapping of the object's own class: each subclass with a table answers its own.
    virtual const KeyMapping& classKeyMapping() const { return customKeyMapping(); }

private:
    foundation::Value m_JSON = foundation::Value::dictionary();
};
