#include "platform/port_identity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

static bool is_com_name(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string head = name.substr(0, 3);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    return head == "com" && std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string port_identity(const std::string& name)
{
    if (is_com_name(name)) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        return upper;
    }
    std::error_code ec;
    std::filesystem::path real = std::filesystem::weakly_canonical(name, ec);
    return ec ? name : real.string();
}
