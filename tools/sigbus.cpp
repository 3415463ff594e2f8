#include "sigbus.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <utility>

namespace torv_package::tools {

namespace {

// Formatted before anything is read, so that the handler only writes bytes: nothing in it
// allocates, formats or takes a lock.
std::unique_ptr<const std::string> current_line, current_cleanup;
std::atomic<const std::string*> report_line{nullptr}, cleanup_path{nullptr};
std::atomic<int> report_status{1};

void on_sigbus(int, siginfo_t* info, void*) {
  if (info == nullptr || info->si_code != BUS_ADRERR) {
    // Not a mapping that lost its file: let the fault end the process as it would have.
    signal(SIGBUS, SIG_DFL);
    if (info != nullptr && info->si_code <= 0) raise(SIGBUS);  // sent, not a fault: resend
    return;  // a fault repeats on return, now with the default action
  }
  if (const std::string* line = report_line.load()) {
    const char* rest = line->data();
    std::size_t left = line->size();
    while (left > 0) {
      const ssize_t n = write(STDERR_FILENO, rest, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // nowhere left to report a failure of this write
      rest += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  if (const std::string* path = cleanup_path.load()) unlink(path->c_str());
  _exit(report_status.load());
}

// Publishes `text` to the handler through `slot`, keeping it in `owner`.
void publish(std::string text, std::atomic<const std::string*>& slot, std::unique_ptr<const std::string>& owner) {
  auto next = text.empty() ? nullptr : std::make_unique<const std::string>(std::move(text));
  slot.store(next.get());
  owner = std::move(next);  // the old text is freed only once the handler cannot see it
}

}  // namespace

void set_sigbus_report(std::string line) { publish(std::move(line), report_line, current_line); }

void set_sigbus_cleanup(std::string path) { publish(std::move(path), cleanup_path, current_cleanup); }

void install_sigbus_report(std::string line, int status) {
  set_sigbus_report(std::move(line));
  report_status.store(status);
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO;
  sigfillset(&action.sa_mask);  // no other handler runs between the report and the exit
  sigaction(SIGBUS, &action, nullptr);
}

}  // namespace torv_package::tools
