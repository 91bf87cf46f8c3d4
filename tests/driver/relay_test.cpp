#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "driver/loop_test.h"

namespace looptest {
namespace {

struct Pipe {
  std::array<int, 2> ends{-1, -1};
  Pipe() { EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC), 0); }
  ~Pipe() {
    close_read();
    close_write();
  }
  int read_end() const { return ends[0]; }
  int write_end() const { return ends[1]; }
  void close_read() { close(std::exchange(ends[0], -1)); }
  void close_write() { close(std::exchange(ends[1], -1)); }
  // The smallest pipe the kernel allows: one page, so large writes come back short.
  void shrink_and_make_non_blocking() {
    EXPECT_EQ(fcntl(write_end(), F_SETPIPE_SZ, 4096), 4096);
    EXPECT_EQ(fcntl(write_end(), F_SETFL, O_NONBLOCK), 0);
  }
};

std::vector<char> every_byte_value(std::size_t size) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 256);
  return data;
}

// Drains a pipe on another thread, slowly at first, so the writer keeps finding it full.
std::thread drain(int fd, std::vector<char>& received, std::size_t expected) {
  return std::thread([fd, &received, expected] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::array<char, 1000> buffer;
    while (received.size() < expected) {
      const ssize_t count = read(fd, buffer.data(), buffer.size());
      if (count <= 0) return;
      received.insert(received.end(), buffer.begin(), buffer.begin() + count);
    }
  });
}

class Relay : public testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
  std::array<char, transfer_size> buffer{};
};

TEST_F(Relay, WriteAllLosesNothingWhenThePortTakesLittleAtATime) {
  Pipe port;
  port.shrink_and_make_non_blocking();
  const std::vector<char> sent = every_byte_value(1 << 20);
  std::vector<char> received;
  std::thread reader = drain(port.read_end(), received, sent.size());
  EXPECT_TRUE(write_all(port.write_end(), sent));
  reader.join();
  EXPECT_TRUE(received == sent);
}

TEST_F(Relay, WriteAllFailsOnARealError) {
  Pipe port;
  port.close_read();
  const std::string data = "lost";
  EXPECT_FALSE(write_all(port.write_end(), data));
}

TEST_F(Relay, APassRelaysWhatArrivedInOneBlock) {
  Pipe in;
  Pipe out;
  const std::vector<char> sent = every_byte_value(transfer_size + 100);
  ASSERT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));

  PassResult result = relay_pass(in.read_end(), out.write_end(), buffer, 0);
  EXPECT_EQ(result.pass, Pass::relayed);
  EXPECT_EQ(result.count, static_cast<int>(transfer_size));
  result = relay_pass(in.read_end(), out.write_end(), buffer, 0);
  EXPECT_EQ(result.count, 100);

  std::vector<char> received(sent.size());
  ASSERT_EQ(read(out.read_end(), received.data(), received.size()),
            static_cast<ssize_t>(sent.size()));
  EXPECT_TRUE(received == sent);
}

TEST_F(Relay, APassWaitsOutAFullPortWithoutLosingTheBlock) {
  Pipe in;
  Pipe out;
  out.shrink_and_make_non_blocking();
  ASSERT_EQ(write(out.write_end(), "x", 1), 1);  // now a whole block no longer fits
  const std::vector<char> sent = every_byte_value(transfer_size);
  ASSERT_EQ(write(in.write_end(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));

  std::vector<char> received;
  std::thread reader = drain(out.read_end(), received, sent.size() + 1);
  const PassResult result = relay_pass(in.read_end(), out.write_end(), buffer, 0);
  reader.join();
  EXPECT_EQ(result.pass, Pass::relayed);
  ASSERT_EQ(received.size(), sent.size() + 1);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin() + 1));
}

TEST_F(Relay, APassTellsIdleFromHungUpAndFailed) {
  Pipe in;
  Pipe out;
  // A port with nothing to read may say so with EAGAIN: that is no failure.
  ASSERT_EQ(fcntl(in.read_end(), F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(relay_pass(in.read_end(), out.write_end(), buffer, 0).pass, Pass::idle);

  // A read end can be written to but not read: the read fails.
  const PassResult failed = relay_pass(out.write_end(), in.write_end(), buffer, 0);
  EXPECT_EQ(failed.pass, Pass::read_failed);
  EXPECT_EQ(failed.count, -1);

  ASSERT_EQ(write(in.write_end(), "abc", 3), 3);
  out.close_read();
  EXPECT_EQ(relay_pass(in.read_end(), out.write_end(), buffer, 0).pass, Pass::write_failed);

  in.close_write();  // readable, yet nothing comes: the far end is gone
  EXPECT_EQ(relay_pass(in.read_end(), out.write_end(), buffer, 1000).pass, Pass::hung_up);
}

TEST(StandardDescriptors, ClosedOnesAreGivenToDevNull) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    close(STDOUT_FILENO);
    claim_standard_descriptors();
    const int next = open("/dev/null", O_RDONLY);  // must not get descriptor 1
    _exit(fcntl(STDOUT_FILENO, F_GETFD) != -1 && next > 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace looptest
