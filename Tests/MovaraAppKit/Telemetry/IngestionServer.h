#pragma once
// A telemetry ingestion endpoint for tests, on 127.0.0.1: it records every request (path,
// query, headers, body inflated when gzip) and answers from a script: 200 unless told
// otherwise, 503 with "x-beacon-retry-after-ms", 401, answers held back until released (slow),
// or every other request refused.

#include <zlib.h>

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/JSON.h"
#include "Tests/Platform/Net/LocalServer.h"

namespace telemetrytest {

struct ReceivedRequest {
    std::string path;
    std::string query;
    std::map<std::string, std::string> headers;
    std::string body; // inflated
    bool gzip = false;

    std::string header(const std::string& name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct Answer {
    Answer(int status = 200, std::optional<std::string> retryAfterMilliseconds = std::nullopt, bool hold = false)
        : status(status), retryAfterMilliseconds(std::move(retryAfterMilliseconds)), hold(hold) { }
    int status = 200;
    std::optional<std::string> retryAfterMilliseconds;
    bool hold = false;
};

inline std::string gunzip(const std::string& bytes)
{
    z_stream stream {};
    if (inflateInit2(&stream, 31) != Z_OK)
        return {};
    std::string out;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    int status;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
    } while (status == Z_OK);
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : std::string();
}

class IngestionServer {
public:
    IngestionServer()
    {
        m_local.server().Post(".*", [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); });
        m_local.start();
    }

    std::string baseURL() const { return m_local.baseURL(); }
    // Answers for the next requests, in order; afterwards 200.
    void script(std::initializer_list<Answer> answers)
    {
        std::lock_guard lock(m_mutex);
        m_script.insert(m_script.end(), answers.begin(), answers.end());
    }
    // From now on every other request is answered 503 (the first one included).
    void refuseEveryOtherRequest()
    {
        std::lock_guard lock(m_mutex);
        m_flaky = true;
    }
    void releaseHeldRequests() { m_local.releaseHeldRequests(); }
    bool waitForHeldRequest() { return m_local.waitForHeldRequest(); }

    std::vector<ReceivedRequest> requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::size_t requestCount() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests.size();
    }
    // The JSON objects of every request to "/logs" answered 200, in order.
    std::vector<foundation::Value> deliveredLogs() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<foundation::Value> logs;
        for (std::size_t i = 0; i < m_requests.size(); ++i)
            if (m_statuses[i] == 200 && m_requests[i].path == "/logs") {
                const foundation::Value body = foundation::parseJSON(m_requests[i].body);
                for (const auto& log : body["logs"].asArray())
                    logs.push_back(log);
            }
        return logs;
    }

private:
    void handle(const httplib::Request& request, httplib::Response& response)
    {
        ReceivedRequest received;
        received.path = request.path;
        for (const auto& [key, value] : request.params)
            received.query += (received.query.empty() ? "" : "&") + key + "=" + value;
        for (const auto& [name, value] : request.headers)
            received.headers[name] = value;
        received.gzip = request.get_header_value("Content-Encoding") == "gzip";
        // The server library inflates gzip bodies itself when it can; what it left is inflated here.
        const std::string inflated = received.gzip ? gunzip(request.body) : std::string();
        received.body = inflated.empty() ? request.body : inflated;
        Answer answer;
        {
            std::lock_guard lock(m_mutex);
            if (!m_script.empty()) {
                answer = m_script.front();
                m_script.pop_front();
            } else if (m_flaky) {
                answer.status = (m_flakyCount++ % 2 == 0) ? 503 : 200;
            }
            m_requests.push_back(received);
            m_statuses.push_back(answer.status);
        }
        if (answer.hold)
            m_local.holdRequest();
        response.status = answer.status;
        if (answer.retryAfterMilliseconds)
            response.set_header("x-beacon-retry-after-ms", *answer.retryAfterMilliseconds);
        response.set_content("{}", "application/json");
    }

    mutable std::mutex m_mutex;
    std::deque<Answer> m_script;
    bool m_flaky = false;
    unsigned m_flakyCount = 0;
    std::vector<ReceivedRequest> m_requests;
    std::vector<int> m_statuses;
    // Last, so it stops before the state its handler uses goes.
    testsupport::LocalServer m_local;
};

} // namespace telemetrytest
