// Finding serial ports: the system's list with what it knows of each (USB
// ids, serial number, maker), and the paths matching a pattern. The system's
// list comes from one file per platform (ports_posix.cpp through
// libserialport, ports_win.cpp through SetupAPI); the rest is shared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

struct port_info {
    std::string path;          // the name to open: a device path, or COM7 on Windows
    std::string description;
    int vid = -1;              // USB vendor id; -1 when not a USB port or unknown
    int pid = -1;              // USB product id
    std::string serial;        // USB serial number
    std::string manufacturer;
};

// A --match filter: USB vendor and product id.
struct usb_id {
    int vid;
    int pid;
};

// The system's serial ports, in its order. false with *error when the
// system cannot list them: that is not the same as having none.
bool ports_list(std::vector<port_info>* out, std::string* error);
// True when `name` (a file name, no folders) matches the shell pattern
// (* ? [...]).
bool ports_name_matches(const std::string& pattern, const std::string& name);

// The paths that match `pattern`, whose wildcards may only stand in its last
// component ("/tmp/bench/dev*"); sorted. Dangling symlinks are left out.
std::vector<std::string> ports_glob(const std::string& pattern);
// Why `pattern` can never match a port (empty; a wildcard in a folder),
// as an option error says it; empty when it can.
std::string ports_glob_error(const std::string& pattern);
// "0403:6001" (hex, either case) -> ids; nullopt when malformed.
std::optional<usb_id> ports_parse_usb_id(std::string_view text);
// "0403:6001", or "" when the ids are unknown.
std::string ports_usb_id_text(const port_info& p);

// One line of `zelflash list`: path, description, USB ids, serial number,
// manufacturer, the unknown ones left out.
std::string ports_line(const port_info& p);
nlohmann::json ports_json(const std::vector<port_info>& all);
