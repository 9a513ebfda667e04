// The tool's one assertion. It guards programming errors only (never bytes
// from the wire), stays on in every build type, and on failure prints the
// expression as written, the source file and the line, then aborts.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void zel_assert_fail(const char* expr, const char* file, int line)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expr, file, line);
    std::fflush(stderr);
    std::abort();
}

#define ZEL_ASSERT(e) ((e) ? (void)0 : zel_assert_fail(#e, __FILE__, __LINE__))
