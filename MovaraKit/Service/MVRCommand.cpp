#include "MovaraKit/Service/MVRCommand.h"

#include <cstdio>
#include <utility>

#include "Platform/Foundation/JSON.h"
#include "Platform/Foundation/NotificationCenter.h"

const std::string MVRCommandSendNotification = "MVRCommandSendNotification";
const std::string MVRCommandWillFinishNotification = "MVRCommandWillFinishNotification";
const std::string MVRCommandDidFinishNotification = "MVRCommandDidFinishNotification";
const std::string MVRCommandAPIResponseKey = "response";
const std::string MVRCommandErrorKey = "error";

MVRAPIResponse::MVRAPIResponse(net::URLRequest request, net::HTTPURLResponse response, foundation::Value JSONObject)
    : m_request(std::move(request))
    , m_response(std::move(response))
    , m_JSONObject(std::move(JSONObject))
{
}

std::shared_ptr<MVRAPIResponse> MVRAPIResponse::initWithRequest(const net::URLRequest& request,
                                                                 const std::optional<net::HTTPURLResponse>& HTTPResponse,
                                                                 const foundation::Value& JSONObject)
{
    if (!HTTPResponse)
        return nullptr;
    return std::shared_ptr<MVRAPIResponse>(new MVRAPIResponse(request, *HTTPResponse, JSONObject));
}

MVRCommand::MVRCommand(std::string URLString, std::string method, foundation::Value parameters)
    : m_URLString(std::move(URLString))
    , m_method(method.empty() ? "GET" : std::move(method))
    , m_parameters(std::move(parameters))
{
}

MVRCommand::MVRCommand(net::URLRequest request)
    : m_method({})
    , m_request(std::move(request))
{
}

std::shared_ptr<MVRCommand> MVRCommand::initWithURLString(const std::string& URLString)
{
    return initWithURLString(URLString, foundation::Value::dictionary());
}

std::shared_ptr<MVRCommand> MVRCommand::initWithURLString(const std::string& URLString, const foundation::Value& parameters)
{
    return initWithURLString(URLString, "GET", parameters);
}

std::shared_ptr<MVRCommand> MVRCommand::initWithURLString(const std::string& URLString, const std::string& method,
                                                          const foundation::Value& parameters)
{
    if (URLString.empty())
        return nullptr;
    return std::shared_ptr<MVRCommand>(new MVRCommand(URLString, method, parameters));
}

std::shared_ptr<MVRCommand> MVRCommand::initWithRequest(const net::URLRequest& request)
{
    return std::shared_ptr<MVRCommand>(new MVRCommand(request));
}

void MVRCommand::sendWithCompletionHandler(CompletionHandler handler)
{
    m_completionHandler = std::move(handler);
    foundation::NotificationCenter::defaultCenter().post(MVRCommandSendNotification, shared_from_this());
}

net::URLRequest MVRCommand::service(MVRAPIService&, const net::URLRequest& request)
{
    return request;
}

std::shared_ptr<MVRAPIResponse> MVRCommand::processResponse(const std::shared_ptr<MVRAPIResponse>& response, foundation::ErrorPtr*)
{
    return response;
}

void MVRCommand::finishWithResponse(std::shared_ptr<MVRAPIResponse> response, foundation::ErrorPtr error)
{
    auto self = shared_from_this(); // the handler may drop the last other reference
    if (!error) {
        foundation::ErrorPtr processingError;
        response = processResponse(response, &processingError);
        error = processingError;
    }
    foundation::NotificationUserInfo userInfo;
    if (response)
        userInfo[MVRCommandAPIResponseKey] = response;
    if (error)
        userInfo[MVRCommandErrorKey] = error;
    auto& center = foundation::NotificationCenter::defaultCenter();
    center.post(MVRCommandWillFinishNotification, self, userInfo);
    if (auto handler = std::exchange(m_completionHandler, nullptr))
        handler(response, error);
    center.post(MVRCommandDidFinishNotification, self, userInfo);
}

std::string MVRCommand::description() const
{
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    // A password among the parameters never reaches a log.
    foundation::Value shown = m_parameters;
    if (shown.contains("password"))
        shown.set("password", "********");
    return "<MVRCommand:" + std::string(address) + "; URLString = " + m_URLString + "; method = " + m_method
        + "; parameters = " + (shown.isNull() ? std::string("(null)") : foundation::toJSON(shown)) + ">";
}
