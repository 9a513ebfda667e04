#include "lot/lot_conninfo.h"

#include <libpq-fe.h>

#include <memory>
#include <vector>

namespace {

struct setting {
    std::string keyword, value;
};

// The settings the string gives, as libpq reads them; false when it
// cannot. libpq's own error is not kept: it may quote the string.
bool parse(const std::string& conninfo, std::vector<setting>* out)
{
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    PQfreemem(error);
    if (options == nullptr)
        return false;
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
        if (o->val != nullptr)
            out->push_back(setting{o->keyword, o->val});
    PQconninfoFree(options);
    return true;
}

bool holds_password(const std::vector<setting>& settings)
{
    for (const setting& s : settings)
        if (s.keyword == "password")
            return true;
    return false;
}

// A value as a key=value string spells it: bare when it can be, else in
// single quotes with \ before ' and \.
std::string quoted(const std::string& value)
{
    bool bare = !value.empty() && value.find_first_of(" \t\n\r\f\v'\\") == std::string::npos;
    if (bare)
        return value;
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

std::string lot_conninfo_fault(const std::string& conninfo)
{
    std::vector<setting> settings;
    if (!parse(conninfo, &settings))
        return "not a connection string libpq reads; give key=value settings (\"host=db1 dbname=zel\") or a "
               "postgresql:// URI";
    if (holds_password(settings))
        return "holds a password; give it in ~/.pgpass, PGPASSFILE or PGPASSWORD instead";
    return "";
}

std::string lot_redact(const std::string& conninfo)
{
    std::vector<setting> settings;
    if (!parse(conninfo, &settings))
        return "(a connection string that cannot be read)";
    if (!holds_password(settings))
        return conninfo;
    std::string shown;
    for (const setting& s : settings)
        if (s.keyword != "password")
            shown += (shown.empty() ? "" : " ") + s.keyword + "=" + quoted(s.value);
    return shown.empty() ? "(libpq's defaults)" : shown;
}
