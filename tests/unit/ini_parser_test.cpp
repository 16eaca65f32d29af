#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "config/ini.h"

namespace qz::ini {
namespace {

struct ReadCase {
  const char* what;
  const char* text;
  const char* section;
  const char* key;
  const char* defaultValue;
  uint32_t size;
  const char* expected;
};

// What a string read gives, fact by fact.
const ReadCase kReadCases[] = {
    {"plain value", "[S]\r\nk=v\r\n", "S", "k", "d", 16, "v"},
    {"section name ignores case", "[qzvox_usb_comm]\r\nComPort=COM2\r\n", "QZVOX_USB_COMM", "ComPort", "d", 16,
     "COM2"},
    {"key name ignores case", "[S]\r\ncomport=COM3\r\n", "S", "COMPORT", "d", 16, "COM3"},
    {"blanks around names and value", "  [ S ]  \r\n\t key \t=  value with  inner  \t\r\n", "S", "key", "d", 64,
     "value with  inner"},
    {"blanks around the asked names", "[S]\r\nkey=v\r\n", "  S ", " key\t", "d", 16, "v"},
    {"double quotes stripped", "[S]\r\nk=\"  quoted \"\r\n", "S", "k", "d", 16, "  quoted "},
    {"single quotes stripped", "[S]\r\nk='x'\r\n", "S", "k", "d", 16, "x"},
    {"only one pair stripped", "[S]\r\nk=\"\"x\"\"\r\n", "S", "k", "d", 16, "\"x\""},
    {"unmatched quotes kept", "[S]\r\nk=\"x'\r\n", "S", "k", "d", 16, "\"x'"},
    {"lone quote kept", "[S]\r\nk=\"\r\n", "S", "k", "d", 16, "\""},
    {"first of two equal keys wins", "[S]\r\nk=first\r\nK=second\r\n", "S", "k", "d", 16, "first"},
    {"first of two equal sections is used", "[S]\r\na=1\r\n[S]\r\nk=later\r\n", "S", "k", "d", 16, "d"},
    {"no end-of-line comments", "[S]\r\nComPort=COM1  ; Valid ports are COM1, COM2, COM3 and COM4.\r\n", "S",
     "ComPort", "d", 128, "COM1  ; Valid ports are COM1, COM2, COM3 and COM4."},
    {"value cut to size-1", "[S]\r\nComPort=COM1  ; Valid ports\r\n", "S", "ComPort", "d", 5, "COM1"},
    {"quotes stripped before the cut", "[S]\r\nk=\"abcdef\"\r\n", "S", "k", "d", 4, "abc"},
    {"size 1 gives empty", "[S]\r\nk=abc\r\n", "S", "k", "d", 1, ""},
    {"empty value is empty, not the default", "[S]\r\nComPort=\r\n", "S", "ComPort", "COM1", 5, ""},
    {"blank value is empty", "[S]\r\nComPort=   \r\n", "S", "ComPort", "COM1", 5, ""},
    {"missing key gives default", "[S]\r\nother=1\r\n", "S", "ComPort", "COM1", 5, "COM1"},
    {"missing section gives default", "[T]\r\nComPort=COM3\r\n", "S", "ComPort", "COM1", 5, "COM1"},
    {"default loses trailing spaces", "", "S", "k", "dflt   ", 16, "dflt"},
    {"default is cut too", "", "S", "k", "abcdef", 4, "abc"},
    {"null default is empty", "", "S", "k", nullptr, 16, ""},
    {"key of another section not seen", "[T]\r\nk=t\r\n[S]\r\nj=s\r\n", "S", "k", "d", 16, "d"},
    {"key before any section not seen", "k=top\r\n[S]\r\n", "S", "k", "d", 16, "d"},
    {"line without '=' is no key", "[S]\r\nk\r\nk=v\r\n", "S", "k", "d", 16, "v"},
    {"comment line is no key", "[S]\r\n;k=c\r\nk=v\r\n", "S", "k", "d", 16, "v"},
    {"LF and CR line ends", "[S]\nk=lf\r[T]\rj=cr\n", "T", "j", "d", 16, "cr"},
    {"last line without line end", "[S]\r\nk=end", "S", "k", "d", 16, "end"},
    {"byte-order mark skipped", "\xEF\xBB\xBF[S]\r\nk=v\r\n", "S", "k", "d", 16, "v"},
    {"section header to the last ']'", "[a]b]\r\nk=v\r\n", "a]b", "k", "d", 16, "v"},
    {"text after the header ignored", "[S] junk=1\r\nk=v\r\n", "S", "k", "d", 16, "v"},
    {"'[' without ']' is a key line", "[S]\r\n[x=1\r\n", "S", "[x", "d", 16, "1"},
    {"value keeps later '='", "[S]\r\nk=a=b\r\n", "S", "k", "d", 16, "a=b"},
    {"bytes above 0x7F kept", "[S]\r\nk=\xE9t\xE9\r\n", "S", "k", "d", 16, "\xE9t\xE9"},
};

class IniReadTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(IniReadTable, StringReadGivesExpectedValueAndLength) {
  const ReadCase& c = GetParam();
  char buf[256];
  std::memset(buf, 'X', sizeof buf);
  uint32_t n = GetString(c.text, true, c.section, c.key, c.defaultValue, buf, c.size);
  EXPECT_STREQ(buf, c.expected) << c.what;
  EXPECT_EQ(n, std::strlen(c.expected)) << c.what;
  EXPECT_EQ(buf[c.size], 'X') << c.what << ": wrote past the buffer";
}

INSTANTIATE_TEST_SUITE_P(Facts, IniReadTable, ::testing::ValuesIn(kReadCases));

TEST(IniRead, MissingFileGivesDefaultWhateverTheText) {
  char buf[8];
  EXPECT_EQ(GetString("[S]\r\nk=v\r\n", false, "S", "k", "COM1", buf, 5), 4u);
  EXPECT_STREQ(buf, "COM1");
  EXPECT_EQ(GetInt("[S]\r\nk=5\r\n", false, "S", "k", -2), -2);
}

TEST(IniRead, SizeZeroWritesNothing) {
  char buf[2] = {'X', 'X'};
  EXPECT_EQ(GetString("[S]\r\nk=v\r\n", true, "S", "k", "d", buf, 0), 0u);
  EXPECT_EQ(buf[0], 'X');
}

TEST(IniRead, KeyAndSectionListsAreDoubleNulTerminatedAndCut) {
  const char* text = "[One]\r\na=1\r\nbb=2\r\n[Two]\r\n";
  char buf[32];
  uint32_t n = GetString(text, true, "one", nullptr, "d", buf, sizeof buf);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, 6), std::string("a\0bb\0\0", 6));
  n = GetString(text, true, nullptr, nullptr, "d", buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n + 1), std::string("One\0Two\0\0", 9));
  std::memset(buf, 'X', sizeof buf);
  n = GetString(text, true, nullptr, nullptr, "d", buf, 7);  // "One\0", then room for "T" and two NULs
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(buf, 7), std::string("One\0T\0\0", 7));
  EXPECT_EQ(buf[7], 'X');
}

struct IntCase {
  const char* value;  // the text after "k=", or null for no key
  int32_t defaultValue;
  int32_t expected;
};

TEST(IniRead, IntegerTakesSignAndLeadingDigits) {
  const IntCase cases[] = {
      {"1  ; Force communication on serial port: 0=Never, 1=Always", 9, 1},
      {"yes", 9, 0},
      {"-3", 9, -3},
      {"+12", 9, 12},
      {"7", 9, 7},
      {"0  ; Pauses caused by punctuation", 9, 0},
      {"\"42\"", 9, 42},
      {"12abc34", 9, 12},
      {"", 9, 9},
      {"   ", 9, 9},
      {nullptr, 9, 9},
      {"4294967295", 9, -1},
      {"2147483648", 9, INT32_MIN},
  };
  for (const IntCase& c : cases) {
    std::string text = "[S]\r\n";
    if (c.value != nullptr) text += std::string("k=") + c.value + "\r\n";
    EXPECT_EQ(GetInt(text, true, "S", "k", c.defaultValue), c.expected) << (c.value ? c.value : "(no key)");
  }
}

std::string Written(const std::string& text, const char* section, const char* key, const char* value) {
  std::string out;
  EXPECT_TRUE(Write(text, section, key, value, &out));
  return out;
}

TEST(IniWrite, CreatesSectionAndKeysInOrderWithCrLf) {
  std::string t = Written("", "QZVOX_USB_COMM", "ComPort", "COM1  ; c");
  t = Written(t, "QZVOX_USB_COMM", "Force_Comm", "0  ; f");
  t = Written(t, "QZVOX_USB_COMM", "NoPauses", "0");
  EXPECT_EQ(t, "[QZVOX_USB_COMM]\r\nComPort=COM1  ; c\r\nForce_Comm=0  ; f\r\nNoPauses=0\r\n");
}

TEST(IniWrite, ReplacesValueInPlaceAndKeepsEveryOtherLine) {
  const std::string text =
      "; top comment\r\n[Other]\r\nComPort=COM9\r\n\r\n[qzvox_usb_comm]\r\n  ; note\r\nextra = 1\r\n"
      "  comport = COM5 \r\nNoPauses=2\n[Last]\r\nx=y";
  EXPECT_EQ(Written(text, "QZVOX_USB_COMM", "ComPort", "COM1"),
            "; top comment\r\n[Other]\r\nComPort=COM9\r\n\r\n[qzvox_usb_comm]\r\n  ; note\r\nextra = 1\r\n"
            "comport=COM1\r\nNoPauses=2\n[Last]\r\nx=y");
}

TEST(IniWrite, SameValueChangesNothing) {
  const std::string text = "[S]\r\n k = v \r\n";
  EXPECT_EQ(Written(text, "S", "k", "v"), text);
}

TEST(IniWrite, NewKeyGoesAfterLastLineOfSectionBeforeBlankLines) {
  EXPECT_EQ(Written("[S]\r\na=1\r\n\r\n[T]\r\n", "S", "b", "2"), "[S]\r\na=1\r\nb=2\r\n\r\n[T]\r\n");
  EXPECT_EQ(Written("[S]", "s", "b", "2"), "[S]\r\nb=2\r\n");
}

TEST(IniWrite, NewSectionAppendedWithoutBlankLine) {
  EXPECT_EQ(Written("[T]\r\nx=1", " S ", " k ", "  v"), "[T]\r\nx=1\r\n[S]\r\nk=v\r\n");
  EXPECT_EQ(Written("[T]\n", "S", "k", ""), "[T]\n[S]\r\nk=\r\n");
}

TEST(IniWrite, NullValueRemovesKeyAndNullKeyRemovesSection) {
  const std::string text = "[S]\r\na=1\r\nb=2\r\n[T]\r\nc=3\r\n";
  EXPECT_EQ(Written(text, "S", "a", nullptr), "[S]\r\nb=2\r\n[T]\r\nc=3\r\n");
  EXPECT_EQ(Written(text, "S", nullptr, nullptr), "[T]\r\nc=3\r\n");
  EXPECT_EQ(Written(text, "U", "a", nullptr), text);
}

TEST(IniWrite, RefusesWhatWouldBreakTheFile) {
  std::string out;
  EXPECT_FALSE(Write("", nullptr, "k", "v", &out));
  EXPECT_FALSE(Write("", "S", "k", "v\r\n[Evil]", &out));
  EXPECT_FALSE(Write("", "S\n", "k", "v", &out));
  EXPECT_FALSE(Write("", "S", "k=j", "v", &out));
  EXPECT_FALSE(Write("", "S", "[k]", "v", &out));
  EXPECT_FALSE(Write("", "S", "  ", "v", &out));
}

TEST(IniWrite, WrittenValueReadsBack) {
  const char* values[] = {"COM1", "", "  lead", "\"q\"", "a=b", "x ; y"};
  for (const char* v : values) {
    std::string t = Written("[S]\r\nk=old\r\n", "S", "k", v);
    std::string_view found;
    ASSERT_TRUE(Find(t, "S", "k", &found)) << v;
    std::string expect(v);
    expect.erase(0, expect.find_first_not_of(' ') == std::string::npos ? expect.size() : expect.find_first_not_of(' '));
    EXPECT_EQ(found, expect) << v;
  }
}

}  // namespace
}  // namespace qz::ini
