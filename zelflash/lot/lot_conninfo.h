// The lot database's connection string as a job gives it ([lot] database):
// a libpq "key=value ..." string or a postgresql:// URI. It never holds a
// password (those live in ~/.pgpass, PGPASSFILE or PGPASSWORD), and no
// message shows one: every text naming the database shows lot_redact's
// form of it.
//
// One file per platform: libpq reads the string on Linux and macOS; the
// Windows build has no PostgreSQL client, so there every [lot] is refused.
#pragma once

#include <string>

// Why `conninfo` cannot be a job's lot database: it holds a password, or
// it is not a connection string, or this build has no lot support. Empty
// when it is fine. Never shows the string's text.
std::string lot_conninfo_fault(const std::string& conninfo);

// `conninfo` to show in a message: as given when it holds no password,
// else its settings without the password ("host=db1 user=bench dbname=zel");
// a string libpq cannot read is not shown at all, nor one with nothing but a
// password ("(libpq's defaults)").
std::string lot_redact(const std::string& conninfo);
