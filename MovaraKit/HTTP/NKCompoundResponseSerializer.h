#pragma once
// Tries its member serializers in order; the first that produces an object wins. When none
// does, it behaves as the base serializer (2xx, any media type) and returns the body bytes.

#include <memory>
#include <vector>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

class NKCompoundResponseSerializer : public NKHTTPResponseSerializer {
public:
    using Members = std::vector<std::shared_ptr<NKHTTPResponseSerializer>>;

    static std::shared_ptr<NKCompoundResponseSerializer> compoundSerializerWithResponseSerializers(Members serializers);
    const Members& responseSerializers() const { return m_responseSerializers; }

    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    // Shares the members.
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override
    {
        return compoundSerializerWithResponseSerializers(m_responseSerializers);
    }
    std::string className() const override { return "NKCompoundResponseSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    NKCompoundResponseSerializer() = default;
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    Members m_responseSerializers;
};
