#include "guest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

namespace uart {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char telnet_iac = 255;
constexpr unsigned char telnet_break = 243;

int connect_to(const std::string& path, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  while (Clock::now() < deadline) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return -1;
}

// Appends what arrives on fd until it stays quiet for timeout_ms or done(text) holds.
template <typename Done>
void read_into(int fd, std::string& text, int timeout_ms, Done done) {
  std::vector<char> block(4096);
  while (!done(text)) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, timeout_ms) <= 0) return;
    const ssize_t got = read(fd, block.data(), block.size());
    if (got <= 0) return;
    text.append(block.data(), static_cast<std::size_t>(got));
  }
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(fd, data.data(), data.size());
    if (written <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

// The -device options of the adapter for a4 or a5, on USB port 1 or 2.
std::string adapter_options(int adapter) {
  const std::string number = std::to_string(adapter);
  return "usb-serial,id=adapter" + number + ",bus=usb.0,port=" + std::to_string(adapter - 3) +
         ",chardev=a" + number + ",always-plugged=on";
}

}  // namespace

std::string Guest::boot(const Board& board) {
  const char* kernel = getenv("LOOPTEST_UART_KERNEL");
  const char* initramfs = getenv("LOOPTEST_UART_INITRAMFS");
  const char* device_tree = getenv("LOOPTEST_UART_DEVICE_TREE");
  if (kernel == nullptr || initramfs == nullptr) return "no guest kernel or initramfs given";
  for (const char* file : {kernel, device_tree}) {
    if (file != nullptr && !std::filesystem::exists(file)) {
      return std::string("no ") + file + " (tests/uart/setup.sh fetches it)";
    }
  }
  if (!std::filesystem::exists(initramfs)) {
    // The script that makes it says why it could not.
    std::string why = std::string("no initramfs at ") + initramfs;
    std::ifstream missing(std::string(initramfs) + ".missing");
    for (std::string line; std::getline(missing, line);) why += ": " + line;
    return why;
  }
  if (!std::filesystem::exists(board.qemu)) {
    return std::string(board.qemu) + " is missing (tests/uart/setup.sh installs it)";
  }
  // Should qemu end (it can crash), a far end's write fails instead of ending the tests.
  signal(SIGPIPE, SIG_IGN);
  char directory[] = "/tmp/looptest-uart-XXXXXX";
  if (mkdtemp(directory) == nullptr) return "no temporary directory";
  directory_ = directory;

  const std::string sockets = directory_ + "/";
  const std::string tty(board.tty);
  // An option and its value to a line.
  // clang-format off
  std::vector<std::string> command{
      std::string(board.qemu),
      "-M", std::string(board.machine),
      "-accel", "tcg",
      "-m", "256",
      "-nodefaults",
      "-display", "none",
      "-audiodev", "none,id=silent",
      "-no-reboot",
      "-kernel", kernel,
      "-initrd", initramfs,
      // init takes uart= from its environment.
      "-append", "console=" + tty + "0 quiet panic=-1 uart=" + tty + " " +
                     std::string(board.command_line),
      "-chardev", "socket,id=console,path=" + sockets + "console,server=on,wait=off",
      "-serial", "chardev:console",
      "-chardev", "socket,id=a4,path=" + sockets + "a4,server=on,wait=off,telnet=on",
      "-chardev", "socket,id=a5,path=" + sockets + "a5,server=on,wait=off"};
  // clang-format on
  if (board.ports == Ports::uarts) {
    // a6's far end: a pty whose slave qemu drives as a serial line.
    a6_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (a6_ == -1 || grantpt(a6_) != 0 || unlockpt(a6_) != 0) return "no pty for a6";
    termios raw{};
    tcgetattr(a6_, &raw);
    cfmakeraw(&raw);
    tcsetattr(a6_, TCSANOW, &raw);
    command.insert(command.end(),
                   {"-serial", "chardev:a4", "-serial", "chardev:a5", "-chardev",
                    std::string("serial,id=a6,path=") + ptsname(a6_), "-serial", "chardev:a6"});
  } else {
    // Plugged in whether or not a far end is connected; the monitor pulls them out.
    // clang-format off
    command.insert(command.end(), {
        "-device", "qemu-xhci,id=usb",
        "-device", adapter_options(4),
        "-device", adapter_options(5),
        "-qmp", "unix:" + sockets + "monitor,server=on,wait=off"});
    // clang-format on
  }
  if (device_tree != nullptr) command.insert(command.end(), {"-dtb", device_tree});
  std::istringstream events{std::string(board.trace)};
  for (std::string event; std::getline(events, event, ',');) {
    command.insert(command.end(), {"-trace", event});
  }
  if (!board.trace.empty()) {
    command.insert(command.end(), {"-D", sockets + "qemu.log", "-msg", "timestamp=on"});
  }
  qemu_ = testbench::start_program(command, testbench::Input::empty);
  if (qemu_.pid <= 0) return "qemu did not start";
  console_ = connect_to(sockets + "console", 20000);
  a4_ = connect_to(sockets + "a4", 20000);
  a5_ = connect_to(sockets + "a5", 20000);
  if (console_ == -1 || a4_ == -1 || a5_ == -1) return "qemu's serial sockets did not open";
  if (board.ports == Ports::usb_adapters) {
    monitor_ = connect_to(sockets + "monitor", 20000);
    if (monitor_ == -1) return "qemu's monitor socket did not open";
    const std::string answer = ask_monitor(R"({"execute": "qmp_capabilities"})");
    if (!answer.empty()) return "qemu's monitor: " + answer;
  }
  read_into(console_, console_text_, 60000,
            [](const std::string& text) { return text.find("@@ ready\n") != std::string::npos; });
  if (console_text_.find("@@ ready\n") == std::string::npos) {
    return "the guest did not come up: " + console_text_;
  }
  console_text_.clear();
  taker_ = std::jthread([this](const std::stop_token& stop) { take_what_arrives(stop); });
  receive(a4_, 0, 500);  // qemu's telnet negotiation; after it, what the port sends comes as is
  return {};
}

void Guest::shut_down() {
  if (taker_.joinable()) {
    taker_.request_stop();
    taker_.join();
  }
  testbench::stop_program(qemu_);
  for (int* fd : {&console_, &a4_, &a5_, &a6_, &monitor_}) {
    if (*fd != -1) close(*fd);
    *fd = -1;
  }
  if (!directory_.empty()) std::filesystem::remove_all(directory_);
}

Reply Guest::run(std::string_view command, int timeout_ms) {
  write_all(console_, std::string(command) + "\n");
  const auto ended = [](const std::string& text) {
    const std::size_t marker = text.rfind("@@ ");
    return marker != std::string::npos && text.find('\n', marker) != std::string::npos;
  };
  read_into(console_, console_text_, timeout_ms, ended);
  Reply reply;
  if (!ended(console_text_)) {
    reply.output = console_text_;
    return reply;
  }
  const std::size_t marker = console_text_.rfind("@@ ");
  reply.output = console_text_.substr(0, marker);
  reply.status = std::atoi(console_text_.c_str() + marker + 3);
  console_text_.clear();
  return reply;
}

std::string Guest::ask_monitor(const std::string& command, std::string_view event) {
  write_all(monitor_, command + "\n");
  // Each message is a line of JSON: the answer, and events as they happen.
  bool answered = false;
  bool seen = event.empty();
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!(answered && seen) && Clock::now() < deadline) {
    const std::size_t end = monitor_text_.find('\n');
    if (end == std::string::npos) {
      read_into(monitor_, monitor_text_, 1000,
                [](const std::string& text) { return text.find('\n') != std::string::npos; });
      continue;
    }
    const std::string message = monitor_text_.substr(0, end);
    monitor_text_.erase(0, end + 1);
    if (message.find("\"error\"") != std::string::npos) return message;
    if (message.find("\"return\"") != std::string::npos) answered = true;
    if (!event.empty() && message.find('"' + std::string(event) + '"') != std::string::npos) {
      seen = true;
    }
  }
  if (!answered) return "no answer to " + command;
  if (!seen) return "no " + std::string(event) + " after " + command;
  return {};
}

std::string Guest::unplug(int adapter) {
  return ask_monitor(R"({"execute": "device_del", "arguments": {"id": "adapter)" +
                         std::to_string(adapter) + R"("}})",
                     "DEVICE_DELETED");
}

std::string Guest::plug(int adapter) {
  std::string arguments;
  std::istringstream options(adapter_options(adapter));
  std::getline(options, arguments, ',');  // the driver
  arguments = R"("driver": ")" + arguments + R"(")";
  for (std::string option; std::getline(options, option, ',');) {
    const std::size_t equals = option.find('=');
    const std::string value = option.substr(equals + 1);
    arguments += R"(, ")" + option.substr(0, equals) + R"(": )" +
                 (value == "on" ? "true" : "\"" + value + "\"");
  }
  return ask_monitor(R"({"execute": "device_add", "arguments": {)" + arguments + "}}");
}

std::string Guest::trace_log() {
  std::ifstream log(directory_ + "/qemu.log");
  log.seekg(static_cast<std::streamoff>(trace_log_read_));
  std::string since{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
  trace_log_read_ += since.size();
  return since;
}

void Guest::send_a4(std::string_view data) {
  std::string escaped;
  for (const char byte : data) {
    escaped += byte;
    if (static_cast<unsigned char>(byte) == telnet_iac) escaped += byte;
  }
  write_all(a4_, escaped);
}

void Guest::send_a4_break() {
  const char command[] = {static_cast<char>(telnet_iac), static_cast<char>(telnet_break)};
  write_all(a4_, std::string_view(command, 2));
}

void Guest::send(int far_end, std::string_view data) { write_all(far_end, data); }

void Guest::loop_back(int far_end, bool on) { looped_[far_end_index(far_end)] = on; }

std::size_t Guest::far_end_index(int far_end) const {
  return far_end == a4_ ? 0 : far_end == a5_ ? 1 : 2;
}

void Guest::take_what_arrives(const std::stop_token& stop) {
  std::array<pollfd, 3> ends{{{a4_, POLLIN, 0}, {a5_, POLLIN, 0}, {a6_, POLLIN, 0}}};
  // What a far end that loops sends back, as the port takes it: qemu's UARTs wait for their
  // backend, so the way back must never wait for the way out.
  std::array<std::string, 3> back;
  std::vector<char> block(65536);
  while (!stop.stop_requested()) {
    for (std::size_t i = 0; i < ends.size(); ++i) {
      ends[i].events = static_cast<short>(POLLIN | (back[i].empty() ? 0 : POLLOUT));
    }
    if (poll(ends.data(), ends.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if ((ends[i].revents & POLLOUT) != 0) {
        const ssize_t sent =
            ::send(ends[i].fd, back[i].data(), back[i].size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) back[i].erase(0, static_cast<std::size_t>(sent));
      }
      if ((ends[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t got = read(ends[i].fd, block.data(), block.size());
      if (got <= 0) {
        ends[i].fd = -1;  // that end is gone; poll skips it
        continue;
      }
      const std::string_view data(block.data(), static_cast<std::size_t>(got));
      if (looped_[i]) {
        // qemu sends a telnet socket's bytes as they are, and takes 0xff doubled.
        for (const char byte : data) {
          back[i] += byte;
          if (i == 0 && static_cast<unsigned char>(byte) == telnet_iac) back[i] += byte;
        }
        continue;
      }
      const std::lock_guard lock(arrived_mutex_);
      received_[i].append(data);
      arrived_.notify_all();
    }
  }
}

std::string Guest::receive(int far_end, std::size_t until, int timeout_ms) {
  std::string& arrived = received_[far_end_index(far_end)];
  std::unique_lock lock(arrived_mutex_);
  for (std::size_t seen = arrived.size(); until == 0 || arrived.size() < until;
       seen = arrived.size()) {
    arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return arrived.size() != seen; });
    if (arrived.size() == seen) break;  // quiet for timeout_ms
  }
  std::string data;
  data.swap(arrived);
  return data;
}

}  // namespace uart
