#include "settings/port_names.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace looptest {
namespace {

std::string path_after(std::string_view name) {
  PortPath path = default_port1_path;
  set_port_path(path, name);
  EXPECT_LT(std::strlen(path.data()), path.size()) << "not NUL-terminated";
  return path.data();
}

TEST(PortName, LetterAndNumberGiveTheDevicePath) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a4", "/dev/tep/a4"},
      {"S12", "/dev/tep/s12"},
      {"A1", "/dev/tep/a1"},
      {"a07", "/dev/tep/a7"},
      {"a 5", "/dev/tep/a5"},
      {"a-1", "/dev/tep/a-1"},
      {"s", "/dev/tep/s0"},
      {"sx", "/dev/tep/s0"},
      {"s3\n", "/dev/tep/s3"},
      {"a99999999999999999999", "/dev/tep/a2147483647"},
      {"S-99999999999", "/dev/tep/s-2147483648"},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(path_after(name), path) << name;
}

TEST(PortName, AnyOtherFirstCharacterLeavesThePath) {
  for (const std::string_view name : {"tty0", "/dev/tep/a9", "1", "", "\n", " a5", "x1", "-h"}) {
    EXPECT_EQ(path_after(name), "/dev/tep/a4") << '"' << name << '"';
  }
}

TEST(PortName, OnlyTheFirst31CharactersCount) {
  // The digit is the 32nd character, so it is cut off and no number is left.
  const std::string name = "a" + std::string(30, ' ') + "7";
  EXPECT_EQ(path_after(name), "/dev/tep/a0");
  EXPECT_EQ(path_after(name.substr(0, 30) + "7"), "/dev/tep/a7");
}

TEST(PortName, ReplacesAnEarlierPathWhole) {
  PortPath path = make_port_path("/dev/tep/s-2147483648");
  set_port_path(path, "a1");
  EXPECT_EQ(std::string(path.data()), "/dev/tep/a1");
  for (std::size_t i = std::strlen(path.data()); i < path.size(); ++i) EXPECT_EQ(path[i], 0);
}

TEST(TypedName, ReadsOneLineOfAtMost31Characters) {
  std::string input = "s3\n" + std::string(40, '1') + "\n";
  std::FILE* in = fmemopen(input.data(), input.size(), "r");
  PortName name;
  ASSERT_TRUE(read_port_name(in, name));
  EXPECT_STREQ(name.data(), "s3\n");
  ASSERT_TRUE(read_port_name(in, name));
  EXPECT_EQ(std::string(name.data()), std::string(31, '1'));
  ASSERT_TRUE(read_port_name(in, name));  // the rest of the long line waits for the next read
  EXPECT_EQ(std::string(name.data()), std::string(9, '1') + "\n");
  EXPECT_FALSE(read_port_name(in, name));
  EXPECT_STREQ(name.data(), "");
  std::fclose(in);
}

TEST(Banner, ExplainsTheTwoFamilies) {
  char buffer[128] = {};
  std::FILE* out = fmemopen(buffer, sizeof buffer, "w");
  write_banner(out);
  std::fclose(out);
  EXPECT_STREQ(buffer, "Async loop test: (s1..sN - scc ports; a1..aN - cd ports \n");
}

}  // namespace
}  // namespace looptest
