#pragma once

namespace zarn::python {

// Whether the pending exception is an ordinary error, one derived from
// Exception, that a conversion may handle or replace. KeyboardInterrupt,
// SystemExit and GeneratorExit are not: they propagate unchanged.
bool ordinary_error_pending();

// Attaches the note "while processing '{argument}'" to the pending ordinary
// error through its add_note method. A failure to attach the note is
// ignored; the original exception stays pending either way, and an
// exception that is not an ordinary error stays as it is.
void add_argument_note(const char* argument);

}  // namespace zarn::python
