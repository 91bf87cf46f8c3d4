#include "driver/link.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "system/retry.h"

namespace looptest {

namespace {

// A note is its kind and the port's number as a digit.
constexpr std::size_t note_size = 2;

}  // namespace

bool make_link(std::array<int, 2>& ends) {
  return socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends.data()) == 0;
}

bool send_note(int link, Note note, PortNumber port, int fd) {
  std::array<char, note_size> text{static_cast<char>(note),
                                   static_cast<char>('0' + static_cast<int>(port))};
  iovec part{text.data(), text.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (fd != -1) {
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  }
  return retry_interrupted([&] {
           return static_cast<int>(sendmsg(link, &message, MSG_NOSIGNAL | MSG_DONTWAIT));
         }) == static_cast<int>(note_size);
}

LinkMessage receive_note(int link) {
  std::array<char, note_size> text{};
  iovec part{text.data(), text.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  const int got = retry_interrupted(
      [&] { return static_cast<int>(recvmsg(link, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC)); });
  if (got == 0 || (got == -1 && errno != EAGAIN && errno != EWOULDBLOCK)) return {Note::ended};
  if (got != static_cast<int>(note_size)) return {};
  LinkMessage received{static_cast<Note>(text[0]),
                       text[1] == '2' ? PortNumber::two : PortNumber::one};
  if (const cmsghdr* header = CMSG_FIRSTHDR(&message);
      header != nullptr && header->cmsg_type == SCM_RIGHTS) {
    std::memcpy(&received.fd, CMSG_DATA(header), sizeof received.fd);
  }
  return received;
}

}  // namespace looptest
