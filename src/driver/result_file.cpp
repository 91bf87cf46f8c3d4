#include "driver/result_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "driver/result_json.h"
#include "system/retry.h"
#include "system/text_line.h"

namespace looptest {

namespace {

// The ERROR lines kept for the end, in a page both relay processes share: each takes a slot
// by its number and marks it ready once its text is in.
struct ErrorSlot {
  std::atomic<bool> ready{false};
  std::size_t length = 0;
  std::array<char, text_line_size> text{};
};
struct SharedErrors {
  std::atomic<std::uint64_t> count{0};
  std::array<ErrorSlot, kept_error_lines> slots{};
};
static_assert(std::atomic<bool>::is_always_lock_free, "shared between processes");

// One result file per run, opened before the fork: both processes write to it.
int result_fd = -1;
pid_t first_process = -1;
SharedErrors* shared_errors = nullptr;
int write_error = 0;  // errno of this process's first failed write

SharedErrors* map_shared_errors() {
  void* page = mmap(nullptr, sizeof(SharedErrors), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return nullptr;
  return new (page) SharedErrors;  // placement: the page is the storage
}

void keep_error(std::string_view text) {
  if (shared_errors == nullptr) return;
  const std::uint64_t number = shared_errors->count.fetch_add(1, std::memory_order_relaxed);
  if (number >= kept_error_lines) return;
  ErrorSlot& slot = shared_errors->slots[static_cast<std::size_t>(number)];
  slot.length = std::min(text.size(), slot.text.size());
  text.copy(slot.text.data(), slot.length);
  slot.ready.store(true, std::memory_order_release);
}

}  // namespace

Failure open_result_file(const char* path) {
  // Not blocking: a FIFO with no reader is refused rather than waited for, and one that is
  // full drops a line rather than hold up a relay. A file never waits.
  const int fd = retry_interrupted([path] {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                0666);
  });
  if (fd == -1) return failure_of("open");
  shared_errors = map_shared_errors();
  if (shared_errors == nullptr) {
    const Failure failure = failure_of("mmap");
    close(fd);
    return failure;
  }
  result_fd = fd;
  first_process = getpid();
  return {};
}

bool result_open() { return result_fd != -1; }

void write_result_line(const JsonLine& line) {
  if (result_fd == -1 || line.cut) return;
  const std::string_view text = line.view();
  ssize_t written = 0;
  do {
    written = write(result_fd, text.data(), text.size());
  } while (written == -1 && errno == EINTR);
  if (written != static_cast<ssize_t>(text.size()) && write_error == 0) {
    write_error = written == -1 ? errno : ENOSPC;  // short: the disk took only part of it
  }
}

Failure close_result_file() {
  if (result_fd == -1) return {};
  Failure failure{};
  if (write_error != 0) failure = {"write", write_error};
  // A FIFO or a device has nothing to write out: only a file's sync can fail for the data.
  if (fsync(result_fd) != 0 && errno != EINVAL && errno != EROFS && !failure) {
    failure = failure_of("fsync");
  }
  if (close(result_fd) != 0 && errno != EINTR && !failure) failure = failure_of("close");
  result_fd = -1;
  return failure;
}

KeptErrors kept_errors() {
  KeptErrors kept;
  if (shared_errors == nullptr) return kept;
  kept.all = shared_errors->count.load(std::memory_order_relaxed);
  for (const ErrorSlot& slot : shared_errors->slots) {
    if (kept.kept == kept.all || !slot.ready.load(std::memory_order_acquire)) break;
    kept.lines[kept.kept++] = std::string_view(slot.text.data(), slot.length);
  }
  return kept;
}

void result_printed(std::string_view line) {
  if (result_fd == -1 || !line.starts_with("ERROR")) return;
  if (line.ends_with('\n')) line.remove_suffix(1);
  keep_error(line);
  write_result_line(error_object(line, getpid() != first_process));
}

void result_port(std::string_view path, std::string_view state) {
  if (result_fd != -1) write_result_line(port_object(path, state));
}

void result_refused(std::string_view path, int error) {
  if (result_fd != -1) write_result_line(refused_object(path, error));
}

void result_wiring(Wiring wiring) {
  if (result_fd != -1) write_result_line(wiring_object(wiring));
}

void result_handshake(std::string_view path, const std::optional<Handshake>& handshake) {
  if (result_fd != -1) write_result_line(handshake_object(path, handshake));
}

}  // namespace looptest
