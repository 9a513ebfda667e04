// The one place that chooses a display and asks whether the streams are
// terminals; each mode is an implementation of display.h in a file of its own.
#pragma once

#include <cstdio>
#include <memory>

#include "outputs/display.h"

// The display for what the user asked: JSON lines, nothing, or text -- live
// rows when standard output is a terminal that takes cursor codes, plain
// lines otherwise. The one place that asks whether the streams are terminals.
std::unique_ptr<display> display_for(bool json, bool quiet, FILE* out, FILE* err);
// The display of a given mode on these streams.
std::unique_ptr<display> display_of(display_mode mode, FILE* out, FILE* err);
