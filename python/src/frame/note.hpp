#pragma once
// Notes on failed argument conversions: the pending exception keeps its type
// and message and gains "while processing '<name>'" through its own add_note
// method, looked up when needed, so interpreters without it simply get no note.

namespace tolvane::py {

// Requires a pending exception; leaves it pending, with the note when possible.
void add_argument_note(const char* parameter_name);

}  // namespace tolvane::py
