#include "MovaraAppKit/Telemetry/Core/Ingestion/BCNHttpIngestion.h"

#include "MovaraAppKit/Telemetry/Core/BCNLogger.h"
#include "MovaraAppKit/Telemetry/Core/BCNUtility.h"
#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpUtil.h"
#include "MovaraAppKit/Telemetry/Core/Model/CommonSchema/BCNCommonSchemaLog.h"
#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/UUID.h"

namespace {
const std::string kTag = "Beacon";
}

std::optional<foundation::URL> BCNHttpIngestion::buildURL(const std::string& baseURL, const std::string& apiPath,
                                                          const std::vector<std::pair<std::string, std::string>>& queryStrings)
{
    std::string text = baseURL + apiPath;
    std::string query;
    for (const auto& [key, value] : queryStrings)
        query += (query.empty() ? "" : "&") + key + "=" + value;
    if (!query.empty())
        text += "?" + foundation::percentEncode(query, foundation::URLCharacterSet::Query);
    auto url = foundation::URL::URLWithString(text);
    if (!url || url->scheme().empty())
        return std::nullopt;
    return url;
}

BCNHttpIngestion::BCNHttpIngestion(std::shared_ptr<BCNHttpClientProtocol> httpClient, std::string baseUrl, std::string apiPath,
                                   net::HTTPHeaderFields headers, std::vector<std::pair<std::string, std::string>> queryStrings,
                                   std::vector<double> retryIntervals, std::int64_t maxNumberOfConnections)
    : m_baseURL(std::move(baseUrl))
    , m_apiPath(std::move(apiPath))
    , m_httpHeaders(std::move(headers))
    , m_httpClient(std::move(httpClient))
    , m_maxNumberOfConnections(maxNumberOfConnections)
    , m_callsRetryIntervals(std::move(retryIntervals))
{
    m_sendURL = buildURL(m_baseURL, m_apiPath, queryStrings);
}

void BCNHttpIngestion::attach()
{
    if (m_httpClient)
        m_httpClient->setDelegate(std::static_pointer_cast<BCNHttpClientDelegate>(shared_from_this()));
}

bool BCNHttpIngestion::isEnabled() const
{
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

void BCNHttpIngestion::setEnabled(bool enabled, bool)
{
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
}

std::string BCNHttpIngestion::baseURL() const
{
    std::lock_guard lock(m_mutex);
    return m_baseURL;
}

std::optional<foundation::URL> BCNHttpIngestion::sendURL() const
{
    std::lock_guard lock(m_mutex);
    return m_sendURL;
}

void BCNHttpIngestion::setBaseURL(const std::string& baseURL)
{
    std::lock_guard lock(m_mutex);
    m_baseURL = baseURL;
    const std::string current = m_sendURL ? m_sendURL->absoluteString() : std::string();
    auto url = foundation::URL::URLWithString(baseURL + m_apiPath);
    if (url && !url->scheme().empty() && m_sendURL && m_sendURL->query())
        url = foundation::URL::URLWithString(url->absoluteString() + "?" + *m_sendURL->query());
    if (!url || url->scheme().empty()) {
        BCNLogInfo(kTag, "Failed to update HTTP URL " + current + " with " + baseURL);
        return;
    }
    m_sendURL = url;
}

void BCNHttpIngestion::sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler)
{
    sendAsync(container, std::nullopt, foundation::UUID::random().UUIDString(), std::move(completionHandler));
}

void BCNHttpIngestion::sendAsync(const std::shared_ptr<BCNLogContainer>& container, const std::optional<std::string>& eTag,
                                 const std::string& callId, BCNSendAsyncCompletionHandler completionHandler)
{
    std::unique_lock lock(m_mutex);
    if (!m_enabled || !m_sendURL || !m_httpClient) {
        lock.unlock();
        // Answered, so the batch the caller keeps for this request is released.
        if (completionHandler)
            completionHandler(callId, std::nullopt, std::nullopt, BCNMakeError(BCNCanceledErrorCode));
        return;
    }
    const auto headers = getHeadersWithData(*container, eTag);
    const auto payload = getPayloadWithData(*container);
    std::weak_ptr<BCNHttpIngestion> weak = weak_from_this();
    m_httpClient->sendAsync(*m_sendURL, getHttpMethod(), headers, payload, m_callsRetryIntervals, true,
                            [weak, callId, completionHandler](const std::optional<foundation::Data>& body,
                                                              const std::optional<net::HTTPURLResponse>& response,
                                                              const foundation::ErrorPtr& error) {
                                if (auto self = weak.lock())
                                    self->printResponse(response, body, error);
                                if (completionHandler)
                                    completionHandler(callId, response, body, error);
                            });
}

void BCNHttpIngestion::sendContainer(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler)
{
    const std::string batchId = container ? container->batchId() : std::string();
    if (!container || !container->isValid()) {
        auto error = BCNMakeError(BCNLogInvalidContainerErrorCode);
        BCNLogError(kTag, error->localizedDescription());
        if (completionHandler)
            completionHandler(batchId, std::nullopt, std::nullopt, error);
        return;
    }
    BCNHttpIngestion::sendAsync(container, std::nullopt, batchId, std::move(completionHandler));
}

void BCNHttpIngestion::printResponse(const std::optional<net::HTTPURLResponse>& response, const std::optional<foundation::Data>& body,
                                     const foundation::ErrorPtr& error) const
{
    if (error) {
        BCNLogDebug(kTag, "HTTP request error with code: " + std::to_string(error->code()) + ", domain: " + error->domain()
                              + ", description: " + error->localizedDescription());
        return;
    }
    if (BCNLogger::currentLogLevel() > BCNLogLevelVerbose)
        return;
    std::string payload = "(null)";
    if (body && !body->empty()) {
        const auto type = response ? response->valueForHTTPHeaderField("Content-Type").value_or("") : std::string();
        if (type.starts_with("application/json"))
            payload = obfuscateResponsePayload(BCNUtility::prettyPrintJson(body).value_or(""));
        else if (type.empty() || type.starts_with("text/") || type.starts_with("application/"))
            payload = obfuscateResponsePayload(std::string(body->begin(), body->end()));
        else
            payload = "<binary>";
    }
    const long status = response ? response->statusCode() : 0;
    BCNLogVerbose(kTag, "HTTP response received with status code: " + std::to_string(status) + ", payload:\n" + payload);
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<BCNBeaconIngestion> BCNBeaconIngestion::init(std::shared_ptr<BCNHttpClientProtocol> httpClient, const std::string& baseUrl,
                                                             const std::string& installId)
{
    std::shared_ptr<BCNBeaconIngestion> ingestion(new BCNBeaconIngestion(
        std::move(httpClient), baseUrl, "/logs", { { "Content-Type", "application/json" }, { "Install-ID", installId } },
        { { "api-version", "1.0.0" } }, BCNHttpClientProtocol::defaultRetryIntervals(), 4));
    ingestion->attach();
    return ingestion;
}

bool BCNBeaconIngestion::isReadyToSend() const
{
    std::lock_guard lock(m_secretMutex);
    return m_appSecret.has_value();
}

std::optional<std::string> BCNBeaconIngestion::appSecret() const
{
    std::lock_guard lock(m_secretMutex);
    return m_appSecret;
}

void BCNBeaconIngestion::setAppSecret(std::optional<std::string> appSecret)
{
    std::lock_guard lock(m_secretMutex);
    m_appSecret = std::move(appSecret);
}

void BCNBeaconIngestion::sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler)
{
    if (container && container->isValid() && !appSecret()) {
        BCNLogError(kTag, "Beacon ingestion is used without app secret.");
        return;
    }
    sendContainer(container, std::move(completionHandler));
}

net::HTTPHeaderFields BCNBeaconIngestion::getHeadersWithData(const BCNLogContainer&, const std::optional<std::string>&)
{
    auto headers = httpHeaders();
    headers["App-Secret"] = appSecret().value_or("");
    return headers;
}

std::optional<foundation::Data> BCNBeaconIngestion::getPayloadWithData(const BCNLogContainer& container)
{
    auto text = container.serializeLog();
    if (!text)
        return std::nullopt;
    return foundation::Data(text->begin(), text->end());
}

void BCNBeaconIngestion::willSendHTTPRequestToURL(const foundation::URL& url, const net::HTTPHeaderFields& headers)
{
    if (BCNLogger::currentLogLevel() > BCNLogLevelVerbose)
        return;
    std::string printed;
    for (const auto& [name, value] : headers)
        printed += (printed.empty() ? "" : ", ") + name + " = " + (name == "App-Secret" ? BCNHttpUtil::hideSecret(value) : value);
    BCNLogVerbose(kTag, "URL: " + url.absoluteString());
    BCNLogVerbose(kTag, "Headers: " + printed);
}

// ---------------------------------------------------------------------------------------------

BCNTicketCache& BCNTicketCache::sharedInstance()
{
    static BCNTicketCache cache;
    return cache;
}

std::optional<std::string> BCNTicketCache::ticketFor(const std::string& key) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_tickets.find(key);
    if (it == m_tickets.end())
        return std::nullopt;
    return it->second;
}

void BCNTicketCache::setTicket(const std::optional<std::string>& ticket, const std::string& key)
{
    std::lock_guard lock(m_mutex);
    if (ticket)
        m_tickets[key] = *ticket;
    else
        m_tickets.erase(key);
}

void BCNTicketCache::clearCache()
{
    std::lock_guard lock(m_mutex);
    m_tickets.clear();
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<BCNCollectorIngestion> BCNCollectorIngestion::init(std::shared_ptr<BCNHttpClientProtocol> httpClient, const std::string& baseUrl)
{
    std::shared_ptr<BCNCollectorIngestion> ingestion(new BCNCollectorIngestion(
        std::move(httpClient), baseUrl, "/Collector/1.0",
        { { "Content-Type", "application/x-json-stream; charset=utf-8" },
          { "Client-Version", "BCN-iOS-ObjectiveC-no-" + BCNUtility::sdkVersion() + "-no" } },
        {}, BCNHttpClientProtocol::defaultRetryIntervals(), 2));
    ingestion->attach();
    return ingestion;
}

void BCNCollectorIngestion::sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler)
{
    sendContainer(container, std::move(completionHandler));
}

net::HTTPHeaderFields BCNCollectorIngestion::getHeadersWithData(const BCNLogContainer& container, const std::optional<std::string>&)
{
    auto headers = httpHeaders();
    std::set<std::string> tokens;
    foundation::Value tickets = foundation::Value::dictionary();
    for (const auto& log : container.logs()) {
        if (auto logTokens = log->transmissionTargetTokens())
            tokens.insert(logTokens->begin(), logTokens->end());
        const auto* csLog = dynamic_cast<const BCNCommonSchemaLog*>(log.get());
        if (!csLog || !csLog->ext || !csLog->ext->protocolExt || !csLog->ext->protocolExt->ticketKeys)
            continue;
        for (const auto& key : *csLog->ext->protocolExt->ticketKeys)
            if (auto ticket = BCNTicketCache::sharedInstance().ticketFor(key))
                tickets.set(key, *ticket);
    }
    std::string apikey;
    for (const auto& token : tokens)
        apikey += (apikey.empty() ? "" : ",") + token;
    headers["apikey"] = apikey;
    // Placed here and renewed by the HTTP client at each sending.
    headers["Upload-Time"] = std::to_string(static_cast<long long>(BCNUtility::nowInMilliseconds()));
    if (tickets.size() > 0)
        headers["Tickets"] = foundation::toJSON(tickets);
    return headers;
}

std::optional<foundation::Data> BCNCollectorIngestion::getPayloadWithData(const BCNLogContainer& container)
{
    std::string body;
    for (const auto& log : container.logs())
        if (auto line = log->serializeLogWithPrettyPrinting(false))
            body += *line + "\n";
    return foundation::Data(body.begin(), body.end());
}

std::string BCNCollectorIngestion::obfuscateResponsePayload(const std::string& payload) const
{
    return BCNUtility::obfuscateString(payload, R"("token"\s*:\s*"[^"]+")", R"("token" : "***")").value_or(payload);
}

std::string BCNCollectorIngestion::obfuscateTargetTokens(const std::string& tokens)
{
    std::string result;
    std::size_t start = 0;
    while (true) {
        const auto end = tokens.find(',', start);
        result += BCNHttpUtil::hideSecret(tokens.substr(start, end - start));
        if (end == std::string::npos)
            return result;
        result += ",";
        start = end + 1;
    }
}

std::string BCNCollectorIngestion::obfuscateTickets(const std::string& tickets)
{
    return BCNUtility::obfuscateString(tickets, R"(:[^"]+)", ":***").value_or(tickets);
}

void BCNCollectorIngestion::willSendHTTPRequestToURL(const foundation::URL& url, const net::HTTPHeaderFields& headers)
{
    if (BCNLogger::currentLogLevel() > BCNLogLevelVerbose)
        return;
    std::string printed;
    for (const auto& [name, value] : headers) {
        const std::string shown = name == "apikey" ? obfuscateTargetTokens(value) : name == "Tickets" ? obfuscateTickets(value) : value;
        printed += (printed.empty() ? "" : ", ") + name + " = " + shown;
    }
    BCNLogVerbose(kTag, "URL: " + url.absoluteString());
    BCNLogVerbose(kTag, "Headers: " + printed);
}
