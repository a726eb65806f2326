#include "Platform/Foundation/URL.h"

#include "Platform/Foundation/StringUtils.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <system_error>

namespace foundation {

namespace {

using CharTable = std::array<bool, 128>;

constexpr bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr int hexValue(char c)
{
    return isDigit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : c - 'A' + 10;
}

constexpr CharTable makeTable(std::string_view extra, std::string_view removed = {})
{
    CharTable t{};
    for (int c = 0; c < 128; ++c)
        t[c] = isAlpha(char(c)) || isDigit(char(c));
    for (char c : std::string_view("-._~"))
        t[size_t(c)] = true;
    for (char c : extra)
        t[size_t(c)] = true;
    for (char c : removed)
        t[size_t(c)] = false;
    return t;
}

constexpr std::string_view SubDelims = "!$&'()*+,;=";

constexpr CharTable UnreservedTable = makeTable("");
constexpr CharTable UserTable = makeTable(SubDelims);
constexpr CharTable HostTable = makeTable("!$&'()*+,;=:[]");
constexpr CharTable PathTable = makeTable("!$&'()*+,=:@/");
// One path segment: a "/" inside a component is data, not structure.
constexpr CharTable SegmentTable = makeTable("!$&'()*+,=:@");
constexpr CharTable QueryTable = makeTable("!$&'()*+,;=:@/?");
// A query item's name or value: the separators and "+" (read as a space by many servers) are data.
constexpr CharTable QueryItemTable = makeTable("!$'()*,;:@/?");

// What may appear unescaped in each part of a URL text we accept. Square brackets are
// tolerated in queries and fragments because servers commonly send them there.
constexpr CharTable ParsePathTable = makeTable("!$&'()*+,;=:@/");
constexpr CharTable ParseQueryTable = makeTable("!$&'()*+,;=:@/?[]");
constexpr CharTable ParseUserInfoTable = makeTable("!$&'()*+,;=:");
constexpr CharTable ParseRegNameTable = makeTable(SubDelims);
constexpr CharTable ParseIPLiteralTable = makeTable("!$&'()*+,;=:");

const CharTable& tableFor(URLCharacterSet set)
{
    switch (set) {
    case URLCharacterSet::User:
    case URLCharacterSet::Password:
        return UserTable;
    case URLCharacterSet::Host:
        return HostTable;
    case URLCharacterSet::Path:
        return PathTable;
    case URLCharacterSet::Query:
    case URLCharacterSet::Fragment:
        return QueryTable;
    case URLCharacterSet::Unreserved:
        break;
    }
    return UnreservedTable;
}

std::string encodeWith(std::string_view text, const CharTable& table)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 128 && table[u]) {
            out += c;
        } else {
            out += '%';
            out += Digits[u >> 4];
            out += Digits[u & 15];
        }
    }
    return out;
}

// Decodes escapes into raw bytes; a malformed escape stays as written. Used where the text was
// validated already, or where any byte sequence (a Linux file name) must survive.
std::string decodeBytes(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Every byte is in `table` or part of a well-formed %XX escape.
bool conforms(std::string_view text, const CharTable& table)
{
    for (size_t i = 0; i < text.size(); ++i) {
        auto u = static_cast<unsigned char>(text[i]);
        if (u == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
                return false;
            i += 2;
        } else if (u >= 128 || !table[u]) {
            return false;
        }
    }
    return true;
}

bool isValidScheme(std::string_view s)
{
    if (s.empty() || !isAlpha(s[0]))
        return false;
    for (char c : s)
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    return true;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view input)
{
    std::string in(input);
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.erase(0, 3);
        } else if (in.starts_with("./")) {
            in.erase(0, 2);
        } else if (in.starts_with("/./")) {
            in.erase(0, 2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string("/") : in.substr(3);
            auto slash = out.rfind('/');
            out.erase(slash == std::string::npos ? 0 : slash);
        } else if (in == "." || in == "..") {
            in.clear();
        } else {
            size_t next = in.find('/', 1);
            if (next == std::string::npos)
                next = in.size();
            out += in.substr(0, next);
            in.erase(0, next);
        }
    }
    return out;
}

// Dot segments out of a relative path, keeping the leading ".." that cannot be resolved.
std::string normalizeRelativePath(std::string_view path)
{
    std::vector<std::string> segments;
    size_t leadingUps = 0;
    size_t start = 0;
    bool trailingSlash = false;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string seg(path.substr(start, end - start));
        bool last = end == path.size();
        if (seg == "." || seg == "..") {
            if (seg == "..") {
                if (segments.size() > leadingUps)
                    segments.pop_back();
                else
                    segments.push_back(seg), ++leadingUps;
            }
            trailingSlash = true;
        } else if (!seg.empty() || !last) {
            if (!seg.empty())
                segments.push_back(seg);
            trailingSlash = last ? false : trailingSlash;
        } else {
            trailingSlash = true;
        }
        if (last)
            break;
        start = end + 1;
    }
    std::string out;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (i)
            out += '/';
        out += segments[i];
    }
    if (trailingSlash && !out.empty())
        out += '/';
    return out;
}

struct Parts {
    std::optional<std::string> scheme;
    bool hasAuthority = false;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string host;
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

bool parseAuthority(std::string_view authority, Parts& parts)
{
    std::string_view hostPort = authority;
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view userInfo = authority.substr(0, at);
        if (!conforms(userInfo, ParseUserInfoTable))
            return false;
        hostPort = authority.substr(at + 1);
        auto colon = userInfo.find(':');
        parts.user = std::string(userInfo.substr(0, colon));
        if (colon != std::string_view::npos)
            parts.password = std::string(userInfo.substr(colon + 1));
    }
    std::string_view portText;
    if (!hostPort.empty() && hostPort[0] == '[') {
        auto close = hostPort.find(']');
        if (close == std::string_view::npos)
            return false;
        std::string_view literal = hostPort.substr(1, close - 1);
        if (literal.empty() || !conforms(literal, ParseIPLiteralTable))
            return false;
        parts.host = std::string(hostPort.substr(0, close + 1));
        std::string_view rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            portText = rest.substr(1);
        }
    } else {
        auto colon = hostPort.find(':');
        std::string_view host = hostPort.substr(0, colon);
        if (!conforms(host, ParseRegNameTable))
            return false;
        parts.host = std::string(host);
        if (colon != std::string_view::npos)
            portText = hostPort.substr(colon + 1);
    }
    if (!portText.empty()) {
        if (portText.size() > 5)
            return false;
        int port = 0;
        for (char c : portText) {
            if (!isDigit(c))
                return false;
            port = port * 10 + (c - '0');
        }
        if (port > 65535)
            return false;
        parts.port = port;
    }
    return true;
}

std::optional<Parts> parseReference(std::string_view text)
{
    Parts parts;
    std::string_view rest = text;

    size_t firstDelimiter = rest.find_first_of(":/?#");
    if (firstDelimiter != std::string_view::npos && rest[firstDelimiter] == ':') {
        std::string_view scheme = rest.substr(0, firstDelimiter);
        // A relative reference cannot have a colon in its first segment, so this is either a
        // scheme or malformed.
        if (!isValidScheme(scheme))
            return std::nullopt;
        parts.scheme = std::string(scheme);
        rest.remove_prefix(firstDelimiter + 1);
    }

    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (!conforms(fragment, ParseQueryTable))
            return std::nullopt;
        parts.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        std::string_view query = rest.substr(question + 1);
        if (!conforms(query, ParseQueryTable))
            return std::nullopt;
        parts.query = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        size_t slash = rest.find('/');
        if (!parseAuthority(rest.substr(0, slash), parts))
            return std::nullopt;
        parts.hasAuthority = true;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (!conforms(rest, ParsePathTable))
        return std::nullopt;
    parts.path = std::string(rest);
    return parts;
}

std::string lastSegmentOf(const std::string& path, size_t& start, size_t& end)
{
    end = path.size();
    if (end > 1 && path[end - 1] == '/')
        --end;
    auto slash = end == 0 ? std::string::npos : path.rfind('/', end - 1);
    start = slash == std::string::npos ? 0 : slash + 1;
    if (start > end)
        start = end;
    return path.substr(start, end - start);
}

std::string workingDirectory()
{
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string("/") : cwd.string();
}

} // namespace

std::string percentEncode(std::string_view text, URLCharacterSet allowed)
{
    return encodeWith(text, tableFor(allowed));
}

std::optional<std::string> percentDecode(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2]))
                return std::nullopt;
            i += 2;
        }
    }
    std::string decoded = decodeBytes(text);
    if (!isValidUTF8(decoded))
        return std::nullopt;
    return decoded;
}

// MARK: - URL

void URL::rebuildString()
{
    std::string s;
    if (!m_scheme.empty())
        s += m_scheme + ':';
    if (m_hasAuthority) {
        s += "//";
        if (m_user) {
            s += *m_user;
            if (m_password)
                s += ':' + *m_password;
            s += '@';
        }
        s += m_host;
        if (m_port)
            s += ':' + std::to_string(*m_port);
    } else if (m_path.starts_with("//")) {
        // Without this the path's first segment would be read back as an authority.
        s += "/.";
    }
    s += m_path;
    if (m_query)
        s += '?' + *m_query;
    if (m_fragment)
        s += '#' + *m_fragment;
    m_string = std::move(s);
}

URL URL::withPath(std::string encodedPath) const
{
    URL copy = *this;
    copy.m_path = std::move(encodedPath);
    copy.rebuildString();
    return copy;
}

URL URL::fileURLWithPath(const std::string& path, bool isDirectory)
{
    std::string full = path;
    if (full.empty())
        full = workingDirectory() + '/';
    else if (full[0] != '/')
        full = workingDirectory() + '/' + full;
    if (isDirectory && full.back() != '/')
        full += '/';
    URL url;
    url.m_scheme = "file";
    url.m_hasAuthority = true;
    url.m_path = encodeWith(full, PathTable);
    url.rebuildString();
    return url;
}

std::optional<URL> URL::URLWithString(std::string_view string)
{
    if (string.empty())
        return std::nullopt;
    auto parts = parseReference(string);
    if (!parts)
        return std::nullopt;
    URL url;
    url.m_scheme = parts->scheme.value_or("");
    url.m_hasAuthority = parts->hasAuthority;
    url.m_user = parts->user;
    url.m_password = parts->password;
    url.m_host = parts->host;
    url.m_port = parts->port;
    url.m_path = parts->path;
    url.m_query = parts->query;
    url.m_fragment = parts->fragment;
    url.rebuildString();
    return url;
}

std::optional<URL> URL::URLWithString(std::string_view string, const URL& base)
{
    auto r = parseReference(string);
    if (!r)
        return std::nullopt;
    URL t;
    if (r->scheme) {
        t.m_scheme = *r->scheme;
        t.m_hasAuthority = r->hasAuthority;
        t.m_user = r->user;
        t.m_password = r->password;
        t.m_host = r->host;
        t.m_port = r->port;
        t.m_path = removeDotSegments(r->path);
        t.m_query = r->query;
    } else {
        t.m_scheme = base.m_scheme;
        if (r->hasAuthority) {
            t.m_hasAuthority = true;
            t.m_user = r->user;
            t.m_password = r->password;
            t.m_host = r->host;
            t.m_port = r->port;
            t.m_path = removeDotSegments(r->path);
            t.m_query = r->query;
        } else {
            t.m_hasAuthority = base.m_hasAuthority;
            t.m_user = base.m_user;
            t.m_password = base.m_password;
            t.m_host = base.m_host;
            t.m_port = base.m_port;
            if (r->path.empty()) {
                t.m_path = base.m_path;
                t.m_query = r->query ? r->query : base.m_query;
            } else {
                if (r->path[0] == '/') {
                    t.m_path = removeDotSegments(r->path);
                } else {
                    std::string merged;
                    if (base.m_hasAuthority && base.m_path.empty()) {
                        merged = '/' + r->path;
                    } else {
                        auto slash = base.m_path.rfind('/');
                        merged = (slash == std::string::npos ? std::string() : base.m_path.substr(0, slash + 1)) + r->path;
                    }
                    // A base that is itself relative keeps its unresolvable leading "..".
                    t.m_path = merged.starts_with('/') || !base.m_scheme.empty() ? removeDotSegments(merged)
                                                                               : normalizeRelativePath(merged);
                }
                t.m_query = r->query;
            }
        }
    }
    t.m_fragment = r->fragment;
    t.rebuildString();
    if (t.m_string.empty())
        return std::nullopt;
    return t;
}

bool URL::isFileURL() const
{
    return foundation::asciiLowercase(m_scheme) == "file";
}

std::string URL::host() const
{
    std::string_view h = m_host;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    return decodeBytes(h);
}

std::optional<std::string> URL::user() const
{
    if (!m_user)
        return std::nullopt;
    return decodeBytes(*m_user);
}

std::optional<std::string> URL::password() const
{
    if (!m_password)
        return std::nullopt;
    return decodeBytes(*m_password);
}

std::string URL::path() const
{
    std::string p = decodeBytes(m_path);
    if (p.size() > 1 && p.back() == '/' && m_path.back() == '/')
        p.pop_back();
    return p;
}

std::vector<std::string> URL::pathComponents() const
{
    std::vector<std::string> components;
    if (m_path.empty())
        return components;
    if (m_path[0] == '/')
        components.emplace_back("/");
    size_t start = 0;
    while (start < m_path.size()) {
        size_t end = m_path.find('/', start);
        if (end == std::string::npos)
            end = m_path.size();
        if (end > start)
            components.push_back(decodeBytes(std::string_view(m_path).substr(start, end - start)));
        start = end + 1;
    }
    return components;
}

std::string URL::lastPathComponent() const
{
    auto components = pathComponents();
    return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const
{
    std::string name = lastPathComponent();
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name == "/")
        return {};
    return name.substr(dot + 1);
}

URL URL::URLByAppendingPathComponent(const std::string& component, bool isDirectory) const
{
    if (component.empty())
        return *this;
    std::string encoded = encodeWith(component, PathTable);
    std::string p = m_path;
    if (p.empty()) {
        if (m_hasAuthority)
            p = "/";
    } else if (p.back() != '/') {
        p += '/';
    }
    if (!p.empty() && encoded.starts_with('/'))
        encoded.erase(0, 1);
    p += encoded;
    if (isDirectory && p.back() != '/')
        p += '/';
    return withPath(std::move(p));
}

URL URL::URLByDeletingLastPathComponent() const
{
    if (m_path.empty() || m_path == "/")
        return *this;
    std::string p = m_path;
    if (p.size() > 1 && p.back() == '/')
        p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return withPath("./");
    return withPath(p.substr(0, slash + 1));
}

URL URL::URLByDeletingPathExtension() const
{
    size_t start = 0, end = 0;
    std::string segment = lastSegmentOf(m_path, start, end);
    auto dot = segment.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return *this;
    std::string p = m_path;
    p.erase(start + dot, end - start - dot);
    return withPath(std::move(p));
}

URL URL::URLByAppendingPathExtension(const std::string& extension) const
{
    if (extension.empty() || extension.find('/') != std::string::npos)
        return *this;
    size_t start = 0, end = 0;
    std::string segment = lastSegmentOf(m_path, start, end);
    if (segment.empty() || segment == "/")
        return *this;
    std::string p = m_path;
    p.insert(end, '.' + encodeWith(extension, SegmentTable));
    return withPath(std::move(p));
}

URL URL::standardizedURL() const
{
    if (m_path.empty())
        return *this;
    return withPath(m_path[0] == '/' ? removeDotSegments(m_path) : normalizeRelativePath(m_path));
}

// MARK: - URLComponents

std::optional<URLComponents> URLComponents::componentsWithString(std::string_view string)
{
    auto url = URL::URLWithString(string);
    if (!url)
        return std::nullopt;
    return componentsWithURL(*url);
}

URLComponents URLComponents::componentsWithURL(const foundation::URL& url)
{
    URLComponents c;
    if (!url.m_scheme.empty())
        c.m_scheme = url.m_scheme;
    if (url.m_hasAuthority)
        c.m_host = url.m_host;
    c.m_user = url.m_user;
    c.m_password = url.m_password;
    c.m_port = url.m_port;
    c.m_path = url.m_path;
    c.m_query = url.m_query;
    c.m_fragment = url.m_fragment;
    return c;
}

std::optional<URL> URLComponents::url() const
{
    if (m_scheme && !isValidScheme(*m_scheme))
        return std::nullopt;
    if (m_port && (*m_port < 0 || *m_port > 65535))
        return std::nullopt;
    bool hasAuthority = m_host || m_user || m_password || m_port;
    if (hasAuthority && !m_path.empty() && m_path[0] != '/')
        return std::nullopt;
    if (!hasAuthority && m_path.starts_with("//"))
        return std::nullopt;
    if (!m_scheme && !hasAuthority) {
        auto firstSegment = std::string_view(m_path).substr(0, m_path.find('/'));
        if (firstSegment.find(':') != std::string_view::npos)
            return std::nullopt;
    }
    if (m_user && !conforms(*m_user, UserTable))
        return std::nullopt;
    if (m_password && !conforms(*m_password, UserTable))
        return std::nullopt;
    if (!conforms(m_path, ParsePathTable))
        return std::nullopt;
    if (m_query && !conforms(*m_query, ParseQueryTable))
        return std::nullopt;
    if (m_fragment && !conforms(*m_fragment, ParseQueryTable))
        return std::nullopt;

    URL url;
    url.m_scheme = m_scheme.value_or("");
    url.m_hasAuthority = hasAuthority;
    url.m_user = m_password && !m_user ? std::optional<std::string>("") : m_user;
    url.m_password = m_password;
    url.m_host = m_host.value_or("");
    url.m_port = m_port;
    url.m_path = m_path;
    url.m_query = m_query;
    url.m_fragment = m_fragment;
    if (hasAuthority) {
        // The host goes through the parser so that a malformed one is refused, not emitted.
        Parts check;
        if (!parseAuthority(url.m_host, check) || check.port || check.user)
            return std::nullopt;
    }
    url.rebuildString();
    if (url.m_string.empty())
        return std::nullopt;
    return url;
}

std::optional<std::string> URLComponents::string() const
{
    auto u = url();
    if (!u)
        return std::nullopt;
    return u->absoluteString();
}

std::optional<std::string> URLComponents::user() const
{
    if (!m_user)
        return std::nullopt;
    return decodeBytes(*m_user);
}

void URLComponents::setUser(const std::optional<std::string>& user)
{
    m_user = user ? std::optional(encodeWith(*user, UserTable)) : std::nullopt;
}

std::optional<std::string> URLComponents::password() const
{
    if (!m_password)
        return std::nullopt;
    return decodeBytes(*m_password);
}

void URLComponents::setPassword(const std::optional<std::string>& password)
{
    m_password = password ? std::optional(encodeWith(*password, UserTable)) : std::nullopt;
}

std::optional<std::string> URLComponents::host() const
{
    if (!m_host)
        return std::nullopt;
    std::string_view h = *m_host;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    return decodeBytes(h);
}

void URLComponents::setHost(const std::optional<std::string>& host)
{
    if (!host) {
        m_host.reset();
        return;
    }
    // An IPv6 address is written as a bracketed literal.
    if (host->find(':') != std::string::npos && !host->starts_with('['))
        m_host = '[' + encodeWith(*host, HostTable) + ']';
    else
        m_host = encodeWith(*host, makeTable(SubDelims));
}

std::string URLComponents::path() const
{
    return decodeBytes(m_path);
}

void URLComponents::setPath(const std::string& path)
{
    m_path = encodeWith(path, PathTable);
}

std::optional<std::string> URLComponents::query() const
{
    if (!m_query)
        return std::nullopt;
    return decodeBytes(*m_query);
}

void URLComponents::setQuery(const std::optional<std::string>& query)
{
    m_query = query ? std::optional(encodeWith(*query, QueryTable)) : std::nullopt;
}

std::optional<std::string> URLComponents::fragment() const
{
    if (!m_fragment)
        return std::nullopt;
    return decodeBytes(*m_fragment);
}

void URLComponents::setFragment(const std::optional<std::string>& fragment)
{
    m_fragment = fragment ? std::optional(encodeWith(*fragment, QueryTable)) : std::nullopt;
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const
{
    if (!m_query)
        return std::nullopt;
    std::vector<URLQueryItem> items;
    if (m_query->empty())
        return items;
    std::string_view q = *m_query;
    size_t start = 0;
    while (start <= q.size()) {
        size_t end = q.find('&', start);
        if (end == std::string_view::npos)
            end = q.size();
        std::string_view pair = q.substr(start, end - start);
        auto eq = pair.find('=');
        URLQueryItem item;
        item.name = decodeBytes(pair.substr(0, eq));
        if (eq != std::string_view::npos)
            item.value = decodeBytes(pair.substr(eq + 1));
        items.push_back(std::move(item));
        start = end + 1;
    }
    return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items)
{
    if (!items) {
        m_query.reset();
        return;
    }
    std::string q;
    for (size_t i = 0; i < items->size(); ++i) {
        const auto& item = (*items)[i];
        if (i)
            q += '&';
        q += encodeWith(item.name, QueryItemTable);
        if (item.value)
            q += '=' + encodeWith(*item.value, QueryItemTable);
    }
    m_query = std::move(q);
}

} // namespace foundation
