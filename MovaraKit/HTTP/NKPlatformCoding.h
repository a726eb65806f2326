#pragma once
// Keyed archiving of the platform values that the session managers and the request operations
// keep: URLs, session configurations, requests, HTTP responses and errors, each as an object of
// the platform's class name. Decoding checks every field and fails the unarchiver (Cocoa
// domain, 4864) on anything that does not make the value; a missing key gives none.

#include <optional>
#include <string>

#include "Platform/Foundation/Error.h"
#include "Platform/Foundation/KeyedArchiver.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Net/HTTPURLResponse.h"
#include "Platform/Net/URLRequest.h"
#include "Platform/Net/URLSession.h"

void NKEncodeURL(foundation::KeyedArchiver& coder, const std::optional<foundation::URL>& url, const std::string& key);
std::optional<foundation::URL> NKDecodeURL(foundation::KeyedUnarchiver& coder, const std::string& key);

void NKEncodeSessionConfiguration(foundation::KeyedArchiver& coder, const net::URLSessionConfiguration& configuration,
                                  const std::string& key);
std::optional<net::URLSessionConfiguration> NKDecodeSessionConfiguration(foundation::KeyedUnarchiver& coder, const std::string& key);

// The body stream of a request is not archived (a stream is read once).
void NKEncodeRequest(foundation::KeyedArchiver& coder, const net::URLRequest& request, const std::string& key);
std::optional<net::URLRequest> NKDecodeRequest(foundation::KeyedUnarchiver& coder, const std::string& key);

void NKEncodeResponse(foundation::KeyedArchiver& coder, const std::optional<net::HTTPURLResponse>& response, const std::string& key);
std::optional<net::HTTPURLResponse> NKDecodeResponse(foundation::KeyedUnarchiver& coder, const std::string& key);

// Domain, code and the user info's texts and numbers (nested errors too, to a small depth).
void NKEncodeError(foundation::KeyedArchiver& coder, const foundation::ErrorPtr& error, const std::string& key);
foundation::ErrorPtr NKDecodeError(foundation::KeyedUnarchiver& coder, const std::string& key);

// Records why an archive can't be decoded (the first reason wins).
void NKFailDecoding(foundation::KeyedUnarchiver& coder, const std::string& description);
