#pragma once

namespace velda {

// The launcher is a windowed program and has no console of its own. Output that its starter
// redirected (a file, a pipe) is kept as it is; otherwise the log goes to the console of the
// program that started it, when there is one, and nowhere when not.
void connect_standard_output();

}  // namespace velda
