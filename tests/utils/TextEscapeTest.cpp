#include "utils/TextEscape.h"

#include <gtest/gtest.h>

TEST(TextEscape, eachEscaper_handlesItsSpecialCharacters) {
  using Escaper = std::string (*)(std::string_view);
  struct Case {
    const char* name;
    Escaper escape;
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"json quote and backslash", jsonEscape, "a\"b\\c", "a\\\"b\\\\c"},
      {"json short forms", jsonEscape, "\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
      {"json other controls", jsonEscape, std::string("\x00\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
      {"json utf-8 and slash", jsonEscape, "caf\xc3\xa9/x", "caf\xc3\xa9/x"},
      {"xml markup", xmlEscape, "<a href=\"x\">'&'</a>", "&lt;a href=&quot;x&quot;&gt;&apos;&amp;&apos;&lt;/a&gt;"},
      {"xml controls", xmlEscape, std::string("a\x01\tb\nc\rd\x00", 9), "a\tb\nc\rd"},
      {"url unreserved", urlEncode, "A-z.0_9~", "A-z.0_9~"},
      {"url reserved and space", urlEncode, "a b&c=d/e?f#g+h%", "a%20b%26c%3Dd%2Fe%3Ff%23g%2Bh%25"},
      {"url bytes", urlEncode, "\xc3\xa9\n", "%C3%A9%0A"},
      {"roff minus and backslash", roffEscape, "--link a\\b", "\\-\\-link a\\eb"},
      {"roff requests at line starts", roffEscape, ".TH x\n'br\na.b", "\\&.TH x\n\\&'br\na.b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.escape(c.input), c.expected) << c.name;
  }
}
