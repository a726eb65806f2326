#pragma once
// What a channel unit hands a batch to: one HTTP request to one endpoint, and the outcome
// reported with the batch's id. The base owns the endpoint, fixed headers and retry intervals
// and prints responses; subclasses give the headers, the body and the masking. A disabled
// ingestion answers at once with the cancelled error, so no batch waits for an answer that
// never comes. Any thread; one lock per ingestion.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MovaraAppKit/Telemetry/Core/HttpClient/BCNHttpClient.h"
#include "MovaraAppKit/Telemetry/Core/Model/BCNLogContainer.h"

using BCNSendAsyncCompletionHandler = std::function<void(const std::string& callId, const std::optional<net::HTTPURLResponse>& response,
                                                         const std::optional<foundation::Data>& data, const foundation::ErrorPtr& error)>;

class BCNIngestionProtocol {
public:
    virtual ~BCNIngestionProtocol() = default;
    virtual void sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler) = 0;
    virtual bool isReadyToSend() const = 0;
    virtual void setEnabled(bool enabled, bool deleteDataOnDisabled) = 0;
};

class BCNHttpIngestion : public BCNIngestionProtocol, public BCNHttpClientDelegate, public std::enable_shared_from_this<BCNHttpIngestion> {
public:
    // Base URL followed by the API path, then the query (percent-encoded), or none.
    static std::optional<foundation::URL> buildURL(const std::string& baseURL, const std::string& apiPath,
                                                   const std::vector<std::pair<std::string, std::string>>& queryStrings);

    void sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler) override;
    void sendAsync(const std::shared_ptr<BCNLogContainer>& container, const std::optional<std::string>& eTag,
                   const std::string& callId, BCNSendAsyncCompletionHandler completionHandler);
    bool isReadyToSend() const override { return true; }
    void setEnabled(bool enabled, bool deleteDataOnDisabled) override;
    bool isEnabled() const;

    std::string baseURL() const;
    // Keeps the path and query, takes scheme, user, password, host, port and path prefix.
    void setBaseURL(const std::string& baseURL);
    std::optional<foundation::URL> sendURL() const;
    const std::shared_ptr<BCNHttpClientProtocol>& httpClient() const { return m_httpClient; }
    const std::vector<double>& callsRetryIntervals() const { return m_callsRetryIntervals; }

protected:
    BCNHttpIngestion(std::shared_ptr<BCNHttpClientProtocol> httpClient, std::string baseUrl, std::string apiPath,
                     net::HTTPHeaderFields headers, std::vector<std::pair<std::string, std::string>> queryStrings,
                     std::vector<double> retryIntervals, std::int64_t maxNumberOfConnections);
    // Makes the ingestion its client's delegate (after construction, when it is shared).
    void attach();

    virtual net::HTTPHeaderFields getHeadersWithData(const BCNLogContainer& container, const std::optional<std::string>& eTag) = 0;
    virtual std::optional<foundation::Data> getPayloadWithData(const BCNLogContainer& container) = 0;
    virtual std::string getHttpMethod() const { return "POST"; }
    virtual std::string obfuscateResponsePayload(const std::string& payload) const = 0;
    const net::HTTPHeaderFields& httpHeaders() const { return m_httpHeaders; }
    void printResponse(const std::optional<net::HTTPURLResponse>& response, const std::optional<foundation::Data>& body,
                       const foundation::ErrorPtr& error) const;
    // Sends a checked container and answers with its batch id; an invalid one is answered at once.
    void sendContainer(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler);

private:
    mutable std::recursive_mutex m_mutex;
    bool m_enabled = true;
    std::string m_baseURL;
    std::string m_apiPath;
    std::optional<foundation::URL> m_sendURL;
    net::HTTPHeaderFields m_httpHeaders;
    std::shared_ptr<BCNHttpClientProtocol> m_httpClient;
    std::int64_t m_maxNumberOfConnections;
    std::vector<double> m_callsRetryIntervals;
};

// The log-ingestion endpoint: POST base + "/logs?api-version=1.0.0" with "App-Secret" and
// "Install-ID"; ready once the application secret is set.
class BCNBeaconIngestion : public BCNHttpIngestion {
public:
    static std::shared_ptr<BCNBeaconIngestion> init(std::shared_ptr<BCNHttpClientProtocol> httpClient, const std::string& baseUrl,
                                                    const std::string& installId);

    void sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler) override;
    bool isReadyToSend() const override;
    std::optional<std::string> appSecret() const;
    void setAppSecret(std::optional<std::string> appSecret);
    void willSendHTTPRequestToURL(const foundation::URL& url, const net::HTTPHeaderFields& headers) override;

protected:
    using BCNHttpIngestion::BCNHttpIngestion;
    net::HTTPHeaderFields getHeadersWithData(const BCNLogContainer& container, const std::optional<std::string>& eTag) override;
    std::optional<foundation::Data> getPayloadWithData(const BCNLogContainer& container) override;
    std::string obfuscateResponsePayload(const std::string& payload) const override { return payload; }

private:
    mutable std::mutex m_secretMutex;
    std::optional<std::string> m_appSecret;
};

// Authentication tickets of the common-schema targets, filled by the analytics service and
// read when collector requests are built. Any thread.
class BCNTicketCache {
public:
    static BCNTicketCache& sharedInstance();
    std::optional<std::string> ticketFor(const std::string& key) const;
    // None removes the key.
    void setTicket(const std::optional<std::string>& ticket, const std::string& key);
    void clearCache();

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_tickets;
};

// The common-schema collector: POST base + "/Collector/1.0", one JSON object per line, with
// the targets' tokens ("apikey"), their tickets and the time of each sending.
class BCNCollectorIngestion : public BCNHttpIngestion {
public:
    static std::shared_ptr<BCNCollectorIngestion> init(std::shared_ptr<BCNHttpClientProtocol> httpClient, const std::string& baseUrl);

    void sendAsync(const std::shared_ptr<BCNLogContainer>& container, BCNSendAsyncCompletionHandler completionHandler) override;
    void willSendHTTPRequestToURL(const foundation::URL& url, const net::HTTPHeaderFields& headers) override;
    static std::string obfuscateTargetTokens(const std::string& tokens);
    static std::string obfuscateTickets(const std::string& tickets);

protected:
    using BCNHttpIngestion::BCNHttpIngestion;
    net::HTTPHeaderFields getHeadersWithData(const BCNLogContainer& container, const std::optional<std::string>& eTag) override;
    std::optional<foundation::Data> getPayloadWithData(const BCNLogContainer& container) override;
    std::string obfuscateResponsePayload(const std::string& payload) const override;
};
