#include "lot/lot_db.h"

#include <libpq-fe.h>

#include <charconv>

#include "lot/lot_conninfo.h"

lot_db::~lot_db()
{
    if (conn_ != nullptr)
        PQfinish(conn_);
}

namespace {

// The server's notices ("schema zelflash already exists, skipping") are
// for people at a psql prompt; libpq would print them on standard error.
void ignore_notice(void*, const char*) {}

// libpq's messages end in a line end and may run over several lines; the
// first line says what went wrong.
std::string first_line(const char* message)
{
    std::string text = message != nullptr ? message : "";
    size_t end = text.find('\n');
    return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

bool lot_db::connect(const std::string& conninfo, std::string* error)
{
    shown_ = lot_redact(conninfo);
    // With expand_dbname the string's own settings override those listed
    // before it, so its connect_timeout wins over this one.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {"10", conninfo.c_str(), nullptr};
    conn_ = PQconnectdbParams(keywords, values, 1);
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
        PQsetNoticeProcessor(conn_, ignore_notice, nullptr);
        return true;
    }
    broken_ = true;
    *error = "cannot reach the lot database " + shown_ + ": " +
             (conn_ != nullptr ? first_line(PQerrorMessage(conn_)) : std::string("out of memory")) +
             "; is the database server running, and is [lot] database right?";
    return false;
}

bool lot_db::connected() const
{
    return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
}

bool lot_db::run(const char* sql, const std::vector<lot_param>& params, std::vector<lot_row>* rows,
                 std::string* error)
{
    std::vector<const char*> values;
    for (const lot_param& p : params)
        values.push_back(p ? p->c_str() : nullptr);
    PGresult* result = PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                    nullptr, 0);
    ExecStatusType status = PQresultStatus(result);
    bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    broken_ = broken_ || !ok;
    if (!ok)
        *error = "the lot database " + shown_ + ": " + first_line(PQerrorMessage(conn_));
    for (int r = 0; ok && rows != nullptr && r < PQntuples(result); ++r) {
        lot_row row;
        for (int c = 0; c < PQnfields(result); ++c)
            row.push_back(PQgetisnull(result, r, c) ? std::nullopt : lot_param(PQgetvalue(result, r, c)));
        rows->push_back(std::move(row));
    }
    PQclear(result);
    return ok;
}

std::optional<uint64_t> lot_number(const lot_param& column)
{
    uint64_t n = 0;
    if (!column)
        return std::nullopt;
    auto [end, fault] = std::from_chars(column->data(), column->data() + column->size(), n);
    if (fault != std::errc() || end != column->data() + column->size())
        return std::nullopt;
    return n;
}

std::string lot_text_array(const std::vector<std::string>& values)
{
    std::string out = "{";
    for (const std::string& v : values) {
        out += out.size() > 1 ? ",\"" : "\"";
        for (char c : v) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}
