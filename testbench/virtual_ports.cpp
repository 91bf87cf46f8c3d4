#include "virtual_ports.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace testbench {

namespace {

std::string failed(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool write_file(const char* path, std::string_view text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd == -1) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

std::string enter_namespaces() {
  // Root needs only its own mount namespace; anyone else gets a user namespace as well,
  // in which it is root and may mount.
  if (geteuid() == 0 && unshare(CLONE_NEWNS) == 0) return {};
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    return failed("unshare(CLONE_NEWUSER | CLONE_NEWNS) (user namespaces not allowed here?)");
  }
  write_file("/proc/self/setgroups", "deny");  // absent on old kernels, needed on new ones
  if (!write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
    return failed("writing the user namespace's id maps");
  }
  return {};
}

// The few host nodes that programs expect, carried into the new /dev by bind mounts.
constexpr std::array<const char*, 5> carried_nodes{"null", "zero", "full", "random", "urandom"};

}  // namespace

std::string enter_private_dev() {
  if (std::string error = enter_namespaces(); !error.empty()) return error;
  // Without this, mounts below would propagate back to the host's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failed("making / private");
  }

  std::array<int, carried_nodes.size()> host_nodes{};
  for (std::size_t i = 0; i < carried_nodes.size(); ++i) {
    host_nodes[i] = open((std::string("/dev/") + carried_nodes[i]).c_str(), O_PATH | O_CLOEXEC);
  }

  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m") != 0) {
    return failed("mounting a tmpfs on /dev");
  }
  if (mkdir("/dev/pts", 0755) != 0 || mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                                            "newinstance,ptmxmode=0666,mode=0620") != 0) {
    return failed("mounting a new devpts instance");
  }
  // Shared memory, as programs run beside the tool (Python's multiprocessing) expect.
  if (mkdir("/dev/shm", 01777) != 0 ||
      mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=16m") != 0) {
    return failed("mounting a tmpfs on /dev/shm");
  }
  if (symlink("pts/ptmx", "/dev/ptmx") != 0 || symlink("/proc/self/fd", "/dev/fd") != 0 ||
      symlink("/proc/self/fd/0", "/dev/stdin") != 0 ||
      symlink("/proc/self/fd/1", "/dev/stdout") != 0 ||
      symlink("/proc/self/fd/2", "/dev/stderr") != 0 || mkdir("/dev/tep", 0755) != 0) {
    return failed("populating the private /dev");
  }

  for (std::size_t i = 0; i < carried_nodes.size(); ++i) {
    if (host_nodes[i] == -1) continue;
    const std::string node = std::string("/dev/") + carried_nodes[i];
    const std::string source = "/proc/self/fd/" + std::to_string(host_nodes[i]);
    const int placeholder = open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (placeholder == -1) return failed("creating " + node);
    close(placeholder);
    if (mount(source.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return failed("binding " + node);
    }
    close(host_nodes[i]);
  }
  return {};
}

VirtualPort::VirtualPort(std::string_view name) : path_("/dev/tep/" + std::string(name)) {
  const int far_end = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (far_end == -1) {
    error_ = failed("posix_openpt");
    return;
  }
  std::array<char, 64> slave{};
  termios raw{};
  if (grantpt(far_end) != 0 || unlockpt(far_end) != 0 ||
      ptsname_r(far_end, slave.data(), slave.size()) != 0) {
    error_ = failed("preparing the pty");
  } else if (tcgetattr(far_end, &raw) != 0 ||
             (cfmakeraw(&raw), tcsetattr(far_end, TCSANOW, &raw)) != 0) {
    error_ = failed("making the port raw");  // on a pty master these reach the slave's record
  } else if (symlink(slave.data(), path_.c_str()) != 0) {
    error_ = failed("linking " + path_);
  } else {
    master_ = far_end;
    linked_ = true;
    return;
  }
  close(far_end);
}

VirtualPort::VirtualPort(VirtualPort&& other) noexcept
    : path_(std::move(other.path_)),
      error_(std::move(other.error_)),
      master_(std::exchange(other.master_, -1)),
      linked_(std::exchange(other.linked_, false)) {}

VirtualPort::~VirtualPort() {
  hang_up();
  if (linked_) unlink(path_.c_str());
}

void VirtualPort::hang_up() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace testbench
