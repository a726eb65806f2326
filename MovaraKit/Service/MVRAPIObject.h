#pragma once
#include "Platform/Foundation/KeyedArchiver.h"
// The base of the web service's model objects: the JSON dictionary the service sent, in its
// own key names, merged over everything received so far. Subclasses read their properties
// from it. Main thread.

#include <memory>
#include <string>

#include "Platform/Foundation/Value.h"

extern const std::string MVRAPIObjectDidChangeNotification; // object: the changed object

class MVRAPIObject : public foundation::Coding, public std::enable_shared_from_this<MVRAPIObject> {
public:
    virtual ~MVRAPIObject() = default;

    const foundation::Value& JSON() const { return m_JSON; }
    // Stores a different dictionary and posts MVRAPIObjectDidChangeNotification; an equal one
    // changes nothing.
    void setJSON(const foundation::Value& JSON);
    // Merges the entries of `dictionary` (a JSON object) over the current JSON.
    void setValuesForKeysWithJSONDictionary(const foundation::Value& dictionary);

    std::string description() const;

    // Archives hold the JSON under "JSON" and nothing else.
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    MVRAPIObject() = default;

private:
    foundation::Value m_JSON = foundation::Value::dictionary();
};
