#include "MovaraKit/HTTP/NKXMLResponseSerializer.h"

#include <climits>
#include <mutex>

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>

#include "MovaraKit/HTTP/NKJSONResponseSerializer.h"

namespace {

// The platform's XML parser domain.
const std::string XMLParserErrorDomain = "NSXMLParserErrorDomain";

// Parsing never touches the network, and entities stay unexpanded.
constexpr int SafeParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Parameter entities and XIncludes reach libxml2's process-wide loader without passing
// through the context's hooks, so our parses run with a loader that refuses everything;
// anyone else in the process keeps the loader they had.
thread_local bool t_refuseLoading = false;
xmlExternalEntityLoader s_previousLoader = nullptr;

xmlParserInputPtr refusingLoader(const char* URL, const char* ID, xmlParserCtxtPtr context)
{
    if (t_refuseLoading)
        return nullptr;
    return s_previousLoader ? s_previousLoader(URL, ID, context) : nullptr;
}

class RefuseLoadingScope {
public:
    RefuseLoadingScope()
    {
        static std::once_flag once;
        std::call_once(once, [] {
            s_previousLoader = xmlGetExternalEntityLoader();
            xmlSetExternalEntityLoader(refusingLoader);
        });
        t_refuseLoading = true;
    }
    ~RefuseLoadingScope() { t_refuseLoading = false; }
    RefuseLoadingScope(const RefuseLoadingScope&) = delete;
    RefuseLoadingScope& operator=(const RefuseLoadingScope&) = delete;
};

// A document from a server loads no external subset and resolves no external entity: the SAX
// hooks that would load them do nothing here (the parser's own loader would read local files,
// or wait forever on a device).
void ignoreExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) { }
xmlParserInputPtr resolveNoEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }

void refuseExternalLoading(xmlParserCtxtPtr context)
{
    if (context->sax) {
        context->sax->externalSubset = ignoreExternalSubset;
        context->sax->resolveEntity = resolveNoEntity;
    }
}

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
    refuseExternalLoading(context);
    RefuseLoadingScope refuse;
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

namespace {

foundation::ErrorPtr tooLargeError()
{
    return foundation::Error::make(XMLParserErrorDomain, XML_ERR_INTERNAL_ERROR, "The XML document is too large.");
}

} // namespace

std::shared_ptr<NKXMLDocument> NKXMLDocument::documentWithData(const foundation::Data& data, unsigned long options,
                                                               foundation::ErrorPtr* error)
{
    if (data.size() > static_cast<std::size_t>(INT_MAX)) {
        if (error)
            *error = tooLargeError();
        return nullptr;
    }
    const char* bytes = reinterpret_cast<const char*>(data.data());
    const int length = static_cast<int>(data.size());

    if (options & NSXMLDocumentTidyHTML) {
        htmlParserCtxtPtr context = htmlNewParserCtxt();
        if (!context)
            return nullptr;
        refuseExternalLoading(context);
        RefuseLoadingScope refuse;
        htmlDocPtr document = htmlCtxtReadMemory(context, bytes, length, nullptr, nullptr,
                                                 HTML_PARSE_RECOVER | HTML_PARSE_NODEFDTD | HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
                                                     | ((options & NSXMLNodePreserveWhitespace) ? 0 : HTML_PARSE_NOBLANKS));
        if (!document && error)
            *error = errorFromLastXMLError(context);
        htmlFreeParserCtxt(context);
        if (!document)
            return nullptr;
        return std::shared_ptr<NKXMLDocument>(new NKXMLDocument(document, options));
    }

    int parseOptions = SafeParseOptions;
    if (!(options & NSXMLNodePreserveWhitespace))
        parseOptions |= XML_PARSE_NOBLANKS;
    if (!(options & NSXMLNodePreserveCDATA))
        parseOptions |= XML_PARSE_NOCDATA;
    if (options & NSXMLDocumentTidyXML)
        parseOptions |= XML_PARSE_RECOVER;
    const bool validate = (options & NSXMLDocumentValidate) != 0;
    if (validate)
        parseOptions |= XML_PARSE_DTDVALID;

    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context)
        return nullptr;
    refuseExternalLoading(context);
    RefuseLoadingScope refuse;
    xmlDocPtr document = xmlCtxtReadMemory(context, bytes, length, nullptr, nullptr, parseOptions);
    // Without tidying a document must be well formed; a validated one must be valid too (and
    // one without a DTD cannot be).
    const bool refused = !document || (!(options & NSXMLDocumentTidyXML) && !context->wellFormed)
        || (validate && (!context->valid || !document->intSubset));
    if (refused) {
        if (error) {
            if (validate && document && context->wellFormed && !document->intSubset)
                *error = foundation::Error::make(XMLParserErrorDomain, XML_DTD_NO_DTD, "The document has no DTD to validate against.");
            else
                *error = errorFromLastXMLError(context);
        }
        if (document)
            xmlFreeDoc(document);
        xmlFreeParserCtxt(context);
        return nullptr;
    }
    xmlFreeParserCtxt(context);
    return std::shared_ptr<NKXMLDocument>(new NKXMLDocument(document, options));
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
    int saveOptions = XML_SAVE_AS_XML;
    if (m_options & NSXMLNodePrettyPrint)
        saveOptions |= XML_SAVE_FORMAT;
    if (m_options & NSXMLNodeExpandEmptyElement)
        saveOptions |= XML_SAVE_NO_EMPTY;
    xmlBufferPtr buffer = xmlBufferCreate();
    if (!buffer)
        return {};
    std::string out;
    if (xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer, "UTF-8", saveOptions)) {
        xmlSaveDoc(save, static_cast<xmlDocPtr>(m_document));
        xmlSaveClose(save);
        out = text(xmlBufferContent(buffer), xmlBufferLength(buffer));
    }
    xmlBufferFree(buffer);
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
