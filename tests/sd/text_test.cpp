// What the output module makes of the daemon's messages before the
// synthesizer gets them.
#include <gtest/gtest.h>

#include <clocale>

#include "text.h"

namespace {

class SdText : public ::testing::Test {
 protected:
  void SetUp() override { std::setlocale(LC_CTYPE, "C.UTF-8"); }
};

// A message as one string: text as it is, a mark as [name].
std::string Flatten(const std::vector<sdqz::Piece>& pieces) {
  std::string s;
  for (const auto& p : pieces) s += p.mark ? "[" + p.text + "]" : p.text;
  return s;
}

TEST_F(SdText, MessagesBecomePrintableAsciiAndMarks) {
  const struct {
    const char* in;
    const char* out;
  } kCases[] = {
      {"Caf\xC3\xA9 \xC3\x9F", "Cafe ss"},                            // transliterated
      {"a\xE4\xB8\xAD" "b", "ab"},                                    // no transliteration: dropped
      {"a\xC3" "b\xFF" "c", "abc"},                                   // invalid UTF-8 dropped
      {"x\x01" "12\x01y\x18z\x7F", "x12yz"},                        // no marker or cancel gets through
      {"one\ntwo\tthree", "one two three"},
      {"<speak>a <mark name=\"m1\"/>b<mark name='m&amp;2&#10;'/></speak>", " a [m1]b[m&2] "},
      {"<speak>x &lt;&#233;&#xE9;&gt; &bogus; <emphasis>y</emphasis><break/>z</speak>",
       " x <ee> &bogus; y z "},
      {"<speak><!-- <mark name=\"no\"/> -->a<mark/>b<mark name=\"c\"", " ab"},  // unnamed, unterminated
      {"1 < 2 <mark name=\"no\"/>", "1 < 2 <mark name=\"no\"/>"},              // plain text: no tags
  };
  for (const auto& c : kCases) EXPECT_EQ(Flatten(sdqz::ParseText(c.in)), c.out) << c.in;
}

TEST_F(SdText, CharactersKeysAndIconsAreSpokenAsNames) {
  EXPECT_EQ(sdqz::CharName("a"), "a");
  EXPECT_EQ(sdqz::CharName("?"), "question mark");
  EXPECT_EQ(sdqz::CharName(" "), "space");
  EXPECT_EQ(sdqz::CharName("~"), "tilde");
  EXPECT_EQ(sdqz::CharName("\xC3\xA9"), "e");
  EXPECT_EQ(sdqz::KeyName("shift_a"), "shift a");
  EXPECT_EQ(sdqz::KeyName("control_alt_kp-enter"), "control alt kp enter");
  EXPECT_EQ(sdqz::KeyName(","), "comma");
  EXPECT_EQ(sdqz::KeyName("double-quote"), "double quote");
  EXPECT_EQ(sdqz::IconName("message_new-mail"), "message new mail");
}

}  // namespace
