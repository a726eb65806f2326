#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"

#include <climits>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

namespace {

// The platform's XML parser domain.
const std::string XMLParserErrorDomain = "NSXMLParserErrorDomain";

// Parsing never touches the network, and entities stay unexpanded.
constexpr int SafeParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

foundation::ErrorPtr errorFromLastXMLError(xmlParserCtxtPtr context)
{
    const xmlError* last = context ? xmlCtxtGetLastError(context) : nullptr;
    long code = last ? last->code : XML_ERR_INTERNAL_ERROR;
    std::string message = last && last->message ? last->message : "The XML document could not be read.";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    return foundation::Error::make(XMLParserErrorDomain, code, message);
}

std::string text(const xmlChar* chars, int length = -1)
{
    if (!chars)
        return {};
    const char* c = reinterpret_cast<const char*>(chars);
    return length < 0 ? std::string(c) : std::string(c, static_cast<std::size_t>(length));
}

struct ParseState {
    NKXMLParser* parser;
};

void startElement(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*, int, const xmlChar**, int attributeCount,
                  int, const xmlChar** attributes)
{
    auto* parser = static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private)->parser;
    if (!parser->didStartElement)
        return;
    NKXMLParser::Attributes values;
    for (int i = 0; i < attributeCount; ++i) {
        const xmlChar** a = attributes + i * 5;
        values[text(a[0])] = std::string(reinterpret_cast<const char*>(a[3]), reinterpret_cast<const char*>(a[4]));
    }
    parser->didStartElement(text(localName), values);
}

void endElement(void* context, const xmlChar* localName, const xmlChar*, const xmlChar*)
{
    auto* parser = static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private)->parser;
    if (parser->didEndElement)
        parser->didEndElement(text(localName));
}

void characters(void* context, const xmlChar* chars, int length)
{
    auto* parser = static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private)->parser;
    if (parser->foundCharacters)
        parser->foundCharacters(text(chars, length));
}

xmlNodePtr findElement(xmlNodePtr node, const std::string& name)
{
    for (; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE && text(node->name) == name)
            return node;
        if (auto found = findElement(node->children, name))
            return found;
    }
    return nullptr;
}

} // namespace

bool NKXMLParser::parse()
{
    if (m_data.size() > static_cast<std::size_t>(INT_MAX)) {
        m_error = foundation::Error::make(XMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML document is too large.");
        return false;
    }
    xmlSAXHandler handler {};
    xmlSAXVersion(&handler, 2);
    handler.startElementNs = startElement;
    handler.endElementNs = endElement;
    handler.characters = characters;
    handler.cdataBlock = characters;
    handler.startElement = nullptr;
    handler.endElement = nullptr;
    handler.warning = nullptr;
    handler.error = nullptr;
    handler.serror = nullptr;
    handler.getEntity = nullptr;

    ParseState state { this };
    xmlParserCtxtPtr context = xmlCreatePushParserCtxt(&handler, nullptr, nullptr, 0, nullptr);
    if (!context) {
        m_error = foundation::Error::make(XMLParserErrorDomain, XML_ERR_NO_MEMORY, "The XML parser could not be created.");
        return false;
    }
    context->_private = &state;
    xmlCtxtUseOptions(context, SafeParseOptions);
    int result = xmlParseChunk(context, reinterpret_cast<const char*>(m_data.data()), static_cast<int>(m_data.size()), 1);
    bool ok = result == 0 && context->wellFormed;
    if (!ok)
        m_error = errorFromLastXMLError(context);
    // The SAX2 start-document handler builds a document shell that the context does not own.
    if (context->myDoc)
        xmlFreeDoc(context->myDoc);
    xmlFreeParserCtxt(context);
    return ok;
}

std::shared_ptr<NKXMLDocument> NKXMLDocument::documentWithData(const foundation::Data& data, unsigned long,
                                                               foundation::ErrorPtr* error)
{
    if (data.size() > static_cast<std::size_t>(INT_MAX)) {
        if (error)
            *error = foundation::Error::make(XMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML document is too large.");
        return nullptr;
    }
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context)
        return nullptr;
    xmlDocPtr document = xmlCtxtReadMemory(context, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()),
                                           nullptr, nullptr, SafeParseOptions);
    if (!document) {
        if (error)
            *error = errorFromLastXMLError(context);
        xmlFreeParserCtxt(context);
        return nullptr;
    }
    xmlFreeParserCtxt(context);
    return std::shared_ptr<NKXMLDocument>(new NKXMLDocument(document));
}

NKXMLDocument::~NKXMLDocument()
{
    xmlFreeDoc(static_cast<xmlDocPtr>(m_document));
}

std::string NKXMLDocument::rootElementName() const
{
    xmlNodePtr root = xmlDocGetRootElement(static_cast<xmlDocPtr>(m_document));
    return root ? text(root->name) : std::string();
}

std::optional<std::string> NKXMLDocument::stringValueOfFirstElementNamed(const std::string& name) const
{
    xmlNodePtr node = findElement(xmlDocGetRootElement(static_cast<xmlDocPtr>(m_document)), name);
    if (!node)
        return std::nullopt;
    xmlChar* content = xmlNodeGetContent(node);
    std::string value = text(content);
    xmlFree(content);
    return value;
}

std::string NKXMLDocument::XMLString() const
{
    xmlChar* buffer = nullptr;
    int size = 0;
    xmlDocDumpMemory(static_cast<xmlDocPtr>(m_document), &buffer, &size);
    std::string out = text(buffer, size);
    xmlFree(buffer);
    return out;
}

NKXMLParserResponseSerializer::NKXMLParserResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "application/xml", "text/xml" });
}

std::any NKXMLParserResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                                  const std::optional<foundation::Data>& data,
                                                                  foundation::ErrorPtr* error) const
{
    if (!NKShouldDecodeResponse(*this, response, data, error))
        return {};
    return std::make_shared<NKXMLParser>(data.value_or(foundation::Data()));
}

NKXMLDocumentResponseSerializer::NKXMLDocumentResponseSerializer()
{
    setAcceptableContentTypes(std::set<std::string> { "application/xml", "text/xml" });
}

std::shared_ptr<NKXMLDocumentResponseSerializer> NKXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(unsigned long options)
{
    auto serializer = make<NKXMLDocumentResponseSerializer>();
    serializer->m_options = options;
    return serializer;
}

std::any NKXMLDocumentResponseSerializer::responseObjectForResponse(const std::optional<net::HTTPURLResponse>& response,
                                                                    const std::optional<foundation::Data>& data,
                                                                    foundation::ErrorPtr* error) const
{
    if (!NKShouldDecodeResponse(*this, response, data, error))
        return {};
    foundation::ErrorPtr documentError;
    auto document = NKXMLDocument::documentWithData(data.value_or(foundation::Data()), m_options, &documentError);
    if (error)
        *error = NKErrorWithUnderlyingError(documentError, *error);
    if (!document)
        return {};
    return document;
}
