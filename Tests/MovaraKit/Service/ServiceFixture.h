#pragma once
// A local web service for the client's tests: "verify_credentials" answers the user record for
// the credential ann/secret (401 otherwise), "users/7" takes a PUT of changes, "broken" fails
// with an HTML page. Every request is recorded. The fixture also starts each test signed out.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "MovaraKit/Service/MVRAPIService.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Base64.h"
#include "Tests/Platform/Net/LocalServer.h"

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::string apiKey;
    std::string authorization;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
        MVRAPIUser::setCurrentUser(nullptr);
        drainRunLoop();

        auto& http = m_server.server();
        http.Get("/api/verify_credentials", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            if (req.get_header_value("Authorization") != "Basic " + foundation::base64Encode(std::string("ann:secret"))) {
                res.status = 401;
                res.set_content("{\"error_code\":0}", "application/json");
                return;
            }
            res.set_content(userJSON(), "application/json");
        });
        http.Put("/api/users/7", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            std::lock_guard lock(m_mutex);
            if (req.body.find("marketing_consent=true") != std::string::npos)
                m_consent = "true";
            else if (req.body.find("marketing_consent=false") != std::string::npos)
                m_consent = "false";
            res.set_content(userJSONLocked(), "application/json");
        });
        http.Get("/api/broken", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.status = 500;
            res.set_content("<html>down</html>", "text/html");
        });
        m_server.start();
    }

    void TearDown() override
    {
        m_service.reset();
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
        MVRAPIUser::setCurrentUser(nullptr);
        drainRunLoop();
    }

    static void drainRunLoop()
    {
        while (dispatch::RunLoop::main().runOnce(0)) { }
    }

    std::shared_ptr<MVRAPIService> makeService()
    {
        m_service = MVRAPIService::initWithBaseURL(*foundation::URL::URLWithString(m_server.url("/api")), "0123456789abcdef0123456789abcdef");
        return m_service;
    }

    std::vector<RecordedRequest> requests()
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::size_t requestCount(const std::string& path)
    {
        std::size_t n = 0;
        for (const auto& r : requests())
            n += r.path == path;
        return n;
    }
    // "null" leaves the consent out of the record.
    void setServerConsent(std::string consent)
    {
        std::lock_guard lock(m_mutex);
        m_consent = std::move(consent);
    }

    testsupport::LocalServer m_server;
    std::shared_ptr<MVRAPIService> m_service;

private:
    void record(const httplib::Request& req)
    {
        std::string query;
        for (const auto& [name, value] : req.params)
            query += (query.empty() ? "" : "&") + name + "=" + value;
        std::lock_guard lock(m_mutex);
        m_requests.push_back({ req.method, req.path, query, req.body, req.get_header_value("MOVARA-API-KEY"),
                               req.get_header_value("Authorization") });
    }
    std::string userJSON()
    {
        std::lock_guard lock(m_mutex);
        return userJSONLocked();
    }
    std::string userJSONLocked() const
    {
        std::string json = "{\"id\":7,\"username\":\"ann\",\"email\":\"ann@example.com\",\"tracking_consent\":true";
        if (m_consent != "null")
            json += ",\"marketing_consent\":" + m_consent;
        return json + "}";
    }

    std::mutex m_mutex;
    std::vector<RecordedRequest> m_requests;
    std::string m_consent = "null";
};
