// The Windows build has no HTTP server: Debian's cpp-httplib is a library
// built for the host (libcpp-httplib.so) with its definitions out of the
// header, so nothing of it links into the MinGW build. --http is refused.
#include "web/web_server.h"

struct web_server::impl {};

web_server::web_server(web_feed*) : impl_(std::make_unique<impl>()) {}

web_server::~web_server() = default;

bool web_server::start(const web_server_config&, std::string* error)
{
    *error = "--http: this build for Windows has no HTTP server; serve the station's page from a Linux station";
    return false;
}

uint16_t web_server::port() const
{
    return 0;
}
