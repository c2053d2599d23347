#pragma once

#include <cstddef>

#include "common/path_size.h"
#include "start/child_environment.h"
#include "start/first_line.h"

namespace velda {

// Receives what a hidden child writes to its stdout, and to its stderr unless that is kept apart
// (run_hidden).
class ChildOutput {
  public:
    // The child is running; nothing has been read yet.
    virtual void started() {}
    // One read from the pipe, in the order the child wrote it.
    virtual void received(const char* bytes, size_t count) = 0;
    // The child closed its end; called before waiting for it to exit.
    virtual void finished() {}

  protected:
    ~ChildOutput() = default;
};

// A child the launcher starts. The program is named by its full path, so nothing is searched
// for it (a program of the same name in the launcher's folder or the current one never runs);
// the command line is what the child reads, as given.
struct ChildProgram {
    const char* path;
    char* command_line;  // writable, as CreateProcess wants it
    // Set for the child alone, on top of the launcher's own environment.
    const ChildVariable* variables = nullptr;
    size_t variable_count = 0;
};

// "<system folder>\<relative_path>" into out. False, with out empty, when it does not fit;
// GetLastError then tells why when the system folder could not be read.
[[nodiscard]] bool system_program_path(const char* relative_path, char out[kPathSize]);

// Starts program in folder (null: the launcher's own) and does not wait for it. False when it
// could not be started; GetLastError then tells why.
[[nodiscard]] bool start_detached(const ChildProgram& program, const char* folder,
                                  unsigned long creation_flags);

// Runs program without a window and waits for it. With output, the child's stdout goes
// through a pipe to it, and so does its stderr unless error_line is given: that then keeps the
// first line the child wrote on stderr. Without output, the child inherits nothing. *exit_code
// is 1 unless the child's own code could be read. False when it could not be started;
// GetLastError then tells why.
[[nodiscard]] bool run_hidden(const ChildProgram& program, ChildOutput* output,
                              unsigned long* exit_code, FirstLine* error_line = nullptr);

}  // namespace velda
