#include "web/web_access.h"

#include <charconv>
#include <fstream>

#include "base/texts.h"

bool web_decimal(std::string_view text, uint64_t most, uint64_t* out)
{
    uint64_t v = 0;
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || fault != std::errc() || end != text.data() + text.size() || v > most)
        return false;
    *out = v;
    return true;
}

// 0: any free port, which the station then names.
static bool parse_port(std::string_view text, uint16_t* out)
{
    uint64_t v = 0;
    if (!web_decimal(text, 65535, &v))
        return false;
    *out = static_cast<uint16_t>(v);
    return true;
}

// The host part: "[v6]" loses its brackets; an empty one is refused.
static bool split_host(std::string_view text, std::string_view* host, std::string_view* port)
{
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find("]:");
        if (close == std::string_view::npos || close == 1)
            return false;
        *host = text.substr(1, close - 1);
        *port = text.substr(close + 2);
        return true;
    }
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        *port = text;
        return true;
    }
    *host = text.substr(0, colon);
    *port = text.substr(colon + 1);
    return !host->empty() && host->find(':') == std::string_view::npos;
}

bool web_address_parse(std::string_view text, web_address* out, std::string* error)
{
    std::string_view host = "127.0.0.1", port;
    web_address a;
    if (!split_host(text, &host, &port) || !parse_port(port, &a.port)) {
        *error = "--http " + escaped(text) +
                 ": give PORT (0 to 65535; 0 picks a free one) or ADDR:PORT, such as 8080, 0.0.0.0:8080 or [::1]:8080";
        return false;
    }
    a.host = std::string(host);
    *out = a;
    return true;
}

bool web_is_loopback(std::string_view host)
{
    if (host == "localhost" || host == "::1")
        return true;
    if (host.substr(0, 4) != "127.")
        return false;
    int dots = 0;
    for (char c : host.substr(4)) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 2;
}

std::string web_bind_refusal(const web_address& a, bool have_token)
{
    if (web_is_loopback(a.host) || have_token)
        return "";
    return "--http " + escaped(a.host) + ":" + std::to_string(a.port) +
           ": the page would be open to other computers with no token to guard the station's control; give "
           "--http-token-file FILE (a file holding a secret of at least " + std::to_string(WEB_TOKEN_MIN) +
           " characters), or listen on loopback (--http " + std::to_string(a.port) + ")";
}

bool web_token_read(const std::string& path, std::string* token, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        *error = "--http-token-file " + escaped(path) + ": cannot be read (does it exist, and is it readable?)";
        return false;
    }
    size_t first = line.find_first_not_of(" \t\r");
    size_t last = line.find_last_not_of(" \t\r");
    std::string t = first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (t.size() < WEB_TOKEN_MIN || t.size() > WEB_TOKEN_MAX) {
        *error = "--http-token-file " + escaped(path) + ": its first line must hold a token of " +
                 std::to_string(WEB_TOKEN_MIN) + " to " + std::to_string(WEB_TOKEN_MAX) + " characters";
        return false;
    }
    *token = t;
    return true;
}

bool web_token_matches(std::string_view authorization, std::string_view token)
{
    constexpr std::string_view scheme = "Bearer ";
    if (token.empty() || authorization.size() != scheme.size() + token.size())
        return false;  // the length of a token is no secret worth hiding
    unsigned difference = 0;
    for (size_t i = 0; i < scheme.size(); ++i)
        difference |= static_cast<unsigned char>(authorization[i] ^ scheme[i]);
    for (size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(authorization[scheme.size() + i] ^ token[i]);
    return difference == 0;
}

bool web_path_allowed(std::string_view path)
{
    if (path.empty() || path.front() != '/')
        return false;
    if (path.find('\\') != std::string_view::npos || path.find('\0') != std::string_view::npos)
        return false;
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string_view::npos)
            end = path.size();
        if (path.substr(at, end - at) == "..")
            return false;
        at = end + 1;
    }
    return true;
}
