#pragma once
// XML answers, through libxml2: the parser serializer hands back an event-driven parser over
// the body, not yet run; the document serializer builds the whole tree. Neither reaches the
// network for external entities or expands them.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

class NKXMLParser {
public:
    using Attributes = std::map<std::string, std::string>;

    explicit NKXMLParser(foundation::Data data) : m_data(std::move(data)) { }

    std::function<void(const std::string& elementName, const Attributes& attributes)> didStartElement;
    std::function<void(const std::string& elementName)> didEndElement;
    std::function<void(const std::string& characters)> foundCharacters;

    const foundation::Data& data() const { return m_data; }
    // Runs the parse, calling the hooks; false with parserError() for a malformed document.
    bool parse();
    foundation::ErrorPtr parserError() const { return m_error; }

private:
    foundation::Data m_data;
    foundation::ErrorPtr m_error;
};

class NKXMLDocument {
public:
    // None with `error` for a malformed document.
    static std::shared_ptr<NKXMLDocument> documentWithData(const foundation::Data& data, unsigned long options,
                                                           foundation::ErrorPtr* error);
    ~NKXMLDocument();

    std::string rootElementName() const;
    // The text content of the first element named `name`, depth first; none when there is none.
    std::optional<std::string> stringValueOfFirstElementNamed(const std::string& name) const;
    std::string XMLString() const;

private:
    explicit NKXMLDocument(void* document) : m_document(document) { }
    void* m_document;
};

class NKXMLParserResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<NKXMLParserResponseSerializer> serializer() { return make<NKXMLParserResponseSerializer>(); }
    // A std::shared_ptr<NKXMLParser>, or nothing.
    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override { return serializer(); }
    std::string className() const override { return "NKXMLParserResponseSerializer"; }

protected:
    NKXMLParserResponseSerializer();
};

class NKXMLDocumentResponseSerializer : public NKHTTPResponseSerializer {
public:
    static std::shared_ptr<NKXMLDocumentResponseSerializer> serializer() { return serializerWithXMLDocumentOptions(0); }
    static std::shared_ptr<NKXMLDocumentResponseSerializer> serializerWithXMLDocumentOptions(unsigned long options);
    unsigned long options() const { return m_options; }
    void setOptions(unsigned long options) { m_options = options; }

    // A std::shared_ptr<NKXMLDocument>, or nothing.
    std::any responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                       const std::optional<foundation::Data>& data,
                                       foundation::ErrorPtr* error) const override;
    std::shared_ptr<NKHTTPResponseSerializer> copy() const override { return serializerWithXMLDocumentOptions(m_options); }
    std::string className() const override { return "NKXMLDocumentResponseSerializer"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

protected:
    NKXMLDocumentResponseSerializer();
    void restoreWithCoder(foundation::KeyedUnarchiver& coder) override;

private:
    unsigned long m_options = 0;
};
