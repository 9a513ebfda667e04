#include "values/witness.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// Collects the string members of the object it is handed, and stops at its end.
class values_reader : public nlohmann::json_sax<json> {
public:
    std::vector<std::pair<std::string, std::string>> found;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool string(string_t& text) override
    {
        if (depth_ == 1)
            found.emplace_back(key_, text);
        return true;
    }
    bool start_object(std::size_t) override { return ++depth_ <= 1; }
    bool start_array(std::size_t) override { return false; }
    bool key(string_t& name) override
    {
        key_ = name;
        return true;
    }
    bool end_object() override { return --depth_ > 0; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    int depth_ = 0;
    std::string key_;
};

// The top-level "values" object of a board-log line. The log's writer
// sorts a record's keys and "values" comes last; a label is a string, so
// the pattern cannot start inside one.
std::vector<std::pair<std::string, std::string>> values_of(const std::string& line)
{
    constexpr std::string_view key = "\"values\":{";
    size_t at = line.rfind(key);
    if (at == std::string::npos)
        return {};
    values_reader reader;
    std::string_view object(line.data() + at + key.size() - 1, line.size() - at - key.size() + 1);
    json::sax_parse(object, &reader, nlohmann::detail::input_format_t::json, false);
    return std::move(reader.found);
}

}  // namespace

bool witness_read(const std::string& path,
                  const std::function<bool(uint64_t line, const std::string& field, const std::string& value)>& shows,
                  std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return true;
        *error = path + ": cannot read the board log to check the state file against it: " + std::strerror(errno);
        return false;
    }
    std::string line;
    for (uint64_t number = 1; std::getline(in, line); number++)
        for (const auto& [field, value] : values_of(line))
            if (!shows(number, field, value))
                return true;
    if (in.bad()) {
        *error = path + ": the board log could not be read to its end";
        return false;
    }
    return true;
}
