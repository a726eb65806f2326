#pragma once
// One request to the web service: a path relative to the service's base URL, a method and
// parameters, or a complete request. Commands don't send themselves: sendWithCompletionHandler()
// announces the command and the API service runs it and finishes it with an MVRAPIResponse.
// Finishing posts MVRCommandWillFinishNotification, calls the completion handler once and
// posts MVRCommandDidFinishNotification. Main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "MovaraKit/Service/MVRAPIObject.h"
#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/Value.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/URLRequest.h"

class MVRAPIService;
class MVRCredential;

extern const std::string MVRCommandSendNotification;       // object: the command
extern const std::string MVRCommandWillFinishNotification; // object: the command
extern const std::string MVRCommandDidFinishNotification;  // object: the command
// User-info keys of the two finish notifications; a key is present only with a value.
extern const std::string MVRCommandAPIResponseKey; // "response": std::shared_ptr<MVRAPIResponse>
extern const std::string MVRCommandErrorKey;       // "error": foundation::ErrorPtr

class MVRAPIResponse {
public:
    // None unless there is an HTTP response.
    static std::shared_ptr<MVRAPIResponse> initWithRequest(const net::URLRequest& request,
                                                           const std::optional<net::HTTPURLResponse>& HTTPResponse,
                                                           const foundation::Value& JSONObject);

    const net::URLRequest& request() const { return m_request; }
    const net::HTTPURLResponse& HTTPURLResponse() const { return m_response; }
    // The decoded body of a successful answer; null after a failure.
    const foundation::Value& JSONObject() const { return m_JSONObject; }
    const std::shared_ptr<MVRAPIObject>& APIObject() const { return m_APIObject; }
    void setAPIObject(std::shared_ptr<MVRAPIObject> object) { m_APIObject = std::move(object); }

private:
    MVRAPIResponse(net::URLRequest request, net::HTTPURLResponse response, foundation::Value JSONObject);

    net::URLRequest m_request;
    net::HTTPURLResponse m_response;
    foundation::Value m_JSONObject;
    std::shared_ptr<MVRAPIObject> m_APIObject;
};

class MVRCommand : public std::enable_shared_from_this<MVRCommand> {
public:
    using CompletionHandler = std::function<void(const std::shared_ptr<MVRAPIResponse>& response, const foundation::ErrorPtr& error)>;

    static std::shared_ptr<MVRCommand> initWithURLString(const std::string& URLString);
    static std::shared_ptr<MVRCommand> initWithURLString(const std::string& URLString, const foundation::Value& parameters);
    // None for an empty path; an empty method is "GET".
    static std::shared_ptr<MVRCommand> initWithURLString(const std::string& URLString, const std::string& method,
                                                         const foundation::Value& parameters);
    static std::shared_ptr<MVRCommand> initWithRequest(const net::URLRequest& request);
    virtual ~MVRCommand() = default;

    const std::string& URLString() const { return m_URLString; }
    const std::string& method() const { return m_method; }
    // A dictionary of wire names to strings or numbers, or null.
    const foundation::Value& parameters() const { return m_parameters; }
    const std::optional<net::URLRequest>& request() const { return m_request; }

    // The credential the command signs in with, for the commands that have one.
    virtual std::shared_ptr<MVRCredential> credential() const { return nullptr; }

    void sendWithCompletionHandler(CompletionHandler handler);

    // Hook: the request to send, for requests the service built itself.
    virtual net::URLRequest service(MVRAPIService& service, const net::URLRequest& request);
    // Hook, called only after a transfer without error: the response to finish with; may set
    // `error`.
    virtual std::shared_ptr<MVRAPIResponse> processResponse(const std::shared_ptr<MVRAPIResponse>& response,
                                                            foundation::ErrorPtr* error);
    void finishWithResponse(std::shared_ptr<MVRAPIResponse> response, foundation::ErrorPtr error);

    std::string description() const;

protected:
    MVRCommand(std::string URLString, std::string method, foundation::Value parameters);
    explicit MVRCommand(net::URLRequest request);

private:
    std::string m_URLString;
    std::string m_method = "GET";
    foundation::Value m_parameters;
    std::optional<net::URLRequest> m_request;
    CompletionHandler m_completionHandler;
};
