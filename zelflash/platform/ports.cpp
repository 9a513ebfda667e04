#include "platform/ports.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/texts.h"

namespace fs = std::filesystem;

std::vector<std::string> ports_glob(const std::string& pattern)
{
    fs::path whole(pattern);
    fs::path folder = whole.parent_path().empty() ? fs::path(".") : whole.parent_path();
    std::string leaf = whole.filename().string();
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code missing;
        if (ports_name_matches(leaf, name) && fs::exists(it->path(), missing))  // follows symlinks
            found.push_back((whole.parent_path() / name).string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

// ports_glob reads one folder: a wildcard in a folder part is taken as it
// is, so such a pattern would watch for a folder named "*" for ever.
std::string ports_glob_error(const std::string& pattern)
{
    if (pattern.empty())
        return "'' is an empty pattern and matches no path; give one such as '/dev/serial/by-id/*'";
    std::string folder = fs::path(pattern).parent_path().string();
    if (folder.find_first_of("*?[") != std::string::npos)
        return "'" + pattern + "' has a wildcard in a folder (" + folder +
               "); wildcards may only stand in the last part of the path, such as '/dev/serial/by-id/*'";
    return "";
}

// One to four hex digits, nothing else.
static std::optional<int> hex16(std::string_view text)
{
    uint16_t v = 0;
    const char* end = text.data() + text.size();
    auto [stop, result] = std::from_chars(text.data(), end, v, 16);
    if (text.empty() || text.size() > 4 || result != std::errc() || stop != end)
        return std::nullopt;
    return v;
}

std::optional<usb_id> ports_parse_usb_id(std::string_view text)
{
    size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::optional<int> vid = hex16(text.substr(0, colon));
    std::optional<int> pid = hex16(text.substr(colon + 1));
    if (!vid || !pid)
        return std::nullopt;
    return usb_id{*vid, *pid};
}

std::string ports_usb_id_text(const port_info& p)
{
    if (p.vid < 0 || p.pid < 0)
        return "";
    return hex_digits(static_cast<uint64_t>(p.vid), 4) + ":" + hex_digits(static_cast<uint64_t>(p.pid), 4);
}

std::string ports_line(const port_info& p)
{
    std::string line = p.path;
    auto add = [&line](const std::string& label, const std::string& value) {
        if (!value.empty())
            line += "  " + label + value;
    };
    add("", p.description);
    add("usb ", ports_usb_id_text(p));
    add("serial ", p.serial);
    add("by ", p.manufacturer);
    return line;
}

nlohmann::json ports_json(const std::vector<port_info>& all)
{
    nlohmann::json list = nlohmann::json::array();
    for (const port_info& p : all) {
        nlohmann::json e = {{"path", p.path}, {"description", p.description}};
        e["vid"] = p.vid >= 0 ? nlohmann::json(p.vid) : nlohmann::json(nullptr);
        e["pid"] = p.pid >= 0 ? nlohmann::json(p.pid) : nlohmann::json(nullptr);
        e["usb_id"] = p.vid >= 0 ? nlohmann::json(ports_usb_id_text(p)) : nlohmann::json(nullptr);
        e["serial"] = p.serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.serial);
        e["manufacturer"] = p.manufacturer.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.manufacturer);
        list.push_back(e);
    }
    return list;
}
