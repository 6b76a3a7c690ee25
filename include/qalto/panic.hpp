#pragma once
// Fatal errors for broken invariants and overflowing fields.

namespace qalto {

// Formats a printf-style message into at most 256 characters (longer text is cut) and throws
// it as std::runtime_error. Never returns. A format that yields no text throws a fixed text
// instead of ending the process.
extern "C" [[noreturn]] void panic(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

}  // namespace qalto
