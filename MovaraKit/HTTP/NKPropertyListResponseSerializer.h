#pragma once
// Property-list answers ("application/x-plist", XML or binary) decoded into foundation::Value.

#include <memory>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"
#include "Platform/Foundation/PropertyList.h"

class NKPropertyListResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<NKPropertyListResponseSerializer> serializer()
    {
        return serializerWithFormat(foundation::PropertyListFormat::XML, 0);
    }
    static std::shared_ptr<NKPropertyListResponseSerializer> serializerWithFormat(foundation::PropertyListFormat format,
                                                                                  unsigned long readOptions);
    // The reader detects the format itself; this one is kept for callers that ask.
    foundation::PropertyListFormat format() const { return m_format; }
    unsigned long readOptions() const { return m_readOptions; }

    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override { return serializerWithFormat(m_format, m_readOptions); }
    std::string className() const override { return "NKPropertyListResponseSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    NKPropertyListResponseSerializer();
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    foundation::PropertyListFormat m_format = foundation::PropertyListFormat::XML;
    unsigned long m_readOptions = 0;
};
