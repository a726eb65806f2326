#pragma once
// URLs as RFC 3986 references: parsing, resolution against a base, file URLs, path helpers
// and percent-encoding. URL is an immutable value (safe to share between threads); it always
// holds its resolved, percent-encoded text. URLComponents builds and takes apart URLs.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

// The characters that may stay unencoded in one part of a URL.
enum class URLCharacterSet {
    User,      // unreserved and sub-delims
    Password,  // unreserved and sub-delims
    Host,      // unreserved, sub-delims, ":" "[" "]"
    Path,      // unreserved, sub-delims but ";", ":" "@" "/"
    Query,     // unreserved, sub-delims, ":" "@" "/" "?"
    Fragment,  // as Query
    Unreserved // letters, digits, "-" "." "_" "~" (for one query-item name or value, say)
};

// Percent-encodes every byte of `text` outside `allowed` ("%" itself is always encoded).
std::string percentEncode(std::string_view text, URLCharacterSet allowed);
// Decodes %XX escapes; none when an escape is malformed or the result is not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

class URL {
public:
    // A file URL for a local path; a relative path is taken from the working directory.
    // A directory URL's text ends with "/" (as does any path that ends with "/").
    static URL fileURLWithPath(const std::string& path, bool isDirectory = false);
    // Parses an (absolute or relative) URL reference; none when the text is malformed
    // (characters that must be escaped, bad escapes, a bad port or host).
    static std::optional<URL> URLWithString(std::string_view string);
    // Resolves `string` against `base` (RFC 3986 section 5.2).
    static std::optional<URL> URLWithString(std::string_view string, const URL& base);

    const std::string& absoluteString() const { return m_string; }
    std::string scheme() const { return m_scheme; } // as written; empty for a relative reference
    bool isFileURL() const;
    // Decoded host (IPv6 literals without brackets); empty when there is none.
    std::string host() const;
    std::optional<int> port() const { return m_port; }
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    // The decoded path without a trailing "/" (except for "/" itself). For file URLs the bytes
    // are returned as encoded, whatever they are, so any file name survives the round trip.
    std::string path() const;
    const std::string& percentEncodedPath() const { return m_path; }
    std::optional<std::string> query() const { return m_query; }       // still percent-encoded
    std::optional<std::string> fragment() const { return m_fragment; } // still percent-encoded
    bool hasDirectoryPath() const { return !m_path.empty() && m_path.back() == '/'; }

    // Decoded path components, "/" first for an absolute path.
    std::vector<std::string> pathComponents() const;
    std::string lastPathComponent() const;
    std::string pathExtension() const; // "" when none (".hidden" has none)

    URL URLByAppendingPathComponent(const std::string& component, bool isDirectory = false) const;
    URL URLByDeletingLastPathComponent() const;
    URL URLByDeletingPathExtension() const;
    // Unchanged when the extension is empty or holds "/" or the URL has no last component.
    URL URLByAppendingPathExtension(const std::string& extension) const;
    // "." and ".." segments removed from the path.
    URL standardizedURL() const;

    bool operator==(const URL& other) const { return m_string == other.m_string; }
    bool operator<(const URL& other) const { return m_string < other.m_string; }
    std::size_t hash() const { return std::hash<std::string>{}(m_string); }

private:
    friend class URLComponents;
    URL() = default;
    void rebuildString();
    URL withPath(std::string encodedPath) const;

    std::string m_string;
    std::string m_scheme;
    bool m_hasAuthority = false;
    std::optional<std::string> m_user;     // percent-encoded
    std::optional<std::string> m_password; // percent-encoded
    std::string m_host;                    // percent-encoded, brackets kept
    std::optional<int> m_port;
    std::string m_path;                    // percent-encoded
    std::optional<std::string> m_query;
    std::optional<std::string> m_fragment;
};

struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const URLQueryItem&) const = default;
};

// A mutable set of URL parts. Plain setters take decoded text and encode what they must;
// the percentEncoded setters take text that is already encoded.
class URLComponents {
public:
    URLComponents() = default;
    static std::optional<URLComponents> componentsWithString(std::string_view string);
    static URLComponents componentsWithURL(const URL& url);

    // The URL these parts make; none when they cannot form one (a path that does not start
    // with "/" beside a host, a path starting with "//" without one, a bad scheme).
    std::optional<foundation::URL> url() const;
    std::optional<std::string> string() const;

    std::optional<std::string> scheme() const { return m_scheme; }
    void setScheme(std::optional<std::string> scheme) { m_scheme = std::move(scheme); }
    std::optional<std::string> user() const;
    void setUser(const std::optional<std::string>& user);
    std::optional<std::string> password() const;
    void setPassword(const std::optional<std::string>& password);
    std::optional<std::string> host() const;
    void setHost(const std::optional<std::string>& host);
    std::optional<int> port() const { return m_port; }
    void setPort(std::optional<int> port) { m_port = port; }
    std::string path() const;
    void setPath(const std::string& path);
    std::optional<std::string> query() const;
    void setQuery(const std::optional<std::string>& query);
    std::optional<std::string> fragment() const;
    void setFragment(const std::optional<std::string>& fragment);

    std::optional<std::string> percentEncodedUser() const { return m_user; }
    void setPercentEncodedUser(std::optional<std::string> v) { m_user = std::move(v); }
    std::optional<std::string> percentEncodedPassword() const { return m_password; }
    void setPercentEncodedPassword(std::optional<std::string> v) { m_password = std::move(v); }
    std::optional<std::string> percentEncodedHost() const { return m_host; }
    void setPercentEncodedHost(std::optional<std::string> v) { m_host = std::move(v); }
    const std::string& percentEncodedPath() const { return m_path; }
    void setPercentEncodedPath(std::string v) { m_path = std::move(v); }
    std::optional<std::string> percentEncodedQuery() const { return m_query; }
    void setPercentEncodedQuery(std::optional<std::string> v) { m_query = std::move(v); }
    std::optional<std::string> percentEncodedFragment() const { return m_fragment; }
    void setPercentEncodedFragment(std::optional<std::string> v) { m_fragment = std::move(v); }

    // The query as name=value pairs split at "&" and "=", decoded; none without a query.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    // Encodes each name and value so that "&", "=", "+" and "#" inside them stay data.
    void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

private:
    std::optional<std::string> m_scheme;
    std::optional<std::string> m_user;
    std::optional<std::string> m_password;
    std::optional<std::string> m_host;
    std::optional<int> m_port;
    std::string m_path;
    std::optional<std::string> m_query;
    std::optional<std::string> m_fragment;
};

} // namespace foundation

template <>
struct std::hash<foundation::URL> {
    std::size_t operator()(const foundation::URL& url) const noexcept { return url.hash(); }
};
