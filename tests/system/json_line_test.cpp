#include "system/json_line.h"

#include <gtest/gtest.h>

#include <string>

namespace looptest {
namespace {

std::string quoted(std::string_view text) {
  JsonLine line;
  append_json_string(line, text);
  return std::string(line.view());
}

// Whatever bytes a path or an ERROR line holds, the string is JSON and its UTF-8 valid.
TEST(JsonString, EscapesWhatJsonWantsAndReplacesWhatIsNotUtf8) {
  const struct {
    std::string_view text;
    std::string json;
  } cases[] = {
      {"/dev/tep/a4", R"("/dev/tep/a4")"},
      {"say \"x\" \\ y", R"("say \"x\" \\ y")"},
      {"a\nb\tc\rd", R"("a\nb\tc\rd")"},
      {std::string_view("\x01\x1f\x7f\0", 4), R"("\u0001\u001f\u007f\u0000")"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xff\xc3", R"("\ufffd\ufffd")"},                      // not a lead; a lead cut short
      {"\xc0\xaf", R"("\ufffd\ufffd")"},                      // overlong '/'
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},            // a surrogate
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(quoted(c.text), c.json) << c.json;
}

TEST(JsonLine, NestsWithCommasAndEndsWithANewline) {
  JsonLine line;
  open_object(line);
  add_string(line, "type", "end");
  add_thousandths(line, "seconds", 12034);
  add_thousandths(line, "back", -5);
  open_array(line, "reasons");
  add_string(line, {}, "held");
  add_string(line, {}, "errors");
  close_array(line);
  open_array(line, "directions");
  open_object(line);
  add_unsigned(line, "bytes", 18446744073709551615u);
  add_null(line, "duration");
  close_object(line);
  close_array(line);
  add_bool(line, "ok", false);
  end_line(line);
  EXPECT_FALSE(line.cut);
  EXPECT_EQ(line.view(),
            R"({"type":"end","seconds":12.034,"back":-0.005,"reasons":["held","errors"],)"
            R"("directions":[{"bytes":18446744073709551615,"duration":null}],"ok":false})"
            "\n");
}

// A line too long for its buffer is cut, never overrun, and says so: it is not to be written.
TEST(JsonLine, ALineThatDoesNotFitIsCut) {
  JsonLine line;
  open_object(line);
  const std::string long_text(json_line_size, 'x');
  add_string(line, "text", long_text);
  end_line(line);
  EXPECT_TRUE(line.cut);
  EXPECT_LT(line.length, json_line_size);
}

}  // namespace
}  // namespace looptest
