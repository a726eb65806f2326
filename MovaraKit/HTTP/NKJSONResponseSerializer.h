#pragma once
// Decodes JSON bodies into foundation::Value. A response that failed only its status check is
// still decoded, so an error document sent with a 4xx or 5xx status reaches the caller beside
// the status error; an unacceptable media type stops decoding.

#include <memory>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

// True when the error, or one beneath it, is the response domain's -1016 (unacceptable
// media type or undecodable text).
bool NKErrorOrUnderlyingErrorHasCodeInDomain(const foundation::ErrorPtr& error);

// The value with every dictionary entry whose value is null removed, at any depth; null
// elements of arrays stay.
foundation::Value NKJSONObjectByRemovingKeysWithNullValues(const foundation::Value& object);

// The entry rule of the decoding serializers: validates, and answers false (decode nothing)
// when the caller can't receive an error or the media type was refused.
bool NKShouldDecodeResponse(const NKHTTPResponseSerializer& serializer, const std::optional<net::HTTPURLResponse>& response,
                            const std::optional<foundation::Data>& data, foundation::ErrorPtr* error);

class NKJSONResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<NKJSONResponseSerializer> serializer() { return serializerWithReadingOptions(0); }
    static std::shared_ptr<NKJSONResponseSerializer> serializerWithReadingOptions(unsigned long options);

    // Bit 0 asks for mutable containers; our values are always mutable, so it changes nothing.
    unsigned long readingOptions() const { return m_readingOptions; }
    void setReadingOptions(unsigned long options) { m_readingOptions = options; }
    bool removesKeysWithNullValues() const { return m_removesKeysWithNullValues; }
    void setRemovesKeysWithNullValues(bool removes) { m_removesKeysWithNullValues = removes; }

    // A foundation::Value, or no value at all.
    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;

    // Carries the reading options only; the acceptable sets are a new serializer's.
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override;

    std::string className() const override { return "NKJSONResponseSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    NKJSONResponseSerializer();
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    unsigned long m_readingOptions = 0;
    bool m_removesKeysWithNullValues = false;
};
