#include "outputs/board_log.h"

#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/log_file.h"
#include "base/texts.h"

board_log::~board_log()
{
    std::string ignored;
    close(&ignored);
}

bool board_log::open(const std::string& path, std::string* error)
{
    std::string why;
    path_ = path;
    fd_ = log_file_open(path, &why);
    if (fd_ < 0) {
        *error = path + ": cannot open the log for appending: " + why;
        return false;
    }
    found_torn_ = start_line_ = log_file_ends_torn(fd_);
    return true;
}

bool board_log::append(const nlohmann::json& record, std::string* error)
{
    std::string line = (start_line_ ? "\n" : "") + json_text(record) + "\n";
    std::string why;
    if (!log_file_append(fd_, line, &why) || !log_file_sync(fd_, &why)) {
        *error = path_ + ": cannot record the board: " + why;
        return false;
    }
    start_line_ = false;
    return true;
}

bool board_log::close(std::string* error)
{
    if (fd_ < 0)
        return true;
    std::string why;
    bool closed = log_file_close(fd_, &why);
    fd_ = -1;
    if (!closed)
        *error = path_ + ": " + why;
    return closed;
}

std::string board_log_utc(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(floor<std::chrono::seconds>(t));
    long ms = static_cast<long>(duration_cast<milliseconds>(t - floor<std::chrono::seconds>(t)).count());
    std::tm utc{};
    if (!log_file_utc(seconds, &utc))
        return "";
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, n) + "." + decimal(static_cast<uint64_t>(ms), 3) + "Z";
}

static nlohmann::json or_null(const std::string& s)
{
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}

nlohmann::json board_log_line(const board_log_record& r)
{
    const board_view& v = r.view;
    std::string usb = ports_usb_id_text(r.port);
    nlohmann::json line = {
        {"start", board_log_utc(r.start)},
        {"end", board_log_utc(r.end)},
        {"port", r.port.path},
        {"usb_id", or_null(usb)},
        {"serial", or_null(r.port.serial)},
        {"image", r.img->name},
        {"file_sha256", or_null(r.img->file_sha256)},
        {"image_sha256", v.image_sha256},
        {"address", r.img->addr},
        {"bytes", v.at.done},
        {"total", static_cast<uint32_t>(r.img->bytes.size())},
        {"seconds", v.seconds},
        {"retries", v.at.retries},
        {"outcome", board_end_text(v.end)},
        {"outcome_key", board_end_key(v.end)},
        {"error", or_null(v.message)},
        {"link", board_link_json(v)},
        {"values", board_values_json(v)},
        {"labels", r.labels == nullptr ? nlohmann::json::object() : nlohmann::json(*r.labels)},
        {"log_version", BOARD_LOG_VERSION},
    };
    if (r.slot > 0)
        line["slot"] = r.slot;
    return line;
}

nlohmann::json board_log_note_line(const board_log_note& n)
{
    nlohmann::json values = nlohmann::json::object();
    if (n.values != nullptr)
        for (const field_value& f : *n.values)
            values[f.name] = f.text;
    return {
        {"note", n.key},
        {"time", board_log_utc(n.time)},
        {"port", n.port},
        {"slot", n.slot},
        {"values", values},
        {"labels", n.labels == nullptr ? nlohmann::json::object() : nlohmann::json(*n.labels)},
        {"log_version", BOARD_LOG_VERSION},
    };
}
