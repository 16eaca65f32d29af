// libFuzzer target for the profile parser and editor. The input is two
// control bytes (which section and key, the buffer size) and then the bytes
// of a profile file. Besides memory safety it checks what the parser promises:
// bounded copies, reads that see what a write wrote, and writes that change
// nothing but their own key.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "config/ini.h"

namespace {

struct Name {
  const char* section;
  const char* key;
};

const Name kNames[] = {
    {"QZVOX_USB_COMM", "ComPort"}, {"QZVOX_USB_COMM", "Force_Comm"}, {"qzvox_usb_comm", "NOPAUSES"},
    {" S ", " k "},                {"S", "K"},                       {"a]b", "x"},
    {"", "k"},                     {"T", "[k"},
};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];

const char* const kValues[] = {"COM1", "", "  lead and trail  ", "\"quoted\"", "x=y ; z", "'", "COM1  ; c"};
constexpr size_t kValueCount = sizeof kValues / sizeof kValues[0];

void Check(bool ok) {
  if (!ok) std::abort();
}

std::string_view TrimBlanks(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1a; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

void CheckBoundedReads(std::string_view text, const Name& n, uint32_t size) {
  char buf[300];
  std::memset(buf, 0x55, sizeof buf);
  uint32_t got = qz::ini::GetString(text, true, n.section, n.key, "default  ", buf, size);
  Check(buf[size] == 0x55);
  if (size > 0) Check(got < size && buf[got] == '\0');
  if (size == 0) Check(got == 0);

  for (int list = 0; list < 2; ++list) {
    std::memset(buf, 0x55, sizeof buf);
    got = qz::ini::GetString(text, true, list == 0 ? n.section : nullptr, nullptr, "d", buf, size);
    Check(buf[size] == 0x55);
    // A whole list ends at got with its second NUL; a cut one answers size-2
    // and the two NULs sit at got and got+1.
    if (size >= 2) {
      Check(got <= size - 1 && buf[got] == '\0');
      Check(got == 0 || buf[got - 1] == '\0' || (got == size - 2 && buf[got + 1] == '\0'));
    }
  }
  (void)qz::ini::GetInt(text, true, n.section, n.key, -7);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Name& name = kNames[data[0] % kNameCount];
  const Name& other = kNames[(data[0] / kNameCount) % kNameCount];
  const char* value = kValues[(data[0] >> 5) % kValueCount];
  uint32_t bufSize = data[1];
  std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

  CheckBoundedReads(text, name, bufSize);

  std::string out;
  Check(qz::ini::Write(text, name.section, name.key, value, &out) == (name.key[0] != '['));
  if (name.key[0] == '[') return 0;

  // The written value reads back, blanks around it dropped.
  std::string_view found;
  Check(qz::ini::Find(out, name.section, name.key, &found));
  Check(found == TrimBlanks(value));

  // Nothing else changed: another key of the section, the same key of another
  // section (unless they are the same names).
  auto same = [](const char* a, const char* b) {
    std::string_view x = TrimBlanks(a);
    std::string_view y = TrimBlanks(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(x[i])) != std::tolower(static_cast<unsigned char>(y[i]))) {
        return false;
      }
    }
    return true;
  };
  const char* pairs[2][2] = {{name.section, other.key}, {other.section, name.key}};
  for (auto& p : pairs) {
    if (same(p[0], name.section) && same(p[1], name.key)) continue;
    std::string_view before;
    std::string_view after;
    bool had = qz::ini::Find(text, p[0], p[1], &before);
    bool has = qz::ini::Find(out, p[0], p[1], &after);
    Check(had == has && (!had || before == after));
  }

  // Writing the same value again changes nothing.
  std::string again;
  Check(qz::ini::Write(out, name.section, name.key, value, &again));
  Check(again == out);

  // Removing the key, then the section, never fails.
  Check(qz::ini::Write(out, name.section, name.key, nullptr, &again));
  Check(qz::ini::Write(out, name.section, nullptr, nullptr, &again));
  return 0;
}
