// Who may reach the station's page and who may steer the station: the
// address it listens on, the token that control asks for, and the paths a
// request may name. Plain functions, no sockets: the server (web_server)
// asks them.
//
// The rules: the page listens on loopback unless told otherwise; any other
// address needs a token file, since the page shows every board and the
// control stops the station. The token is compared in constant time and
// never written anywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct web_address {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
};

enum web_access_limits : uint32_t {
    WEB_TOKEN_MIN = 16,    // characters: a shorter token is guessed too soon
    WEB_TOKEN_MAX = 4096,  // a token file is a line, not a document
};

// A whole decimal number up to `most` (digits only: no sign, no space);
// false for anything else. Ports, event ids and board numbers.
bool web_decimal(std::string_view text, uint64_t most, uint64_t* out);
// "[ADDR:]PORT" ("8080", "0.0.0.0:8080", "[::1]:8080"; port 0: any free
// one); false with a one-line error saying what is allowed.
bool web_address_parse(std::string_view text, web_address* out, std::string* error);
// 127.0.0.0/8, ::1 and "localhost": only this computer reaches it.
bool web_is_loopback(std::string_view host);
// Why the page may not listen on `a` as asked (a non-loopback address with
// no token file); empty when it may.
std::string web_bind_refusal(const web_address& a, bool have_token);
// The token of a token file: its first line, spaces around it removed.
// false with an error naming the file, never quoting its content.
bool web_token_read(const std::string& path, std::string* token, std::string* error);
// Whether an Authorization header is "Bearer <token>", compared in a time
// that does not depend on where they differ.
bool web_token_matches(std::string_view authorization, std::string_view token);
// A request path the page serves at all: absolute, no "..", no
// backslash, no NUL; anything else is refused before any route.
bool web_path_allowed(std::string_view path);
