#pragma once
// Query-string encoding: a parameters value (a dictionary that may nest dictionaries, arrays
// and sets) flattened depth first into field/value pairs, and one pair as its percent-escaped
// text "field=value". Pure functions, callable from any thread.

#include <string>
#include <vector>

#include "Platform/Foundation/Value.h"

class NKQueryStringPair {
public:
    NKQueryStringPair(std::string field, foundation::Value value) : m_field(std::move(field)), m_value(std::move(value)) { }
    static NKQueryStringPair initWithField(std::string field, foundation::Value value) { return { std::move(field), std::move(value) }; }

    const std::string& field() const { return m_field; }
    const foundation::Value& value() const { return m_value; }

    // "field=value" escaped; a null value gives the escaped field alone.
    std::string URLEncodedStringValue() const;

    bool operator==(const NKQueryStringPair&) const = default;

private:
    std::string m_field;
    foundation::Value m_value;
};

// Escapes everything but ASCII letters, digits and "-._~/?" as %XX of the UTF-8 bytes.
std::string NKPercentEscapedStringFromString(const std::string& string);

// The text form a value has in a query or a form part: a string is itself, a number its
// decimal text, a Boolean "1" or "0", null nothing.
std::string NKQueryStringTextForm(const foundation::Value& value);

// Dictionary keys are taken in ascending (byte-wise) order and nest as key[K]; array elements
// share key[] in array order; set members share the key itself, without brackets, in the
// ascending (byte-wise) order of their texts (a container member's text lists its keys or
// members in order); empty containers give no pairs.
std::vector<NKQueryStringPair> NKQueryStringPairsFromDictionary(const foundation::Value& dictionary);
std::vector<NKQueryStringPair> NKQueryStringPairsFromKeyAndValue(const std::string* key, const foundation::Value& value);

// The pairs' texts joined with "&".
std::string NKQueryStringFromParameters(const foundation::Value& parameters);
