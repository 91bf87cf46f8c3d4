#include "driver/link.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace looptest {
namespace {

struct Link {
  std::array<int, 2> ends{-1, -1};
  Link() { EXPECT_TRUE(make_link(ends)); }
  ~Link() {
    for (const int end : ends) {
      if (end != -1) close(end);
    }
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
};

TEST(Link, NotesArriveWholeAndInOrderWithTheirDescriptors) {
  Link link;
  EXPECT_EQ(receive_note(link.ends[1]).note, Note::none) << "nothing sent, nothing waited for";

  std::array<int, 2> pipe_ends{};
  ASSERT_EQ(pipe(pipe_ends.data()), 0);
  EXPECT_TRUE(send_note(link.ends[0], Note::lost, PortNumber::two));
  EXPECT_TRUE(send_note(link.ends[0], Note::port, PortNumber::one, pipe_ends[1]));
  EXPECT_TRUE(send_note(link.ends[0], Note::finish, PortNumber::one));

  const LinkMessage lost = receive_note(link.ends[1]);
  EXPECT_EQ(lost.note, Note::lost);
  EXPECT_EQ(lost.port, PortNumber::two);
  EXPECT_EQ(lost.fd, -1);

  const LinkMessage port = receive_note(link.ends[1]);
  EXPECT_EQ(port.note, Note::port);
  EXPECT_EQ(port.port, PortNumber::one);
  ASSERT_NE(port.fd, -1);
  EXPECT_NE(port.fd, pipe_ends[1]) << "a descriptor of the receiver's own";
  struct stat sent {};
  struct stat received {};
  ASSERT_EQ(fstat(pipe_ends[1], &sent), 0);
  ASSERT_EQ(fstat(port.fd, &received), 0);
  EXPECT_EQ(sent.st_ino, received.st_ino) << "the same pipe";
  EXPECT_EQ(fcntl(port.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

  EXPECT_EQ(receive_note(link.ends[1]).note, Note::finish);
  EXPECT_EQ(receive_note(link.ends[1]).note, Note::none);
  for (const int fd : {pipe_ends[0], pipe_ends[1], port.fd}) close(fd);
}

TEST(Link, TheEndOfTheOtherSideIsANoteAndSendingToItFailsQuietly) {
  Link link;
  close(std::exchange(link.ends[0], -1));
  EXPECT_EQ(receive_note(link.ends[1]).note, Note::ended);
  EXPECT_EQ(receive_note(link.ends[1]).note, Note::ended) << "and stays so";
  EXPECT_FALSE(send_note(link.ends[1], Note::lost, PortNumber::one)) << "no SIGPIPE, only false";
}

}  // namespace
}  // namespace looptest
