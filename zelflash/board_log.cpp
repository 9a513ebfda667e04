#include "board_log.h"

#include <nlohmann/json.hpp>

#include "log_file.h"
#include "texts.h"

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
