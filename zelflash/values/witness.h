// The board log read as a witness of the values boards were given: every
// (field, value) its records show, with the line that shows it. The state
// file checks it against what it handed out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Calls `shows(line, field, value)` for each value of each record of the
// board log at `path`, in file order, until it returns false. A line that
// is not a record, or is cut short, shows the values that can be read in
// it whole. A log that does not exist shows nothing. false with *error
// only when it exists and cannot be read.
bool witness_read(const std::string& path,
                  const std::function<bool(uint64_t line, const std::string& field, const std::string& value)>& shows,
                  std::string* error);
