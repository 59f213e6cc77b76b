#pragma once

namespace zarn::python {

// Attaches the note "while processing '{argument}'" to the pending Python
// exception through its add_note method. A failure to attach the note is
// ignored; the original exception stays pending either way.
void add_argument_note(const char* argument);

}  // namespace zarn::python
