#pragma once

#include <cstddef>

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

// Starts command_line in folder (null: the launcher's own) and does not wait for it. False when
// it could not be started; GetLastError then tells why.
[[nodiscard]] bool start_detached(char* command_line, const char* folder,
                                  unsigned long creation_flags);

// Runs command_line without a window and waits for it. With output, the child's stdout goes
// through a pipe to it, and so does its stderr unless error_line is given: that then keeps the
// first line the child wrote on stderr. Without output, the child inherits nothing. *exit_code
// is 1 unless the child's own code could be read. False when it could not be started;
// GetLastError then tells why.
[[nodiscard]] bool run_hidden(char* command_line, ChildOutput* output, unsigned long* exit_code,
                              FirstLine* error_line = nullptr);

}  // namespace velda
