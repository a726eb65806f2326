#pragma once
// The operation-based HTTP client: builds requests with its request serializer, wraps each in
// an NKHTTPRequestOperation set up from the manager (serializer, credential, security policy,
// completion queue and group) and runs it on its operation queue. Archives keep the base URL
// and both serializers.

#include <memory>
#include <optional>

#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"
#include "MovaraKit/HTTP/NKHTTPRequestSerializer.h"
#include "MovaraKit/HTTP/NKNetworkReachabilityManager.h"
#include "Platform/Foundation/OperationQueue.h"

class NKHTTPRequestOperationManager : public std::enable_shared_from_this<NKHTTPRequestOperationManager>, public foundation::Coding {
public:
    using Success = NKHTTPRequestOperation::Success;
    using Failure = NKHTTPRequestOperation::Failure;

    static std::shared_ptr<NKHTTPRequestOperationManager> manager() { return initWithBaseURL(std::nullopt); }
    static std::shared_ptr<NKHTTPRequestOperationManager> initWithBaseURL(std::optional<foundation::URL> baseURL);

    const std::optional<foundation::URL>& baseURL() const { return m_baseURL; }
    const std::shared_ptr<NKHTTPRequestSerializer>& requestSerializer() const { return m_requestSerializer; }
    void setRequestSerializer(std::shared_ptr<NKHTTPRequestSerializer> serializer) { m_requestSerializer = std::move(serializer); }
    const std::shared_ptr<NKHTTPResponseSerializer>& responseSerializer() const { return m_responseSerializer; }
    void setResponseSerializer(std::shared_ptr<NKHTTPResponseSerializer> serializer) { m_responseSerializer = std::move(serializer); }
    const foundation::OperationQueuePtr& operationQueue() const { return m_operationQueue; }
    bool shouldUseCredentialStorage() const { return m_shouldUseCredentialStorage; }
    void setShouldUseCredentialStorage(bool use) { m_shouldUseCredentialStorage = use; }
    const net::URLCredentialPtr& credential() const { return m_credential; }
    void setCredential(net::URLCredentialPtr credential) { m_credential = std::move(credential); }
    const std::shared_ptr<NKSecurityPolicy>& securityPolicy() const { return m_securityPolicy; }
    void setSecurityPolicy(std::shared_ptr<NKSecurityPolicy> policy) { m_securityPolicy = std::move(policy); }
    const std::shared_ptr<NKNetworkReachabilityManager>& reachabilityManager() const { return m_reachabilityManager; }
    const dispatch::QueuePtr& completionQueue() const { return m_completionQueue; }
    void setCompletionQueue(dispatch::QueuePtr queue) { m_completionQueue = std::move(queue); }
    const dispatch::GroupPtr& completionGroup() const { return m_completionGroup; }
    void setCompletionGroup(dispatch::GroupPtr group) { m_completionGroup = std::move(group); }

    // Not started and not queued.
    std::shared_ptr<NKHTTPRequestOperation> HTTPRequestOperationWithRequest(const net::URLRequest& request, Success success, Failure failure);

    // Queued; none when the request could not be built (failure then runs later, without an
    // operation).
    std::shared_ptr<NKHTTPRequestOperation> GET(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                Success success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> HEAD(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                 std::function<void(const std::shared_ptr<NKHTTPRequestOperation>&)> success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> POST(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                 Success success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> POST(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                 const NKHTTPRequestSerializer::ConstructingBodyBlock& block, Success success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> PUT(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                Success success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> PATCH(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                  Success success, Failure failure);
    std::shared_ptr<NKHTTPRequestOperation> DELETE(const std::string& URLString, const std::optional<foundation::Value>& parameters,
                                                   Success success, Failure failure);

    std::shared_ptr<NKHTTPRequestOperationManager> copy() const;

    std::string className() const override { return "NKHTTPRequestOperationManager"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static std::shared_ptr<NKHTTPRequestOperationManager> initWithCoder(foundation::KeyedUnarchiver& coder);
    std::string description() const;

private:
    NKHTTPRequestOperationManager() = default;
    std::shared_ptr<NKHTTPRequestOperation> queued(std::optional<net::URLRequest> request, const foundation::ErrorPtr& error,
                                                   Success success, Failure failure);
    std::string resolved(const std::string& URLString) const;

    std::optional<foundation::URL> m_baseURL;
    std::shared_ptr<NKHTTPRequestSerializer> m_requestSerializer;
    std::shared_ptr<NKHTTPResponseSerializer> m_responseSerializer;
    foundation::OperationQueuePtr m_operationQueue;
    bool m_shouldUseCredentialStorage = true;
    net::URLCredentialPtr m_credential;
    std::shared_ptr<NKSecurityPolicy> m_securityPolicy;
    std::shared_ptr<NKNetworkReachabilityManager> m_reachabilityManager;
    dispatch::QueuePtr m_completionQueue;
    dispatch::GroupPtr m_completionGroup;
};
