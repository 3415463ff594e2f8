#pragma once

// A package is read through a mapping of its file. If another process shrinks the file
// meanwhile, touching a page past its new end raises SIGBUS, which would kill the tool
// without a word. The tools turn it into their usual one-line report and failure status.

#include <string>

namespace torv_package::tools {

// Installs a SIGBUS handler that writes `line` (the whole report, line end included) to
// standard error and ends the process with `status`. Only a fault on a mapped page past
// the end of its file is reported so; any other SIGBUS (a misaligned access, a signal
// sent by kill) keeps its default action.
void install_sigbus_report(std::string line, int status);

// Replaces the line the handler writes, e.g. with one naming the next package to be
// read. The tools read on one thread; the line must not be replaced while another thread
// may be touching a mapping.
void set_sigbus_report(std::string line);

// A file the handler removes before it ends the process: a command's unfinished output,
// which would otherwise stay behind. An empty path removes none. Replaced as the line is.
void set_sigbus_cleanup(std::string path);

}  // namespace torv_package::tools
