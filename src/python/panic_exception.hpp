#pragma once

#include <string_view>

namespace zarn::python {

// Sets a PanicException carrying `text` (its only argument) as the current
// Python exception, creating the exception type on first need. If that
// itself fails there is no way to report the failure to Python: a
// diagnostic goes to standard error and the process aborts. Only the
// unwinding of an ending thread passes through.
void raise_panic(std::string_view text);

// Writes a diagnostic about an internal failure that could not be turned
// into a Python exception to standard error and aborts the process.
[[noreturn]] void abort_uncaught_panic(std::string_view text) noexcept;

}  // namespace zarn::python
