// URL sessions: one curl multi loop per session on its own thread.

#include "Platform/Net/URLSession.h"

#include "Platform/Net/ContentRange.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "Platform/Foundation/PropertyList.h"
#include "Platform/Net/URLError.h"

namespace net {

const std::string URLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";
const std::string URLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
const std::string URLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
const std::string URLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";

namespace {

constexpr int kMaximumRedirects = 16;
// A delegate that keeps answering a server's refusals with credentials would ask for ever.
constexpr int kMaximumAuthenticationAttempts = 8;
// The most bytes of response head (status lines and fields, interim answers included) taken
// from a server; libcurl's own bounds lie above this, on single lines somewhat below.
constexpr std::size_t kMaximumHeadBytes = 256 * 1024;

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

double monotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long urlErrorCodeFor(CURLcode code, long osErrno)
{
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return NSURLErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
            return NSURLErrorNotConnectedToInternet;
        return NSURLErrorCannotConnectToHost;
    // Schemes are checked before libcurl sees a URL: this is a server that speaks something
    // other than HTTP (HTTP/0.9, an unknown version).
    case CURLE_UNSUPPORTED_PROTOCOL: return NSURLErrorBadServerResponse;
    case CURLE_URL_MALFORMAT: return NSURLErrorBadURL;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE: return NSURLErrorNetworkConnectionLost;
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY: return NSURLErrorBadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS: return NSURLErrorHTTPTooManyRedirects;
    case CURLE_BAD_CONTENT_ENCODING: return NSURLErrorCannotDecodeRawData;
    case CURLE_FILESIZE_EXCEEDED: return NSURLErrorDataLengthExceedsMaximum;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH: return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED: return NSURLErrorSecureConnectionFailed;
    default: return NSURLErrorUnknown;
    }
}

std::string trim(const std::string& s)
{
    auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool sameName(std::string_view a, std::string_view b)
{
    return !CaseInsensitiveLess {}(a, b) && !CaseInsensitiveLess {}(b, a);
}

std::string urlText(const URLRequest& request)
{
    return request.URL() ? request.URL()->absoluteString() : std::string();
}

std::optional<std::int64_t> headerInteger(const std::optional<std::string>& value)
{
    if (!value || value->empty())
        return std::nullopt;
    char* end = nullptr;
    long long number = std::strtoll(value->c_str(), &end, 10);
    if (end == value->c_str() || number < 0)
        return std::nullopt;
    return number;
}

// The HTTP authentication scheme a "WWW-Authenticate" field offers that we can answer (Digest
// preferred over Basic, as libcurl picks), with its realm; none for other schemes.
std::optional<std::pair<std::string, std::string>> offeredAuthentication(const std::string& field)
{
    auto lower = field;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto offers = [&](const std::string& scheme) {
        for (std::size_t at = lower.find(scheme); at != std::string::npos; at = lower.find(scheme, at + 1)) {
            const bool startsToken = at == 0 || lower[at - 1] == ' ' || lower[at - 1] == ',';
            const std::size_t end = at + scheme.size();
            if (startsToken && (end == lower.size() || lower[end] == ' ' || lower[end] == ','))
                return at;
        }
        return std::string::npos;
    };
    std::size_t at = offers("digest");
    std::string method = URLAuthenticationMethodHTTPDigest;
    if (at == std::string::npos) {
        at = offers("basic");
        method = URLAuthenticationMethodHTTPBasic;
    }
    if (at == std::string::npos)
        return std::nullopt;
    std::string realm;
    auto realmAt = lower.find("realm=", at);
    if (realmAt != std::string::npos) {
        std::size_t begin = realmAt + 6;
        if (begin < field.size() && field[begin] == '"') {
            auto close = field.find('"', begin + 1);
            realm = field.substr(begin + 1, close == std::string::npos ? std::string::npos : close - begin - 1);
        } else {
            auto close = field.find_first_of(", ", begin);
            realm = field.substr(begin, close == std::string::npos ? std::string::npos : close - begin);
        }
    }
    return std::make_pair(method, realm);
}

URLProtectionSpace protectionSpaceOf(const foundation::URL& url)
{
    URLProtectionSpace space;
    space.host = url.host();
    space.protocol = url.scheme();
    space.port = url.port().value_or(space.protocol == "https" ? 443 : 80);
    return space;
}

bool sameServer(const URLProtectionSpace& a, const URLProtectionSpace& b)
{
    return sameName(a.host, b.host) && a.port == b.port && a.protocol == b.protocol;
}

double finiteOr(double seconds, double fallback)
{
    return std::isfinite(seconds) && seconds > 0 ? seconds : fallback;
}

// The keys of our resume data.
const char* const kResumeURL = "NKResumeURL";
const char* const kResumeFile = "NKResumeFile";
const char* const kResumeETag = "NKResumeETag";

std::string makeTemporaryDownloadFile(std::FILE** file)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/NetDownload_XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    int fd = ::mkstemp(path.data());
    if (fd < 0)
        return {};
    *file = ::fdopen(fd, "wb");
    if (!*file) {
        ::close(fd);
        ::unlink(path.data());
        return {};
    }
    return path.data();
}

// One content coding of a response body (gzip or deflate), undone here rather than by libcurl:
// libcurl hands on what it inflated of a stream that stops early or goes on with garbage, and
// the body would arrive shorter or wrong as a success.
class ContentDecoder {
public:
    enum class Format { Gzip, Deflate };
    using Sink = std::function<bool(const char* bytes, std::size_t length)>;

    explicit ContentDecoder(Format format) : m_format(format) { m_ready = begin(format == Format::Gzip ? 16 + MAX_WBITS : 32 + MAX_WBITS); }
    ~ContentDecoder()
    {
        if (m_ready)
            inflateEnd(&m_stream);
    }
    ContentDecoder(const ContentDecoder&) = delete;
    ContentDecoder& operator=(const ContentDecoder&) = delete;

    // Inflates `length` bytes into `sink`; false when they are not what the coding says, or when
    // the sink refuses.
    bool feed(const char* bytes, std::size_t length, const Sink& sink)
    {
        if (!m_ready)
            return false;
        if (length == 0)
            return true;
        m_fed = true;
        if (m_stream.total_out == 0 && m_format == Format::Deflate && !m_raw && m_head.size() < 65536)
            m_head.append(bytes, length);
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes));
        m_stream.avail_in = static_cast<uInt>(length);
        unsigned char buffer[16384];
        while (true) {
            if (m_ended) {
                if (m_stream.avail_in == 0)
                    return true;
                // Only another gzip member may follow the end of one.
                if (m_format != Format::Gzip || *m_stream.next_in != 0x1f || inflateReset(&m_stream) != Z_OK)
                    return false;
                m_ended = false;
            }
            m_stream.next_out = buffer;
            m_stream.avail_out = sizeof buffer;
            const int status = inflate(&m_stream, Z_NO_FLUSH);
            const std::size_t produced = sizeof buffer - m_stream.avail_out;
            if (status == Z_DATA_ERROR && m_stream.total_out == 0 && m_format == Format::Deflate && !m_raw && m_head.size() < 65536) {
                // "deflate" as some servers send it: the bare stream, without its zlib wrapper.
                inflateEnd(&m_stream);
                m_raw = true;
                m_ready = begin(-MAX_WBITS);
                const std::string head = std::move(m_head);
                m_head.clear();
                return feed(head.data(), head.size(), sink);
            }
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                return false;
            if (produced && !sink(reinterpret_cast<const char*>(buffer), produced))
                return false;
            if (status == Z_STREAM_END) {
                m_ended = true;
                continue;
            }
            if (m_stream.avail_in == 0 && m_stream.avail_out != 0)
                return true;
            if (status == Z_BUF_ERROR && produced == 0)
                return true;
        }
    }

    // Whether the stream came to its end (or never began: a body without bytes).
    bool complete() const { return m_ended || !m_fed; }

private:
    bool begin(int windowBits)
    {
        m_stream = z_stream {};
        return inflateInit2(&m_stream, windowBits) == Z_OK;
    }

    const Format m_format;
    z_stream m_stream {};
    bool m_ready = false;
    bool m_fed = false;
    bool m_ended = false;
    bool m_raw = false;
    // What came before the first inflated byte, to read again as a bare stream.
    std::string m_head;
};

// A question to the delegate whose answer the network thread waits for. A delegate that
// drops its completion without calling it gets the fallback answer, so nothing waits forever.
template <class Answer>
struct PendingAnswer {
    explicit PendingAnswer(Answer fallback) : value(std::move(fallback)) { }
    void set(Answer answer)
    {
        std::lock_guard lock(mutex);
        if (answered)
            return;
        value = std::move(answer);
        answered = true;
        condition.notify_all();
    }
    void release()
    {
        std::lock_guard lock(mutex);
        answered = true;
        condition.notify_all();
    }
    Answer wait()
    {
        std::unique_lock lock(mutex);
        condition.wait(lock, [this] { return answered; });
        return value;
    }
    std::mutex mutex;
    std::condition_variable condition;
    Answer value;
    bool answered = false;
};

template <class Answer>
struct AnswerGuard {
    explicit AnswerGuard(std::shared_ptr<PendingAnswer<Answer>> pending) : pending(std::move(pending)) { }
    AnswerGuard(const AnswerGuard&) = delete;
    AnswerGuard& operator=(const AnswerGuard&) = delete;
    ~AnswerGuard() { pending->release(); }
    std::shared_ptr<PendingAnswer<Answer>> pending;
};

} // namespace

std::shared_ptr<URLCredentialStorage> URLSessionConfiguration::sharedCredentialStorage()
{
    return URLCredentialStorage::sharedCredentialStorage();
}

std::shared_ptr<URLCredentialStorage> URLCredentialStorage::sharedCredentialStorage()
{
    static const auto& storage = *new auto(std::make_shared<URLCredentialStorage>());
    return storage;
}

std::string URLCredentialStorage::keyOf(const URLProtectionSpace& space)
{
    return space.protocol + "://" + space.host + ":" + std::to_string(space.port) + "\n" + space.realm;
}

URLCredentialPtr URLCredentialStorage::defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_defaults.find(keyOf(space));
    return it == m_defaults.end() ? nullptr : it->second;
}

void URLCredentialStorage::setDefaultCredential(const URLCredentialPtr& credential, const URLProtectionSpace& space)
{
    if (!credential || credential->persistence == URLCredentialPersistence::None)
        return;
    std::lock_guard lock(m_mutex);
    m_defaults[keyOf(space)] = credential;
}

void URLCredentialStorage::removeCredentialsForProtectionSpace(const URLProtectionSpace& space)
{
    std::lock_guard lock(m_mutex);
    m_defaults.erase(keyOf(space));
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string identifier)
{
    URLSessionConfiguration configuration;
    configuration.m_identifier = std::move(identifier);
    return configuration;
}

void URLSessionConfiguration::setTimeoutIntervalForRequest(double seconds)
{
    m_timeoutForRequest = finiteOr(seconds, 60);
}

void URLSessionConfiguration::setTimeoutIntervalForResource(double seconds)
{
    m_timeoutForResource = finiteOr(seconds, 7 * 24 * 3600);
}

// Where a task's body comes from.
struct URLSessionTask::Body {
    enum class Source { None, Data, File, Stream, AskDelegate };
    Source source = Source::None;
    foundation::Data data;
    std::string path;
    InputStreamPtr stream;
    // A stream can be read once: asking again (a redirect, a credential) needs a new one.
    bool streamUsed = false;
};

// What a session and its tasks share: the configuration, the delegate and its queue, the
// network loop, and the tasks that have not completed.
struct URLSessionEngine : std::enable_shared_from_this<URLSessionEngine> {
    URLSessionEngine(URLSessionConfiguration configuration, dispatch::QueuePtr queue, std::shared_ptr<URLSessionDelegate> delegate,
                     bool shared);
    ~URLSessionEngine();

    std::shared_ptr<URLSessionDelegate> currentDelegate()
    {
        std::lock_guard lock(mutex);
        return delegate;
    }

    // Runs `body` on the delegate queue with the session and its delegate, when both remain.
    void tellDelegate(std::function<void(URLSession&, URLSessionDelegate&)> body)
    {
        if (!currentDelegate())
            return;
        delegateQueue->async([self = shared_from_this(), body = std::move(body)] {
            auto session = self->session.lock();
            auto delegate = self->currentDelegate();
            if (session && delegate)
                body(*session, *delegate);
        });
    }

    bool delegateResponds(URLSessionDelegate::Hook hook)
    {
        auto delegate = currentDelegate();
        return delegate && delegate->respondsTo(hook);
    }

    // Asks on the delegate queue and waits for the answer; only ever called off that queue.
    template <class Answer>
    Answer ask(Answer fallback,
               std::function<void(URLSession&, URLSessionDelegate&, std::function<void(Answer)>)> question)
    {
        auto pending = std::make_shared<PendingAnswer<Answer>>(fallback);
        delegateQueue->async([self = shared_from_this(), pending, question = std::move(question)] {
            auto guard = std::make_shared<AnswerGuard<Answer>>(pending);
            auto session = self->session.lock();
            auto delegate = self->currentDelegate();
            if (!session || !delegate)
                return;
            question(*session, *delegate, [guard](Answer answer) { guard->pending->set(std::move(answer)); });
        });
        return pending->wait();
    }

    void registerTask(const std::shared_ptr<URLSessionTask>& task)
    {
        std::lock_guard lock(mutex);
        live[task->taskIdentifier()] = task;
    }

    // On the delegate queue after a task's completion was delivered, or from a task that goes
    // away without having completed.
    void retire(std::uint64_t identifier, bool onDelegateQueue);
    void finishInvalidationOnDelegateQueue();
    std::vector<std::shared_ptr<URLSessionTask>> liveTasks();

    URLSessionConfiguration configuration;
    dispatch::QueuePtr delegateQueue;
    std::shared_ptr<NetworkLoop> loop;
    std::atomic<std::uint64_t> nextIdentifier { 1 };
    std::weak_ptr<URLSession> session;
    const bool shared;

    std::mutex mutex;
    std::shared_ptr<URLSessionDelegate> delegate;
    std::map<std::uint64_t, std::weak_ptr<URLSessionTask>> live;
    bool invalidating = false;
    bool invalidated = false;
};

// The per-transfer state that only the network thread touches.
struct URLSessionTask::Transfer {
    std::shared_ptr<URLSessionTask> task;
    std::shared_ptr<URLSessionEngine> engine;
    URLRequest request;
    EasyHandle easy;
    HeaderList headers;
    int redirects = 0;
    // The request a redirect leads to, once it was decided to follow it.
    std::optional<URLRequest> followRedirect;
    // Whether this transfer's server trust was judged (a handshake of its own, or a check of the
    // connection it was given).
    bool trustEvaluated = false;

    // Body.
    std::shared_ptr<Body> body;
    std::size_t dataOffset = 0;
    std::FILE* bodyFile = nullptr;
    InputStreamPtr stream;
    foundation::ErrorPtr bodyError;
    std::int64_t bodyLength = -1;
    std::int64_t bodyBytesRead = 0;
    std::int64_t lastReported = 0;

    // Response.
    HTTPHeaderFields responseHeaders;
    std::string httpVersion = "HTTP/1.1";
    long status = 0;
    bool headersDone = false;
    std::size_t headBytes = 0;
    std::optional<HTTPURLResponse> response;
    foundation::Data received;
    // Decoded body bytes so far, against the configuration's maximum.
    std::int64_t bodyBytes = 0;
    // Whether this transfer asked for compressed bodies, and the codings of the response's body
    // in the order they were applied.
    bool decodes = false;
    std::vector<std::unique_ptr<ContentDecoder>> decoders;

    // Download.
    std::FILE* downloadFile = nullptr;
    std::string downloadPath;
    std::int64_t resumeOffset = 0;
    std::int64_t written = 0;
    bool keepDownloadFile = false;

    double lastActivity = 0;
    double timeout = 0;
    bool paused = false;
    // Set by a callback that ended the transfer for a reason of ours.
    foundation::ErrorPtr failure;

    // HTTP authentication: the credential sent, whether libcurl's own first round of Digest
    // is being skipped, and the credential to ask again with.
    URLCredentialPtr credential;
    bool digestRound = false;
    bool discardBody = false;
    URLCredentialPtr retryCredential;
    URLProtectionSpace retrySpace;

    ~Transfer()
    {
        if (bodyFile)
            std::fclose(bodyFile);
        if (stream)
            stream->close();
        if (downloadFile)
            std::fclose(downloadFile);
        if (!downloadPath.empty() && !keepDownloadFile)
            std::remove(downloadPath.c_str());
    }

    bool isDownload() const { return task->m_kind == Kind::Download; }
    foundation::ErrorPtr urlError(long code) const { return makeURLError(code, urlText(request)); }
    foundation::ErrorPtr oversizedHead() const
    {
        return makeURLError(NSURLErrorBadServerResponse, urlText(request),
                            "The server's response header is larger than the " + std::to_string(kMaximumHeadBytes) + " bytes allowed.");
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* context);
    size_t readBody(char* buffer, size_t length);
    static int onSeek(void* context, curl_off_t offset, int origin);
    static size_t onData(char* bytes, size_t size, size_t count, void* context);
    static size_t onHeader(char* bytes, size_t size, size_t count, void* context);
    static int onProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded);
    static CURLcode onSSLContext(CURL*, void* sslContext, void* context);
    static int onVerifyServer(X509_STORE_CTX* store, void* context);
    static int onConnectionReady(void* context, char*, char*, int, int);

    bool headersComplete();
    bool decideRedirect();
    bool withinLimit(std::size_t length);
    bool acceptBody(const char* bytes, std::size_t length);
    bool setUpDecoders();
    bool decode(std::size_t index, const char* bytes, std::size_t length);
    bool deliver(const char* bytes, std::size_t length);
    bool decodedWhole() const;
    security::TrustPtr trustFor(X509* leaf, STACK_OF(X509) * chain) const;
    using ChallengeAnswer = std::pair<URLSessionAuthChallengeDisposition, URLCredentialPtr>;
    ChallengeAnswer askDelegate(const URLAuthenticationChallenge& challenge, bool taskFirst);
    bool evaluateServerTrust(const security::TrustPtr& trust);
    // A 401: false ends the transfer (to ask again, or cancelled).
    bool answerAuthenticationChallenge(const std::string& field);
    bool becomeDownload();
};

// MARK: - Body and response callbacks

size_t URLSessionTask::Transfer::onRead(char* buffer, size_t size, size_t count, void* context)
{
    auto* self = static_cast<Transfer*>(context);
    size_t n = self->readBody(buffer, size * count);
    if (n != CURL_READFUNC_ABORT)
        self->bodyBytesRead += static_cast<std::int64_t>(n);
    return n;
}

size_t URLSessionTask::Transfer::readBody(char* buffer, size_t length)
{
    auto* self = this;
    self->lastActivity = monotonicSeconds();
    switch (self->body->source) {
    case Body::Source::Data: {
        size_t n = std::min(length, self->body->data.size() - self->dataOffset);
        if (n)
            std::memcpy(buffer, self->body->data.data() + self->dataOffset, n);
        self->dataOffset += n;
        return n;
    }
    case Body::Source::File: {
        size_t n = std::fread(buffer, 1, length, self->bodyFile);
        if (n < length && std::ferror(self->bodyFile)) {
            self->bodyError = foundation::Error::posix(errno ? errno : EIO, self->body->path);
            return CURL_READFUNC_ABORT;
        }
        return n;
    }
    case Body::Source::Stream:
    case Body::Source::AskDelegate: {
        if (!self->stream)
            return 0;
        long n = self->stream->read(reinterpret_cast<std::uint8_t*>(buffer), length);
        if (n < 0) {
            self->bodyError = self->stream->streamError();
            if (!self->bodyError)
                self->bodyError = self->urlError(NSURLErrorUnknown);
            return CURL_READFUNC_ABORT;
        }
        return static_cast<size_t>(n);
    }
    case Body::Source::None:
        return 0;
    }
    return 0;
}

int URLSessionTask::Transfer::onSeek(void* context, curl_off_t offset, int origin)
{
    auto* self = static_cast<Transfer*>(context);
    if (origin != SEEK_SET || offset < 0)
        return CURL_SEEKFUNC_CANTSEEK;
    self->bodyBytesRead = offset;
    if (self->body->source == Body::Source::Data && static_cast<std::size_t>(offset) <= self->body->data.size()) {
        self->dataOffset = static_cast<std::size_t>(offset);
        return CURL_SEEKFUNC_OK;
    }
    if (self->body->source == Body::Source::File && self->bodyFile && std::fseek(self->bodyFile, offset, SEEK_SET) == 0)
        return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

size_t URLSessionTask::Transfer::onHeader(char* bytes, size_t size, size_t count, void* context)
{
    auto* self = static_cast<Transfer*>(context);
    const size_t length = size * count;
    // A head counts as activity only once it is whole: one dribbled out a line at a time, or
    // interim answers without end, is no answer and times out like silence.
    self->headBytes += length;
    if (self->headBytes > kMaximumHeadBytes) {
        self->failure = self->oversizedHead();
        return 0;
    }
    std::string line(bytes, length);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new status line: an interim answer came before; start over.
        self->responseHeaders.clear();
        self->httpVersion = line.substr(0, line.find(' '));
        auto space = line.find(' ');
        self->status = space == std::string::npos ? 0 : std::strtol(line.c_str() + space + 1, nullptr, 10);
        self->headersDone = false;
        self->discardBody = false;
        return length;
    }
    if (trim(line).empty()) {
        if (self->status >= 100 && self->status < 200)
            return length;
        self->lastActivity = monotonicSeconds();
        return self->headersComplete() ? length : 0;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos)
        return length;
    std::string name = trim(line.substr(0, colon));
    std::string value = trim(line.substr(colon + 1));
    if (name.empty())
        return length;
    auto it = self->responseHeaders.find(name);
    if (it == self->responseHeaders.end())
        self->responseHeaders.emplace(std::move(name), std::move(value));
    else
        it->second += ", " + value;
    return length;
}

namespace {

// Whether a Content-Length field (its lines joined with commas) states one length: decimal
// digits that fit, the same in every line. Anything else leaves the body's end to guesswork.
bool isTrustworthyContentLength(const std::string& field)
{
    std::optional<std::uint64_t> length;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t end = field.find(',', start);
        const std::string part = trim(field.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (part.empty() || part.size() > 18 || part.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const std::uint64_t value = std::stoull(part);
        if (length && *length != value)
            return false;
        length = value;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

} // namespace

bool URLSessionTask::Transfer::headersComplete()
{
    headersDone = true;
    for (const auto& [name, value] : responseHeaders) {
        if (sameName(name, "Content-Length") && !isTrustworthyContentLength(value)) {
            failure = urlError(NSURLErrorBadServerResponse);
            return false;
        }
    }
    response = HTTPURLResponse(*request.URL(), status, responseHeaders, httpVersion);
    const auto location = response->valueForHTTPHeaderField("Location");
    const bool redirect = (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) && location
        && !location->empty();
    if (redirect) {
        // Decided before a byte of its body is read: a redirect followed ends this transfer
        // here (its body could be endless); one refused is the answer and is read as such.
        if (!decideRedirect() || followRedirect)
            return false;
    }
    if (status == 401) {
        if (auto field = response->valueForHTTPHeaderField("WWW-Authenticate")) {
            if (digestRound) {
                // libcurl's unauthenticated first request of Digest: it answers the challenge itself.
                digestRound = false;
                discardBody = true;
                return true;
            }
            if (!answerAuthenticationChallenge(*field))
                return false;
        }
    } else if (credential && credential->persistence != URLCredentialPersistence::None) {
        if (const auto& storage = engine->configuration.credentialStorage())
            storage->setDefaultCredential(credential, task->m_authSpace);
    }

    if (!setUpDecoders())
        return false;
    std::int64_t expected = response->expectedContentLength();
    if (isDownload() && resumeOffset > 0 && status == 206) {
        // A part that does not go on where the file ends would be glued on at the wrong place;
        // a part from the first byte is the whole body again.
        const auto first = contentRangeFirstByte(*response);
        if (first == 0) {
            status = 200;
        } else if (first != resumeOffset) {
            failure = urlError(NSURLErrorBadServerResponse);
            return false;
        }
    }
    if (isDownload() && resumeOffset > 0) {
        if (status == 206) {
            expected = expected >= 0 ? expected + resumeOffset : -1;
            written = resumeOffset;
            engine->tellDelegate([task = task, offset = resumeOffset, expected](URLSession& session, URLSessionDelegate& delegate) {
                delegate.didResumeAtOffset(session, static_cast<URLSessionDownloadTask&>(*task), offset, expected);
            });
        } else {
            // The server sends the whole body again: start the file over rather than append.
            if (downloadFile && (std::fflush(downloadFile) != 0 || ::ftruncate(::fileno(downloadFile), 0) != 0
                                 || std::fseek(downloadFile, 0, SEEK_SET) != 0)) {
                failure = foundation::Error::posix(errno ? errno : EIO, downloadPath);
                return false;
            }
            resumeOffset = 0;
        }
    }
    {
        std::lock_guard lock(task->m_mutex);
        task->m_response = response;
        task->m_bytesExpectedToReceive = expected;
    }
    if (task->m_kind != Kind::Download && !task->m_handler && engine->delegateResponds(URLSessionDelegate::Hook::DidReceiveResponse)) {
        auto disposition = engine->ask<URLSessionResponseDisposition>(
            URLSessionResponseDisposition::Cancel,
            [task = task, response = *response](URLSession& session, URLSessionDelegate& delegate,
                                                std::function<void(URLSessionResponseDisposition)> completion) {
                delegate.didReceiveResponse(session, static_cast<URLSessionDataTask&>(*task), response, std::move(completion));
            });
        if (disposition == URLSessionResponseDisposition::BecomeDownload && task->m_kind == Kind::Data)
            return becomeDownload();
        if (disposition != URLSessionResponseDisposition::Allow) {
            failure = urlError(NSURLErrorCancelled);
            return false;
        }
    }
    return true;
}

bool URLSessionTask::Transfer::answerAuthenticationChallenge(const std::string& field)
{
    auto offered = offeredAuthentication(field);
    if (!offered)
        return true;
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = protectionSpaceOf(*request.URL());
    challenge.protectionSpace.realm = offered->second;
    challenge.protectionSpace.authenticationMethod = offered->first;
    challenge.failureResponse = response;
    {
        std::lock_guard lock(task->m_mutex);
        if (credential)
            ++task->m_authFailures;
        challenge.previousFailureCount = task->m_authFailures;
        if (task->m_authAttempts >= kMaximumAuthenticationAttempts)
            return true;
    }

    const ChallengeAnswer answer = askDelegate(challenge, true);
    URLCredentialPtr chosen;
    switch (answer.first) {
    case URLSessionAuthChallengeDisposition::UseCredential:
        chosen = answer.second;
        break;
    case URLSessionAuthChallengeDisposition::PerformDefaultHandling:
        if (challenge.previousFailureCount == 0) {
            if (const auto& storage = engine->configuration.credentialStorage())
                chosen = storage->defaultCredentialForProtectionSpace(challenge.protectionSpace);
        }
        break;
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
        failure = urlError(NSURLErrorCancelled);
        return false;
    case URLSessionAuthChallengeDisposition::RejectProtectionSpace:
        break;
    }
    if (!chosen || !chosen->hasPassword())
        return true; // the 401 is the answer
    retryCredential = std::move(chosen);
    retrySpace = challenge.protectionSpace;
    return false;
}

bool URLSessionTask::Transfer::becomeDownload()
{
    auto session = engine->session.lock();
    std::shared_ptr<URLSessionDownloadTask> download;
    if (session)
        download = session->downloadTaskContinuing(*task);
    if (!download) {
        failure = urlError(NSURLErrorCancelled);
        return false;
    }
    downloadPath = makeTemporaryDownloadFile(&downloadFile);
    if (!downloadFile) {
        failure = foundation::Error::posix(errno ? errno : EIO, downloadPath);
        return false;
    }
    auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task);
    {
        std::lock_guard lock(dataTask->m_mutex);
        dataTask->m_state = State::Completed;
        dataTask->m_body.reset();
    }
    task = download;
    engine->tellDelegate([dataTask, download](URLSession& session, URLSessionDelegate& delegate) {
        delegate.didBecomeDownloadTask(session, *dataTask, *download);
    });
    engine->retire(dataTask->m_identifier, false);
    return true;
}

namespace {

bool sameOrigin(const foundation::URL& a, const foundation::URL& b)
{
    return sameServer(protectionSpaceOf(a), protectionSpaceOf(b));
}

// Header fields that carry no secret. Credentials travel in fields of every name (an API key
// in a header of its own), so a request sent on to another origin keeps only these.
bool carriesNoSecret(std::string_view name)
{
    for (std::string_view safe : { "Accept", "Accept-Charset", "Accept-Encoding", "Accept-Language", "Cache-Control", "Content-Language",
                                   "Content-Type", "Pragma", "User-Agent" }) {
        if (sameName(name, safe))
            return true;
    }
    return false;
}

// The request a redirect leads to, as the platform builds it; none without a usable Location.
std::optional<URLRequest> redirectedRequest(const URLRequest& request, const HTTPURLResponse& response, long status)
{
    auto location = response.valueForHTTPHeaderField("Location");
    auto target = location ? foundation::URL::URLWithString(*location, *request.URL()) : std::nullopt;
    if (!target)
        return std::nullopt;
    URLRequest next = request;
    next.setURL(*target);
    const std::string& method = request.HTTPMethod();
    if (status == 303 || ((status == 301 || status == 302) && method == "POST")) {
        if (method != "HEAD")
            next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setHTTPBodyStream(nullptr);
        next.setValueForHTTPHeaderField(std::nullopt, "Content-Type");
        next.setValueForHTTPHeaderField(std::nullopt, "Content-Length");
    }
    if (!sameOrigin(*target, *request.URL())) {
        for (const auto& [name, value] : request.allHTTPHeaderFields()) {
            if (!carriesNoSecret(name))
                next.setValueForHTTPHeaderField(std::nullopt, name);
        }
    }
    return next;
}

} // namespace

// Whether the transfer may go on; sets followRedirect when the redirect is to be followed.
bool URLSessionTask::Transfer::decideRedirect()
{
    if (redirects >= kMaximumRedirects) {
        failure = urlError(NSURLErrorHTTPTooManyRedirects);
        return false;
    }
    std::optional<URLRequest> next = redirectedRequest(request, *response, status);
    // What was sent encrypted is never sent again in clear behind the caller's back.
    if (next && request.URL()->scheme() == "https" && next->URL()->scheme() != "https") {
        failure = makeURLError(NSURLErrorAppTransportSecurityRequiresSecureConnection, next->URL()->absoluteString());
        return false;
    }
    if (next && next->HTTPMethod() == request.HTTPMethod() && body->source == Body::Source::Stream
        && !engine->delegateResponds(URLSessionDelegate::Hook::NeedNewBodyStream))
        next.reset();
    // A body sent again goes whole (a sign-in's password with it): never to another origin. The
    // redirect is then the answer.
    if (next && next->HTTPMethod() == request.HTTPMethod() && body->source != Body::Source::None
        && !sameOrigin(*next->URL(), *request.URL()))
        next.reset();
    if (next && engine->delegateResponds(URLSessionDelegate::Hook::WillPerformHTTPRedirection)) {
        next = engine->ask<std::optional<URLRequest>>(
            std::nullopt, [task = task, response = *response, proposed = *next](URLSession& session, URLSessionDelegate& delegate,
                                                                              std::function<void(std::optional<URLRequest>)> completion) {
                delegate.willPerformHTTPRedirection(session, *task, response, proposed, std::move(completion));
            });
    }
    followRedirect = std::move(next);
    return true;
}

size_t URLSessionTask::Transfer::onData(char* bytes, size_t size, size_t count, void* context)
{
    auto* self = static_cast<Transfer*>(context);
    const size_t length = size * count;
    self->lastActivity = monotonicSeconds();
    if (self->followRedirect)
        return 0;
    if (self->discardBody)
        return self->withinLimit(length) ? length : 0; // 0 aborts the transfer
    if (!self->decoders.empty())
        return self->decode(self->decoders.size() - 1, bytes, length) ? length : 0;
    return self->deliver(bytes, length) ? length : 0;
}

bool URLSessionTask::Transfer::setUpDecoders()
{
    decoders.clear();
    auto field = decodes ? response->valueForHTTPHeaderField("Content-Encoding") : std::nullopt;
    if (!field)
        return true;
    std::size_t start = 0;
    while (start <= field->size()) {
        const std::size_t end = field->find(',', start);
        std::string coding = trim(field->substr(start, end == std::string::npos ? std::string::npos : end - start));
        for (auto& c : coding)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (coding == "gzip" || coding == "x-gzip")
            decoders.push_back(std::make_unique<ContentDecoder>(ContentDecoder::Format::Gzip));
        else if (coding == "deflate")
            decoders.push_back(std::make_unique<ContentDecoder>(ContentDecoder::Format::Deflate));
        else if (!coding.empty() && coding != "identity")
            decoders.clear(), decoders.push_back(nullptr); // a coding we never asked for
        if (decoders.size() > 4 || (!decoders.empty() && !decoders.back())) {
            failure = urlError(NSURLErrorCannotDecodeRawData);
            return false;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

// Undoes the codings from `index` down (the last applied first) and delivers what comes out.
bool URLSessionTask::Transfer::decode(std::size_t index, const char* bytes, std::size_t length)
{
    const bool fed = decoders[index]->feed(bytes, length, [this, index](const char* out, std::size_t count) {
        return index == 0 ? deliver(out, count) : decode(index - 1, out, count);
    });
    if (!fed && !failure)
        failure = urlError(NSURLErrorCannotDecodeRawData);
    return fed;
}

bool URLSessionTask::Transfer::decodedWhole() const
{
    for (const auto& decoder : decoders) {
        if (!decoder->complete())
            return false;
    }
    return true;
}

// Hands on body bytes as the caller sees them, decoded.
bool URLSessionTask::Transfer::deliver(const char* bytes, std::size_t length)
{
    auto* self = this;
    if (!self->withinLimit(length))
        return false;
    if (self->isDownload()) {
        if (!self->downloadFile || std::fwrite(bytes, 1, length, self->downloadFile) != length) {
            self->failure = foundation::Error::posix(errno ? errno : EIO, self->downloadPath);
            return false;
        }
        self->written += static_cast<std::int64_t>(length);
        std::int64_t expected;
        {
            std::lock_guard lock(self->task->m_mutex);
            self->task->m_bytesReceived += static_cast<std::int64_t>(length);
            expected = self->task->m_bytesExpectedToReceive;
        }
        self->engine->tellDelegate([task = self->task, length, total = self->written, expected](URLSession& session, URLSessionDelegate& delegate) {
            delegate.didWriteData(session, static_cast<URLSessionDownloadTask&>(*task), static_cast<std::int64_t>(length), total, expected);
        });
        return true;
    }
    {
        std::lock_guard lock(self->task->m_mutex);
        self->task->m_bytesReceived += static_cast<std::int64_t>(length);
    }
    return self->acceptBody(bytes, length);
}

bool URLSessionTask::Transfer::withinLimit(std::size_t length)
{
    // Counted as delivered, that is after any content decoding: a small compressed body may
    // inflate without end. Bodies read past (a challenge's) and bodies on disk count as well.
    const std::int64_t maximum = engine->configuration.maximumResponseBodyBytes();
    if (bodyBytes + static_cast<std::int64_t>(length) > maximum) {
        failure = makeURLError(NSURLErrorDataLengthExceedsMaximum, urlText(request),
                               "The response is larger than the " + std::to_string(maximum) + " bytes allowed.");
        return false;
    }
    bodyBytes += static_cast<std::int64_t>(length);
    return true;
}

bool URLSessionTask::Transfer::acceptBody(const char* bytes, std::size_t length)
{
    // Nothing may be thrown through curl; running out of memory ends this task alone.
    try {
        if (task->m_handler) {
            if (received.empty() && response) {
                // Room for the announced length, up to a little: an announcement costs nothing.
                const std::int64_t expected = response->expectedContentLength();
                if (expected > 0)
                    received.reserve(static_cast<std::size_t>(std::min<std::int64_t>(expected, std::int64_t(8) << 20)));
            }
            received.insert(received.end(), bytes, bytes + length);
        } else {
            engine->tellDelegate([task = task, chunk = foundation::Data(bytes, bytes + length)](URLSession& session,
                                                                                               URLSessionDelegate& delegate) {
                delegate.didReceiveData(session, static_cast<URLSessionDataTask&>(*task), chunk);
            });
        }
    } catch (const std::bad_alloc&) {
        failure = makeURLError(NSURLErrorDataLengthExceedsMaximum, urlText(request), "There is not enough memory for the response.");
        return false;
    }
    return true;
}

int URLSessionTask::Transfer::onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t)
{
    auto* self = static_cast<Transfer*>(context);
    // Bodies that libcurl reads past on its own (the challenge before a Digest answer) never
    // reach onData: the bytes it took off the wire count against the limit all the same.
    if (downloaded > self->engine->configuration.maximumResponseBodyBytes()) {
        if (!self->failure)
            self->withinLimit(static_cast<std::size_t>(downloaded));
        return 1; // aborts the transfer
    }
    // Progress counts the body's bytes, not the framing of a chunked upload.
    const std::int64_t uploaded = self->bodyBytesRead;
    if (uploaded != self->lastReported) {
        std::int64_t sent = uploaded - self->lastReported;
        self->lastReported = uploaded;
        self->lastActivity = monotonicSeconds();
        std::int64_t expected;
        {
            std::lock_guard lock(self->task->m_mutex);
            self->task->m_bytesSent = uploaded;
            expected = self->task->m_bytesExpectedToSend;
        }
        self->engine->tellDelegate([task = self->task, sent, total = static_cast<std::int64_t>(uploaded), expected](
                                       URLSession& session, URLSessionDelegate& delegate) {
            delegate.didSendBodyData(session, *task, sent, total, expected);
        });
    }
    return 0;
}

// MARK: - Server trust

CURLcode URLSessionTask::Transfer::onSSLContext(CURL*, void* sslContext, void* context)
{
    // The chain is ours to judge: our callback replaces OpenSSL's verification, and a refusal
    // ends the handshake.
    // The callback's context is the transfer that opened the connection: no renegotiation may
    // call it again once that transfer is gone.
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &Transfer::onVerifyServer, context);
    return CURLE_OK;
}

security::TrustPtr URLSessionTask::Transfer::trustFor(X509* leaf, STACK_OF(X509) * chain) const
{
    std::vector<security::CertificatePtr> certificates { security::Certificate::createWithX509(leaf) };
    for (int i = 0; chain && i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        if (X509_cmp(certificate, leaf) != 0)
            certificates.push_back(security::Certificate::createWithX509(certificate));
    }
    return security::Trust::createWithCertificates(std::move(certificates), security::Policy::SSL(true, request.URL()->host()));
}

int URLSessionTask::Transfer::onVerifyServer(X509_STORE_CTX* store, void* context)
{
    auto* self = static_cast<Transfer*>(context);
    self->trustEvaluated = true;
    if (self->evaluateServerTrust(self->trustFor(X509_STORE_CTX_get0_cert(store), X509_STORE_CTX_get0_untrusted(store))))
        return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
    return 0;
}

int URLSessionTask::Transfer::onConnectionReady(void* context, char*, char*, int, int)
{
    // A connection kept from an earlier request shakes no hands, so the handshake's check never
    // ran for this request: the chain the connection was opened with is judged again, by this
    // request's delegate and host, before anything is sent on it.
    auto* self = static_cast<Transfer*>(context);
    if (self->trustEvaluated || self->request.URL()->scheme() != "https")
        return CURL_PREREQFUNC_OK;
    self->trustEvaluated = true;
    curl_tlssessioninfo* info = nullptr;
    SSL* ssl = nullptr;
    if (curl_easy_getinfo(self->easy.get(), CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info && info->backend == CURLSSLBACKEND_OPENSSL)
        ssl = static_cast<SSL*>(info->internals);
    X509* leaf = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
    if (!leaf) {
        self->failure = self->urlError(NSURLErrorSecureConnectionFailed);
        return CURL_PREREQFUNC_ABORT;
    }
    return self->evaluateServerTrust(self->trustFor(leaf, SSL_get_peer_cert_chain(ssl))) ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

URLSessionTask::Transfer::ChallengeAnswer URLSessionTask::Transfer::askDelegate(const URLAuthenticationChallenge& challenge, bool taskFirst)
{
    // HTTP challenges go to the task's delegate member first, server trust to the session's.
    const bool asksTask = engine->delegateResponds(URLSessionDelegate::Hook::TaskChallenge);
    const bool asksSession = engine->delegateResponds(URLSessionDelegate::Hook::SessionChallenge);
    if (!asksTask && !asksSession)
        return { URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr };
    const bool toTask = asksTask && (taskFirst || !asksSession);
    return engine->ask<ChallengeAnswer>({ URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr },
                                        [challenge, toTask, task = task](URLSession& session, URLSessionDelegate& delegate,
                                                                         std::function<void(ChallengeAnswer)> completion) {
                                            auto answer = [completion](URLSessionAuthChallengeDisposition d, URLCredentialPtr c) {
                                                completion({ d, std::move(c) });
                                            };
                                            if (toTask)
                                                delegate.taskDidReceiveChallenge(session, *task, challenge, answer);
                                            else
                                                delegate.didReceiveChallenge(session, challenge, answer);
                                        });
}

bool URLSessionTask::Transfer::evaluateServerTrust(const security::TrustPtr& trust)
{
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = request.URL()->host();
    challenge.protectionSpace.port = request.URL()->port().value_or(443);
    challenge.protectionSpace.protocol = "https";
    challenge.protectionSpace.authenticationMethod = URLAuthenticationMethodServerTrust;
    challenge.protectionSpace.serverTrust = trust;

    const ChallengeAnswer answer = askDelegate(challenge, false);
    switch (answer.first) {
    case URLSessionAuthChallengeDisposition::UseCredential:
        if (answer.second && answer.second->trust)
            return true;
        break;
    case URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge:
        failure = urlError(NSURLErrorCancelled);
        return false;
    default:
        break;
    }
    if (trust->evaluateWithError())
        return true;
    failure = urlError(NSURLErrorServerCertificateUntrusted);
    return false;
}

// MARK: - Network loop

// The network thread of one session. The thread keeps the loop alive until it is told to stop,
// so the loop never waits for itself when the last task lets go of its session on it.
struct NetworkLoop : std::enable_shared_from_this<NetworkLoop> {
    using ResumeDataHandler = std::function<void(const std::optional<foundation::Data>&)>;
    enum class Op { Add, Cancel, Pause, Unpause, CancelProducingResumeData };
    struct Request {
        Op op;
        std::shared_ptr<URLSessionTask> task;
        ResumeDataHandler handler;
    };

    explicit NetworkLoop(long maximumConnectionsPerHost)
        : maximumConnectionsPerHost(maximumConnectionsPerHost)
    {
        initialiseCurlOnce();
    }

    ~NetworkLoop()
    {
        for (auto& [easy, transfer] : active)
            curl_multi_remove_handle(multi, easy);
        active.clear();
        if (multi)
            curl_multi_cleanup(multi);
    }

    void stop()
    {
        std::lock_guard lock(mutex);
        stopping = true;
        if (multi)
            curl_multi_wakeup(multi);
    }

    void post(Request request)
    {
        std::lock_guard lock(mutex);
        startThreadLocked();
        requests.push_back(std::move(request));
        curl_multi_wakeup(multi);
    }

    void startThreadLocked()
    {
        if (multi)
            return;
        multi = curl_multi_init();
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, maximumConnectionsPerHost);
        std::thread([self = shared_from_this()] { self->loop(); }).detach();
    }

    void loop()
    {
        while (true) {
            std::vector<Request> work;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    break;
                work.swap(requests);
            }
            for (auto& request : work) {
                switch (request.op) {
                case Op::Add: start(std::move(request.task), 0); break;
                case Op::Cancel: finishCancelled(request.task, nullptr); break;
                case Op::CancelProducingResumeData: finishCancelled(request.task, std::move(request.handler)); break;
                case Op::Pause: setPaused(request.task, true); break;
                case Op::Unpause: setPaused(request.task, false); break;
                }
            }

            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE)
                    finish(message->easy_handle, message->data.result);
            }
            checkTimeouts();

            int waitMs = active.empty() ? 1000 : 50;
            curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
        }
    }

    URLSessionTask::Transfer* find(const std::shared_ptr<URLSessionTask>& task)
    {
        for (auto& [easy, transfer] : active) {
            if (transfer->task == task)
                return transfer.get();
        }
        return nullptr;
    }

    void setPaused(const std::shared_ptr<URLSessionTask>& task, bool paused)
    {
        auto* transfer = find(task);
        if (!transfer || transfer->paused == paused)
            return;
        transfer->paused = paused;
        transfer->lastActivity = monotonicSeconds();
        curl_easy_pause(transfer->easy.get(), paused ? CURLPAUSE_ALL : CURLPAUSE_CONT);
    }

    bool prepareBody(URLSessionTask::Transfer& transfer)
    {
        using Source = URLSessionTask::Body::Source;
        auto& body = *transfer.body;
        switch (body.source) {
        case Source::None:
            return true;
        case Source::Data:
            transfer.bodyLength = static_cast<std::int64_t>(body.data.size());
            return true;
        case Source::File: {
            transfer.bodyFile = std::fopen(body.path.c_str(), "rb");
            if (!transfer.bodyFile) {
                transfer.failure = foundation::Error::posix(errno, body.path);
                return false;
            }
            std::error_code code;
            auto size = std::filesystem::file_size(body.path, code);
            transfer.bodyLength = code ? -1 : static_cast<std::int64_t>(size);
            return true;
        }
        case Source::Stream:
        case Source::AskDelegate: {
            if (body.source == Source::Stream && !body.streamUsed) {
                transfer.stream = body.stream;
                body.streamUsed = true;
            } else
                transfer.stream = askForNewBodyStream(transfer);
            if (!transfer.stream) {
                transfer.failure = transfer.urlError(NSURLErrorUnknown);
                return false;
            }
            transfer.stream->open();
            transfer.bodyLength = headerInteger(transfer.request.valueForHTTPHeaderField("Content-Length")).value_or(-1);
            return true;
        }
        }
        return true;
    }

    InputStreamPtr askForNewBodyStream(URLSessionTask::Transfer& transfer)
    {
        if (!transfer.engine->delegateResponds(URLSessionDelegate::Hook::NeedNewBodyStream))
            return nullptr;
        return transfer.engine->ask<InputStreamPtr>(nullptr, [task = transfer.task](URLSession& session, URLSessionDelegate& delegate,
                                                                                    std::function<void(InputStreamPtr)> completion) {
            delegate.needNewBodyStream(session, *task, std::move(completion));
        });
    }

    void start(std::shared_ptr<URLSessionTask> task, int redirects)
    {
        auto transfer = std::make_unique<URLSessionTask::Transfer>();
        transfer->task = task;
        transfer->engine = task->m_engine;
        transfer->request = task->currentRequest();
        transfer->redirects = redirects;
        transfer->body = task->m_body ? task->m_body : std::make_shared<URLSessionTask::Body>();
        const URLRequest& request = transfer->request;
        const std::string url = urlText(request);
        const std::string scheme = request.URL() ? request.URL()->scheme() : std::string();
        if (scheme != "http" && scheme != "https") {
            task->complete({}, std::nullopt, makeURLError(NSURLErrorUnsupportedURL, url));
            return;
        }
        {
            std::lock_guard lock(task->m_mutex);
            if (task->m_state == URLSessionTask::State::Canceling || task->m_state == URLSessionTask::State::Completed)
                return; // cancelled meanwhile; its cancel is queued behind this
        }
        if (!prepareBody(*transfer)) {
            task->complete({}, std::nullopt, transfer->failure);
            return;
        }
        {
            std::lock_guard lock(task->m_mutex);
            task->m_bytesExpectedToSend = transfer->body->source == URLSessionTask::Body::Source::None ? 0 : transfer->bodyLength;
        }

        if (transfer->isDownload()) {
            if (task->m_resumeData && redirects == 0) {
                transfer->downloadPath = (*task->m_resumeData)[kResumeFile].asString();
                transfer->downloadFile = std::fopen(transfer->downloadPath.c_str(), "ab");
                if (transfer->downloadFile && std::fseek(transfer->downloadFile, 0, SEEK_END) == 0) {
                    long at = std::ftell(transfer->downloadFile);
                    transfer->resumeOffset = at > 0 ? at : 0;
                }
            } else {
                transfer->downloadPath = makeTemporaryDownloadFile(&transfer->downloadFile);
            }
            if (!transfer->downloadFile) {
                task->complete({}, std::nullopt, foundation::Error::posix(errno ? errno : EIO, transfer->downloadPath));
                return;
            }
        }

        transfer->easy.reset(curl_easy_init());
        CURL* easy = transfer->easy.get();
        if (!easy) {
            task->complete({}, std::nullopt, makeURLError(NSURLErrorUnknown, url));
            return;
        }
        auto* context = transfer.get();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &URLSessionTask::Transfer::onData);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, context);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &URLSessionTask::Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, context);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &URLSessionTask::Transfer::onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, context);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, context);
        // Trust is decided in our verification callback, host name included; every connection
        // shakes hands in full so that the callback is asked for every new connection.
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &URLSessionTask::Transfer::onSSLContext);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, context);
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &URLSessionTask::Transfer::onConnectionReady);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, context);

        const auto& configuration = transfer->engine->configuration;
        // A request that keeps the default time-out takes the session's.
        const double requested = request.timeoutInterval();
        transfer->timeout = requested > 0 && std::isfinite(requested) && requested != URLRequest::DefaultTimeoutInterval
            ? requested
            : configuration.timeoutIntervalForRequest();
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(transfer->timeout * 1000));
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(configuration.timeoutIntervalForResource(), 2e6) * 1000));

        HTTPHeaderFields fields = request.allHTTPHeaderFields();
        // The session's own fields go with its requests, and to another origin only if they
        // carry no secret.
        const bool atOrigin = !task->m_request.URL() || sameOrigin(*request.URL(), *task->m_request.URL());
        for (const auto& [name, value] : configuration.HTTPAdditionalHeaders()) {
            if (!fields.contains(name) && (atOrigin || carriesNoSecret(name)))
                fields.emplace(name, value);
        }
        fields.erase("Content-Length"); // curl writes the length of the body it sends
        {
            std::lock_guard lock(task->m_mutex);
            if (task->m_authCredential && request.URL() && sameServer(task->m_authSpace, protectionSpaceOf(*request.URL())))
                transfer->credential = task->m_authCredential;
        }
        if (transfer->credential) {
            // The credential answers the server's challenge in place of any header of the caller.
            for (auto it = fields.begin(); it != fields.end();)
                it = sameName(it->first, "Authorization") ? fields.erase(it) : std::next(it);
            curl_easy_setopt(easy, CURLOPT_USERNAME, transfer->credential->user->c_str());
            curl_easy_setopt(easy, CURLOPT_PASSWORD, transfer->credential->password.c_str());
            const bool digest = task->m_authSpace.authenticationMethod == URLAuthenticationMethodHTTPDigest;
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH, digest ? CURLAUTH_DIGEST : CURLAUTH_BASIC);
            transfer->digestRound = digest;
        }
        if (transfer->isDownload() && transfer->resumeOffset > 0) {
            fields["Range"] = "bytes=" + std::to_string(transfer->resumeOffset) + "-";
            if (auto etag = (*task->m_resumeData)[kResumeETag].stringValue(); etag && !etag->empty())
                fields["If-Range"] = *etag;
        }
        const bool hasBody = transfer->body->source != URLSessionTask::Body::Source::None;
        if (hasBody && transfer->bodyLength < 0)
            fields["Transfer-Encoding"] = "chunked";

        curl_slist* list = nullptr;
        bool hasAcceptEncoding = false;
        for (const auto& [name, value] : fields) {
            // Header text with line breaks would let a caller's value inject headers.
            if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
                continue;
            if (sameName(name, "Accept-Encoding"))
                hasAcceptEncoding = true;
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            list = curl_slist_append(list, line.c_str());
        }
        // No "Expect: 100-continue" round trip before bodies.
        list = curl_slist_append(list, "Expect:");
        // Compressed answers are asked for, and decoded, here; a caller that asks itself gets
        // the bytes as they came.
        if (!hasAcceptEncoding && !transfer->isDownload()) {
            list = curl_slist_append(list, "Accept-Encoding: gzip, deflate");
            transfer->decodes = true;
        }
        transfer->headers.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

        const std::string& method = request.HTTPMethod();
        if (method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (hasBody) {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_READFUNCTION, &URLSessionTask::Transfer::onRead);
            curl_easy_setopt(easy, CURLOPT_READDATA, context);
            curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &URLSessionTask::Transfer::onSeek);
            curl_easy_setopt(easy, CURLOPT_SEEKDATA, context);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer->bodyLength));
            if (method != "POST")
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        } else if (method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
            if (method == "POST" || method == "PUT") {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
            }
        }

        transfer->lastActivity = monotonicSeconds();
        bool paused;
        {
            std::lock_guard lock(task->m_mutex);
            paused = task->m_state == URLSessionTask::State::Suspended;
        }
        curl_multi_add_handle(multi, easy);
        auto* raw = transfer.get();
        active.emplace(easy, std::move(transfer));
        if (paused) {
            raw->paused = true;
            curl_easy_pause(easy, CURLPAUSE_ALL);
        }
    }

    std::unique_ptr<URLSessionTask::Transfer> take(CURL* easy)
    {
        auto it = active.find(easy);
        if (it == active.end())
            return nullptr;
        std::unique_ptr<URLSessionTask::Transfer> transfer = std::move(it->second);
        active.erase(it);
        curl_multi_remove_handle(multi, easy);
        return transfer;
    }

    void finish(CURL* easy, CURLcode result)
    {
        auto transfer = take(easy);
        if (!transfer)
            return;
        auto task = transfer->task;
        if (transfer->retryCredential) {
            {
                std::lock_guard lock(task->m_mutex);
                if (task->m_state == URLSessionTask::State::Canceling || task->m_state == URLSessionTask::State::Completed)
                    return;
                task->m_authCredential = transfer->retryCredential;
                task->m_authSpace = transfer->retrySpace;
                ++task->m_authAttempts;
            }
            start(task, transfer->redirects);
            return;
        }
        if (transfer->failure || transfer->bodyError) {
            auto error = transfer->failure ? transfer->failure : transfer->bodyError;
            transfer.reset(); // its partial download goes before anyone hears of the end
            task->complete({}, std::nullopt, error);
            return;
        }
        if (transfer->followRedirect) {
            // The transfer was ended on purpose once the redirect was decided.
            const URLRequest& next = *transfer->followRedirect;
            {
                std::lock_guard lock(task->m_mutex);
                if (task->m_state == URLSessionTask::State::Canceling || task->m_state == URLSessionTask::State::Completed)
                    return;
                task->m_currentRequest = next;
                if (transfer->body->source == URLSessionTask::Body::Source::Stream && !next.HTTPBodyStream()
                    && next.HTTPMethod() != transfer->request.HTTPMethod())
                    task->m_body = std::make_shared<URLSessionTask::Body>();
                if (next.HTTPMethod() == "GET" && transfer->request.HTTPMethod() != "GET")
                    task->m_body = std::make_shared<URLSessionTask::Body>();
            }
            start(task, transfer->redirects + 1);
            return;
        }
        if (result != CURLE_OK || transfer->status == 0 || !transfer->response) {
            long osErrno = 0;
            curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
            long code = result == CURLE_OK ? NSURLErrorBadServerResponse : urlErrorCodeFor(result, osErrno);
            auto error = transfer->urlError(code);
            // libcurl refuses a single head line past its own bound as if memory ran out.
            if (!transfer->headersDone && result == CURLE_OUT_OF_MEMORY)
                error = transfer->oversizedHead();
            transfer.reset();
            task->complete({}, std::nullopt, error);
            return;
        }
        if (!transfer->decodedWhole()) {
            auto error = transfer->urlError(NSURLErrorCannotDecodeRawData);
            transfer.reset();
            task->complete({}, std::nullopt, error);
            return;
        }
        if (transfer->isDownload()) {
            if (std::fflush(transfer->downloadFile) != 0) {
                task->complete({}, std::nullopt, foundation::Error::posix(errno ? errno : EIO, transfer->downloadPath));
                return;
            }
            std::fclose(transfer->downloadFile);
            transfer->downloadFile = nullptr;
            transfer->keepDownloadFile = true; // handed over; removed once delivered
            task->complete({}, transfer->response, nullptr, transfer->downloadPath);
            return;
        }
        task->complete(std::move(transfer->received), transfer->response, nullptr);
    }

    void finishCancelled(const std::shared_ptr<URLSessionTask>& task, ResumeDataHandler resumeDataHandler)
    {
        std::unique_ptr<URLSessionTask::Transfer> transfer;
        for (auto& [easy, candidate] : active) {
            if (candidate->task == task) {
                transfer = take(easy);
                break;
            }
        }
        std::optional<foundation::Data> resumeData;
        if (transfer && resumeDataHandler && transfer->isDownload() && transfer->downloadFile && transfer->response
            && (transfer->status == 200 || transfer->status == 206) && transfer->written > 0
            && std::fflush(transfer->downloadFile) == 0) {
            foundation::Value record = foundation::Value::dictionary({ { kResumeURL, urlText(transfer->request) },
                                                                       { kResumeFile, transfer->downloadPath } });
            if (auto etag = transfer->response->valueForHTTPHeaderField("ETag"))
                record.set(kResumeETag, *etag);
            foundation::ErrorPtr error;
            auto bytes = foundation::writePropertyList(record, foundation::PropertyListFormat::Binary, &error);
            if (!error) {
                resumeData = std::move(bytes);
                transfer->keepDownloadFile = true;
            }
        }
        if (resumeDataHandler) {
            task->m_engine->delegateQueue->async([resumeDataHandler, resumeData] { resumeDataHandler(resumeData); });
        }
        const auto& url = task->m_request.URL();
        task->complete({}, std::nullopt, makeURLError(NSURLErrorCancelled, url ? url->absoluteString() : std::string()));
    }

    void checkTimeouts()
    {
        const double now = monotonicSeconds();
        std::vector<CURL*> expired;
        for (auto& [easy, transfer] : active) {
            if (!transfer->paused && transfer->timeout > 0 && now - transfer->lastActivity > transfer->timeout)
                expired.push_back(easy);
        }
        for (CURL* easy : expired) {
            auto transfer = take(easy);
            transfer->task->complete({}, std::nullopt, transfer->urlError(NSURLErrorTimedOut));
        }
    }

    const long maximumConnectionsPerHost;
    std::mutex mutex;
    bool stopping = false;
    std::vector<Request> requests;
    CURLM* multi = nullptr;
    // Network thread only.
    std::map<CURL*, std::unique_ptr<URLSessionTask::Transfer>> active;
};

// MARK: - Engine

URLSessionEngine::URLSessionEngine(URLSessionConfiguration configuration, dispatch::QueuePtr queue,
                                   std::shared_ptr<URLSessionDelegate> delegate, bool shared)
    : configuration(std::move(configuration))
    , delegateQueue(std::move(queue))
    , loop(std::make_shared<NetworkLoop>(this->configuration.HTTPMaximumConnectionsPerHost()))
    , shared(shared)
    , delegate(std::move(delegate))
{
}

URLSessionEngine::~URLSessionEngine()
{
    loop->stop();
}

std::vector<std::shared_ptr<URLSessionTask>> URLSessionEngine::liveTasks()
{
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    std::lock_guard lock(mutex);
    for (auto& [identifier, weak] : live) {
        if (auto task = weak.lock())
            tasks.push_back(std::move(task));
    }
    return tasks;
}

void URLSessionEngine::retire(std::uint64_t identifier, bool onDelegateQueue)
{
    bool finishNow = false;
    {
        std::lock_guard lock(mutex);
        live.erase(identifier);
        finishNow = invalidating && !invalidated && live.empty();
    }
    if (!finishNow)
        return;
    if (onDelegateQueue)
        finishInvalidationOnDelegateQueue();
    else
        delegateQueue->async([self = shared_from_this()] { self->finishInvalidationOnDelegateQueue(); });
}

void URLSessionEngine::finishInvalidationOnDelegateQueue()
{
    std::shared_ptr<URLSessionDelegate> former;
    {
        std::lock_guard lock(mutex);
        if (invalidated || !live.empty())
            return;
        invalidated = true;
        former = std::move(delegate);
        delegate = nullptr;
    }
    auto owner = session.lock();
    if (former && owner)
        former->didBecomeInvalidWithError(*owner, nullptr);
}

// MARK: - URLSessionTask

namespace {
std::mutex& noticeMutex()
{
    static std::mutex mutex;
    return mutex;
}
URLSessionTask::NoticeHook& noticeHook()
{
    static URLSessionTask::NoticeHook hook;
    return hook;
}
} // namespace

void URLSessionTask::setNoticeHook(NoticeHook hook)
{
    std::lock_guard lock(noticeMutex());
    noticeHook() = std::move(hook);
}

URLSessionTask::URLSessionTask(Kind kind, std::shared_ptr<URLSessionEngine> engine, std::uint64_t identifier, URLRequest request)
    : m_kind(kind)
    , m_engine(std::move(engine))
    , m_identifier(identifier)
    , m_request(request)
    , m_currentRequest(std::move(request))
{
}

URLSessionTask::~URLSessionTask()
{
    // A task dropped before it completed no longer holds up the session's invalidation.
    bool completed;
    {
        std::lock_guard lock(m_mutex);
        completed = m_state == State::Completed;
    }
    if (!completed)
        m_engine->retire(m_identifier, false);
}

URLRequest URLSessionTask::currentRequest() const
{
    std::lock_guard lock(m_mutex);
    return m_currentRequest;
}

URLSessionTask::State URLSessionTask::state() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

std::optional<HTTPURLResponse> URLSessionTask::response() const
{
    std::lock_guard lock(m_mutex);
    return m_response;
}

foundation::ErrorPtr URLSessionTask::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::string URLSessionTask::taskDescription() const
{
    std::lock_guard lock(m_mutex);
    return m_description;
}

void URLSessionTask::setTaskDescription(std::string description)
{
    std::lock_guard lock(m_mutex);
    m_description = std::move(description);
}

std::int64_t URLSessionTask::countOfBytesReceived() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesReceived;
}

std::int64_t URLSessionTask::countOfBytesSent() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesSent;
}

std::int64_t URLSessionTask::countOfBytesExpectedToSend() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesExpectedToSend;
}

std::int64_t URLSessionTask::countOfBytesExpectedToReceive() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesExpectedToReceive;
}

void URLSessionTask::resume()
{
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Suspended)
            return;
        m_state = State::Running;
        first = !m_started;
        m_started = true;
    }
    m_engine->loop->post({ first ? NetworkLoop::Op::Add : NetworkLoop::Op::Unpause, shared_from_this(), nullptr });
    NoticeHook hook;
    {
        std::lock_guard lock(noticeMutex());
        hook = noticeHook();
    }
    if (hook)
        hook(*this, Notice::Resumed);
}

void URLSessionTask::suspend()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Running)
            return;
        m_state = State::Suspended;
    }
    m_engine->loop->post({ NetworkLoop::Op::Pause, shared_from_this(), nullptr });
    NoticeHook hook;
    {
        std::lock_guard lock(noticeMutex());
        hook = noticeHook();
    }
    if (hook)
        hook(*this, Notice::Suspended);
}

void URLSessionTask::cancel()
{
    bool started = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Completed || m_state == State::Canceling)
            return;
        started = m_started;
        m_state = State::Canceling;
    }
    if (started) {
        m_engine->loop->post({ NetworkLoop::Op::Cancel, shared_from_this(), nullptr });
    } else {
        const auto& url = m_request.URL();
        complete({}, std::nullopt, makeURLError(NSURLErrorCancelled, url ? url->absoluteString() : std::string()));
    }
}

void URLSessionDownloadTask::cancelByProducingResumeData(std::function<void(const std::optional<foundation::Data>&)> handler)
{
    bool started = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Completed || m_state == State::Canceling) {
            if (handler)
                m_engine->delegateQueue->async([handler] { handler(std::nullopt); });
            return;
        }
        started = m_started;
        m_state = State::Canceling;
    }
    if (started) {
        m_engine->loop->post({ NetworkLoop::Op::CancelProducingResumeData, shared_from_this(),
                               handler ? handler : [](const std::optional<foundation::Data>&) { } });
        return;
    }
    if (handler)
        m_engine->delegateQueue->async([handler] { handler(std::nullopt); });
    const auto& url = m_request.URL();
    complete({}, std::nullopt, makeURLError(NSURLErrorCancelled, url ? url->absoluteString() : std::string()));
}

void URLSessionTask::complete(foundation::Data data, std::optional<HTTPURLResponse> response, foundation::ErrorPtr error,
                              std::optional<std::string> downloadedFile)
{
    CompletionHandler handler;
    DownloadCompletionHandler downloadHandler;
    {
        std::lock_guard lock(m_mutex);
        if (m_state == State::Completed) {
            if (downloadedFile)
                std::remove(downloadedFile->c_str());
            return;
        }
        // A cancel that raced with the end of the transfer still ends as cancelled.
        if (m_state == State::Canceling && !(error && error->is(foundation::NSURLErrorDomain, NSURLErrorCancelled))) {
            data.clear();
            response.reset();
            if (downloadedFile) {
                std::remove(downloadedFile->c_str());
                downloadedFile.reset();
            }
            const auto& url = m_request.URL();
            error = makeURLError(NSURLErrorCancelled, url ? url->absoluteString() : std::string());
        }
        m_state = State::Completed;
        if (response)
            m_response = response;
        else if (error)
            response = m_response; // a refused redirect or a late failure keeps what arrived
        m_error = error;
        handler = std::move(m_handler);
        m_handler = nullptr;
        downloadHandler = std::move(m_downloadHandler);
        m_downloadHandler = nullptr;
        m_body.reset();
    }
    if (error)
        response.reset();
    auto engine = m_engine;
    engine->delegateQueue->async([self = shared_from_this(), engine, handler = std::move(handler),
                                  downloadHandler = std::move(downloadHandler), data = std::move(data),
                                  response = std::move(response), error = std::move(error),
                                  downloadedFile = std::move(downloadedFile)] {
        auto session = engine->session.lock();
        auto delegate = engine->currentDelegate();
        if (self->m_kind == Kind::Download) {
            std::optional<foundation::URL> location;
            if (downloadedFile && !error)
                location = foundation::URL::fileURLWithPath(*downloadedFile);
            if (downloadHandler)
                downloadHandler(location, response, error);
            else if (location && session && delegate)
                delegate->didFinishDownloadingToURL(*session, static_cast<URLSessionDownloadTask&>(*self), *location);
            if (downloadedFile)
                std::remove(downloadedFile->c_str());
        } else if (handler) {
            handler(data, response, error);
        }
        if (!handler && !downloadHandler && session && delegate)
            delegate->didCompleteWithError(*session, *self, error);
        engine->retire(self->m_identifier, true);
    });
}

// MARK: - URLSession

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       dispatch::QueuePtr delegateQueue, bool shared)
    : m_configuration(std::move(configuration))
    , m_delegateQueue(delegateQueue ? std::move(delegateQueue) : dispatch::Queue::serial("com.quintor.net.session.delegate"))
    , m_engine(std::make_shared<URLSessionEngine>(m_configuration, m_delegateQueue, std::move(delegate), shared))
    , m_shared(shared)
{
}

URLSession::~URLSession()
{
    if (!m_shared) {
        for (auto& task : m_engine->liveTasks())
            task->cancel();
    }
}

std::shared_ptr<URLSession> URLSession::sharedSession()
{
    static const std::shared_ptr<URLSession> session = [] {
        std::shared_ptr<URLSession> made(new URLSession({}, nullptr, nullptr, true));
        made->m_engine->session = made;
        return made;
    }();
    return session;
}

std::shared_ptr<URLSession> URLSession::sessionWithDelegateQueue(dispatch::QueuePtr delegateQueue)
{
    return sessionWithConfiguration({}, nullptr, std::move(delegateQueue));
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration& configuration)
{
    return sessionWithConfiguration(configuration, nullptr, nullptr);
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration& configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 dispatch::QueuePtr delegateQueue)
{
    std::shared_ptr<URLSession> session(new URLSession(configuration, std::move(delegate), std::move(delegateQueue), false));
    session->m_engine->session = session;
    return session;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const
{
    return m_engine->currentDelegate();
}

template <class T>
std::shared_ptr<T> URLSession::makeTask(URLSessionTask::Kind kind, const URLRequest& request)
{
    {
        std::lock_guard lock(m_engine->mutex);
        if (m_engine->invalidating)
            return nullptr;
    }
    struct Enabler : T {
        Enabler(URLSessionTask::Kind k, std::shared_ptr<URLSessionEngine> e, std::uint64_t i, URLRequest r)
            : T(k, std::move(e), i, std::move(r)) { }
    };
    auto task = std::make_shared<Enabler>(kind, m_engine, m_engine->nextIdentifier++, request);
    task->m_body = std::make_shared<URLSessionTask::Body>();
    if (request.HTTPBodyStream()) {
        task->m_body->source = URLSessionTask::Body::Source::Stream;
        task->m_body->stream = request.HTTPBodyStream();
    } else if (request.HTTPBody() && !request.HTTPBody()->empty()) {
        task->m_body->source = URLSessionTask::Body::Source::Data;
        task->m_body->data = *request.HTTPBody();
    }
    m_engine->registerTask(task);
    return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    URLSessionTask::CompletionHandler completionHandler)
{
    auto task = makeTask<URLSessionDataTask>(URLSessionTask::Kind::Data, request);
    if (task)
        task->m_handler = std::move(completionHandler);
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, const foundation::URL& fromFile,
                                                                        URLSessionTask::CompletionHandler completionHandler)
{
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
    if (!task)
        return nullptr;
    task->m_handler = std::move(completionHandler);
    task->m_body->source = URLSessionTask::Body::Source::File;
    task->m_body->path = fromFile.path();
    task->m_body->data.clear();
    task->m_body->stream = nullptr;
    std::error_code code;
    auto size = std::filesystem::file_size(task->m_body->path, code);
    task->m_bytesExpectedToSend = code ? -1 : static_cast<std::int64_t>(size);
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, const foundation::Data& fromData,
                                                                        URLSessionTask::CompletionHandler completionHandler)
{
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
    if (!task)
        return nullptr;
    task->m_handler = std::move(completionHandler);
    task->m_body->source = URLSessionTask::Body::Source::Data;
    task->m_body->data = fromData;
    task->m_body->stream = nullptr;
    task->m_bytesExpectedToSend = static_cast<std::int64_t>(fromData.size());
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request)
{
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::Upload, request);
    if (!task)
        return nullptr;
    if (!request.HTTPBodyStream())
        task->m_body->source = URLSessionTask::Body::Source::AskDelegate;
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request,
                                                                            URLSessionTask::DownloadCompletionHandler handler)
{
    auto task = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, request);
    if (task)
        task->m_downloadHandler = std::move(handler);
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                               URLSessionTask::DownloadCompletionHandler handler)
{
    foundation::ErrorPtr error;
    foundation::Value record = foundation::readPropertyList(resumeData, &error);
    if (error || !record.isDictionary())
        return nullptr;
    auto url = foundation::URL::URLWithString(record[kResumeURL].asString());
    const std::string& path = record[kResumeFile].asString();
    std::error_code code;
    if (!url || path.empty() || !std::filesystem::is_regular_file(path, code))
        return nullptr;
    auto task = downloadTaskWithRequest(URLRequest(*url), std::move(handler));
    if (task)
        task->m_resumeData = record;
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskContinuing(URLSessionTask& dataTask)
{
    auto download = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::Download, dataTask.originalRequest());
    if (!download)
        return nullptr;
    std::lock_guard lock(dataTask.m_mutex);
    std::lock_guard downloadLock(download->m_mutex);
    download->m_body = std::make_shared<URLSessionTask::Body>();
    download->m_currentRequest = dataTask.m_currentRequest;
    download->m_state = dataTask.m_state == URLSessionTask::State::Suspended ? URLSessionTask::State::Suspended : URLSessionTask::State::Running;
    download->m_started = true;
    download->m_response = dataTask.m_response;
    download->m_description = dataTask.m_description;
    download->m_bytesExpectedToReceive = dataTask.m_bytesExpectedToReceive;
    download->m_bytesSent = dataTask.m_bytesSent;
    download->m_bytesExpectedToSend = dataTask.m_bytesExpectedToSend;
    return download;
}

void URLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionDataTask>>, std::vector<std::shared_ptr<URLSessionUploadTask>>,
                       std::vector<std::shared_ptr<URLSessionDownloadTask>>)> handler)
{
    auto tasks = m_engine->liveTasks();
    m_delegateQueue->async([tasks = std::move(tasks), handler = std::move(handler)] {
        std::vector<std::shared_ptr<URLSessionDataTask>> data;
        std::vector<std::shared_ptr<URLSessionUploadTask>> uploads;
        std::vector<std::shared_ptr<URLSessionDownloadTask>> downloads;
        for (const auto& task : tasks) {
            if (task->state() == URLSessionTask::State::Completed)
                continue;
            switch (task->kind()) {
            case URLSessionTask::Kind::Data: data.push_back(std::static_pointer_cast<URLSessionDataTask>(task)); break;
            case URLSessionTask::Kind::Upload: uploads.push_back(std::static_pointer_cast<URLSessionUploadTask>(task)); break;
            case URLSessionTask::Kind::Download: downloads.push_back(std::static_pointer_cast<URLSessionDownloadTask>(task)); break;
            }
        }
        handler(std::move(data), std::move(uploads), std::move(downloads));
    });
}

void URLSession::finishTasksAndInvalidate()
{
    if (m_shared)
        return;
    bool finishNow;
    {
        std::lock_guard lock(m_engine->mutex);
        if (m_engine->invalidating)
            return;
        m_engine->invalidating = true;
        finishNow = m_engine->live.empty();
    }
    if (finishNow)
        m_delegateQueue->async([engine = m_engine] { engine->finishInvalidationOnDelegateQueue(); });
}

void URLSession::invalidateAndCancel()
{
    if (m_shared)
        return;
    finishTasksAndInvalidate();
    for (auto& task : m_engine->liveTasks())
        task->cancel();
}

} // namespace net
