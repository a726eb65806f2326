#pragma once
// A local web service for the client's tests, over HTTPS with a certificate of the test
// authority (trusted as a system root while the test runs): "verify_credentials" answers the
// user record for the credential ann/secret (401 with the error JSON otherwise), "users" signs
// up, "forgot_password" knows only ann, "users/7" takes a PUT of changes (form or multipart)
// and keeps the two consents and the e-mail address it is sent, "broken" fails with an HTML page. Every request is recorded. Each test starts signed out.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "MovaraKit/Service/MVRAPIService.h"
#include "MovaraKit/Service/MVRAPIUser.h"
#include "MovaraKit/Service/MVRCredential.h"
#include "Platform/Dispatch/RunLoop.h"
#include "Platform/Foundation/Base64.h"
#include "Platform/Security/ServerTrust.h"
#include "Tests/Platform/Net/LocalServer.h"
#include "Tests/Support/TempDir.h"
#include "Tests/Support/TestCertificates.h"

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;
    std::string body;
    std::string apiKey;
    std::string authorization;
    std::map<std::string, std::string> files;  // multipart file parts: name to "filename:size"
    std::map<std::string, std::string> fields; // multipart form fields and decoded form bodies
};

// The test authority's certificate for 127.0.0.1, in files that live as long as the fixture.
struct TestServerIdentity {
    testsupport::TempDir dir;
    std::string certificate = dir.write("cert.pem", testsupport::TestPKI::shared().server.certificatePEM).string();
    std::string key = dir.write("key.pem", testsupport::TestPKI::shared().server.keyPEM).string();
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        security::Trust::setSystemRootsForTesting({ security::Certificate::createWithPEM(testsupport::TestPKI::shared().ca.certificatePEM) });
        MVRCredentialStorage::sharedCredentialStorage()->setLoginCredential(nullptr);
        MVRAPIUser::setCurrentUser(nullptr);
        drainRunLoop();

        auto& http = m_server.server();
        http.Get("/api/verify_credentials", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            const std::string authorization = req.get_header_value("Authorization");
            if (authorization != "Basic " + foundation::base64Encode(std::string("ann:secret"))
                && authorization != "Basic " + foundation::base64Encode(email() + ":secret")) {
                res.status = 401;
                res.set_content("{\"error_code\":0}", "application/json");
                return;
            }
            res.set_content(userJSON(), "application/json");
        });
        http.Put("/api/users/7", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            recordStagedBodies();
            std::lock_guard lock(m_mutex);
            if (m_failPuts) {
                res.status = 500;
                res.set_content("{\"error_code\":6}", "application/json");
                return;
            }
            const std::string consent = req.is_multipart_form_data() ? req.get_file_value("marketing_consent").content
                                                                     : req.get_param_value("marketing_consent");
            if (consent == "true" || consent == "false")
                m_consent = consent;
            const std::string tracking = req.is_multipart_form_data() ? req.get_file_value("tracking_consent").content
                                                                      : req.get_param_value("tracking_consent");
            if (tracking == "true" || tracking == "false")
                m_tracking = tracking;
            if (!req.is_multipart_form_data() && !req.get_param_value("email").empty())
                m_email = req.get_param_value("email");
            res.set_content(userJSONLocked(), "application/json");
        });
        http.Post("/api/users", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            if (req.get_param_value("username") == "taken") {
                res.status = 400;
                res.set_content("{\"error_code\":3,\"error\":\"That name is taken.\"}", "application/json");
                return;
            }
            std::lock_guard lock(m_mutex);
            res.status = m_signUpStatus;
            res.set_content("{\"id\":8,\"username\":\"" + req.get_param_value("username") + "\"}", "application/json");
        });
        http.Post("/api/forgot_password", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            if (req.get_param_value("username") == "ann" || req.get_param_value("email") == "ann@example.com") {
                res.status = 204;
                return;
            }
            res.status = 404;
            res.set_content("{\"error_code\":3}", "application/json");
        });
        http.Get("/api/empty_user", [this](const httplib::Request& req, httplib::Response& res) {
            record(req);
            res.set_content("{}", "application/json");
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
        // The service's session goes once it has become invalid.
        dispatch::RunLoop::main().runUntil([] { return false; }, 0.05);
        security::Trust::setSystemRootsForTesting({});
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

    void setFailPuts(bool fail)
    {
        std::lock_guard lock(m_mutex);
        m_failPuts = fail;
    }

    // "name mode" of each staged multipart body found in the temporary folder during a PUT.
    std::vector<std::string> stagedBodies()
    {
        std::lock_guard lock(m_mutex);
        return m_stagedBodies;
    }

    void setSignUpStatus(int status)
    {
        std::lock_guard lock(m_mutex);
        m_signUpStatus = status;
    }

    // The user's address as the service knows it; the user signs in with it or with "ann".
    std::string email()
    {
        std::lock_guard lock(m_mutex);
        return m_email;
    }

    TestServerIdentity m_identity;
    testsupport::LocalServer m_server { m_identity.certificate, m_identity.key };
    std::shared_ptr<MVRAPIService> m_service;

private:
    void record(const httplib::Request& req)
    {
        std::string query;
        for (const auto& [name, value] : req.params)
            query += (query.empty() ? "" : "&") + name + "=" + value;
        RecordedRequest recorded { req.method, req.path, query, req.body, req.get_header_value("MOVARA-API-KEY"),
                                   req.get_header_value("Authorization"), {}, {} };
        for (const auto& [name, file] : req.files) {
            if (file.filename.empty())
                recorded.fields[name] = file.content;
            else
                recorded.files[name] = file.filename + ":" + std::to_string(file.content.size());
        }
        if (!req.is_multipart_form_data()) {
            for (const auto& [name, value] : req.params)
                recorded.fields[name] = value;
        }
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(recorded));
    }
    void recordStagedBodies()
    {
        for (const auto& entry : std::filesystem::directory_iterator(std::getenv("TMPDIR"))) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("multi-part"))
                continue;
            struct stat info {};
            ::lstat(entry.path().c_str(), &info);
            char mode[8];
            std::snprintf(mode, sizeof mode, "%03o", info.st_mode & 0777);
            std::lock_guard lock(m_mutex);
            m_stagedBodies.push_back(name + " " + (S_ISLNK(info.st_mode) ? "link" : mode));
        }
    }
    std::string userJSON()
    {
        std::lock_guard lock(m_mutex);
        return userJSONLocked();
    }
    std::string userJSONLocked() const
    {
        std::string json = "{\"id\":7,\"username\":\"ann\",\"email\":\"" + m_email + "\",\"tracking_consent\":" + m_tracking;
        if (m_consent != "null")
            json += ",\"marketing_consent\":" + m_consent;
        return json + "}";
    }

    std::mutex m_mutex;
    std::vector<RecordedRequest> m_requests;
    std::string m_consent = "null";
    std::string m_tracking = "true";
    bool m_failPuts = false;
    int m_signUpStatus = 200;
    std::vector<std::string> m_stagedBodies;
    std::string m_email = "ann@example.com";
};
