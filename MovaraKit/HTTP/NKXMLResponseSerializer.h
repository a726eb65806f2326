#pragma once
// XML answers, through libxml2: the parser serializer hands back an event-driven parser over
// the body, not yet run; the document serializer builds the whole tree. A document from a
// server never makes us read anything else: external entities, external DTDs and XIncludes
// stay unloaded whatever the options ask, and entity references stay unexpanded.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"

// The platform's XML-document option bits that a document honours: how it is read and how it
// writes itself back. Asking to load external entities or to process XIncludes changes
// nothing (see above); the other bits are accepted and have no effect.
enum : unsigned long {
    NSXMLNodeExpandEmptyElement = 1ul << 1,   // write <a></a> instead of <a/>
    NSXMLDocumentTidyHTML = 1ul << 9,         // read the body as HTML
    NSXMLDocumentTidyXML = 1ul << 10,         // mend a malformed document instead of refusing it
    NSXMLDocumentValidate = 1ul << 13,        // refuse a document that breaks its (internal) DTD
    NSXMLNodeLoadExternalEntitiesAlways = 1ul << 14,
    NSXMLDocumentXInclude = 1ul << 16,
    NSXMLNodePrettyPrint = 1ul << 17,         // write indented
    NSXMLNodePreserveEntities = 1ul << 22,
    NSXMLNodePreserveCDATA = 1ul << 24,       // keep CDATA sections (else they become text)
    NSXMLNodePreserveWhitespace = 1ul << 25,  // keep blank text between elements (else dropped)
};

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
    // The document as XML, indented and with expanded empty elements when its options ask.
    std::string XMLString() const;
    unsigned long options() const { return m_options; }

private:
    NKXMLDocument(void* document, unsigned long options) : m_document(document), m_options(options) { }
    void* m_document;
    unsigned long m_options;
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
