// A connection to the lot database (libpq), closed with the object, and
// its statements: parameterized only (PQexecParams: values never become SQL
// text), results as text. Every error is one line naming the database
// without its password (lot_redact) and saying what to do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;

using lot_param = std::optional<std::string>;  // nullopt: SQL NULL
using lot_row = std::vector<std::optional<std::string>>;

class lot_db {
public:
    lot_db() = default;
    ~lot_db();
    lot_db(const lot_db&) = delete;
    lot_db& operator=(const lot_db&) = delete;

    // Connects to `conninfo` (a job's [lot] database), giving up after 10 s
    // unless the string sets connect_timeout. false with a one-line error.
    bool connect(const std::string& conninfo, std::string* error);
    // The database as messages name it.
    const std::string& shown() const { return shown_; }
    // Whether the connection or a statement failed (the database's fault,
    // or the network's), as against a refusal made of what it holds.
    bool broken() const { return broken_; }
    // Whether the connection is still up (a statement may have failed on it).
    bool connected() const;

    // Runs one statement with its parameters ($1, $2, ...); the rows it
    // returns (none for most) land in `rows` when given. false with a
    // one-line error naming the database.
    bool run(const char* sql, const std::vector<lot_param>& params, std::vector<lot_row>* rows, std::string* error);
    bool run(const char* sql, const std::vector<lot_param>& params, std::string* error)
    {
        return run(sql, params, nullptr, error);
    }

private:
    pg_conn* conn_ = nullptr;
    std::string shown_;
    bool broken_ = false;
};

// A transaction: begun with the object, rolled back unless commit() ran.
class lot_transaction {
public:
    // `begin`: "BEGIN" or a stricter one ("BEGIN ISOLATION LEVEL ...").
    lot_transaction(lot_db& db, const char* begin, std::string* error) : db_(db)
    {
        open_ = db_.run(begin, {}, error);
    }
    ~lot_transaction()
    {
        std::string ignored;
        if (open_)
            db_.run("ROLLBACK", {}, &ignored);
    }
    lot_transaction(const lot_transaction&) = delete;
    lot_transaction& operator=(const lot_transaction&) = delete;

    bool open() const { return open_; }
    bool commit(std::string* error)
    {
        open_ = false;
        return db_.run("COMMIT", {}, error);
    }

private:
    lot_db& db_;
    bool open_ = false;
};

// A numeric column as a 64-bit value; nullopt for NULL, or past 64 bits.
std::optional<uint64_t> lot_number(const lot_param& column);
// A text array parameter ('{"a","b"}') of `values`, for unnest($n::text[]).
std::string lot_text_array(const std::vector<std::string>& values);
