#include "config/ini.h"

#include <cstring>
#include <vector>

namespace qz::ini {

namespace {

enum class Kind { kOther, kSection, kKey };

struct Line {
  size_t start;  // first byte
  size_t end;    // end of the content, before the line break
  size_t next;   // first byte of the next line
  Kind kind;
  std::string_view name;   // section or key name, blanks dropped
  std::string_view value;  // key value, blanks dropped
};

// Blanks as the profile service counts them: white space and the old
// end-of-file mark ^Z.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0x1a; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

size_t FirstLineStart(std::string_view text) {
  return text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

// Reads the line that starts at pos (pos < text.size()).
Line ReadLine(std::string_view text, size_t pos) {
  Line line{pos, pos, pos, Kind::kOther, {}, {}};
  size_t e = pos;
  while (e < text.size() && text[e] != '\n' && text[e] != '\r') ++e;
  line.end = e;
  if (e < text.size()) {
    line.next = e + 1;
    if (text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n') line.next = e + 2;
  } else {
    line.next = e;
  }
  std::string_view t = Trim(text.substr(pos, e - pos));
  if (t.empty()) return line;
  if (t.front() == '[') {
    size_t close = t.rfind(']');
    if (close != std::string_view::npos) {
      line.kind = Kind::kSection;
      line.name = Trim(t.substr(1, close - 1));
      return line;
    }
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return line;
  line.kind = Kind::kKey;
  line.name = Trim(t.substr(0, eq));
  line.value = Trim(t.substr(eq + 1));
  return line;
}

std::vector<Line> ReadLines(std::string_view text) {
  std::vector<Line> lines;
  for (size_t pos = FirstLineStart(text); pos < text.size();) {
    lines.push_back(ReadLine(text, pos));
    pos = lines.back().next;
  }
  return lines;
}

// The first section named `section`: [*first, *last) are its lines, the
// header included. False when there is none.
bool FindSection(const std::vector<Line>& lines, std::string_view section, size_t* first, size_t* last) {
  section = Trim(section);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != Kind::kSection || !SameName(lines[i].name, section)) continue;
    size_t e = i + 1;
    while (e < lines.size() && lines[e].kind != Kind::kSection) ++e;
    *first = i;
    *last = e;
    return true;
  }
  return false;
}

// The first key named `key` among lines (first, last); last when there is none.
size_t FindKey(const std::vector<Line>& lines, size_t first, size_t last, std::string_view key) {
  key = Trim(key);
  for (size_t i = first + 1; i < last; ++i) {
    if (lines[i].kind == Kind::kKey && SameName(lines[i].name, key)) return i;
  }
  return last;
}

// One pair of matching quotes around a value does not belong to it.
std::string_view Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    return v.substr(1, v.size() - 2);
  }
  return v;
}

uint32_t CopyCut(std::string_view v, char* buf, uint32_t size) {
  size_t n = v.size() < size - 1 ? v.size() : size - 1;
  if (n > 0) std::memcpy(buf, v.data(), n);
  buf[n] = '\0';
  return static_cast<uint32_t>(n);
}

// Names, each NUL-terminated, and a second NUL after the last; a list that
// does not fit is cut, still ends with two NULs, and answers size-2.
uint32_t CopyList(const std::vector<std::string_view>& names, char* buf, uint32_t size) {
  if (size < 2) {
    buf[0] = '\0';
    return 0;
  }
  uint32_t room = size - 1;  // bytes before the final NUL
  uint32_t n = 0;
  for (std::string_view name : names) {
    if (name.empty()) continue;
    if (name.size() + 1 > room) {
      uint32_t take = room > 0 ? room - 1 : 0;
      if (take > 0) std::memcpy(buf + n, name.data(), take);
      n += take;
      if (room > 0) buf[n++] = '\0';
      buf[n] = '\0';
      return size - 2;
    }
    std::memcpy(buf + n, name.data(), name.size());
    n += static_cast<uint32_t>(name.size());
    buf[n++] = '\0';
    room -= static_cast<uint32_t>(name.size() + 1);
  }
  buf[n] = '\0';
  return n;
}

bool HasLineBreak(const char* s) { return s != nullptr && std::strpbrk(s, "\r\n") != nullptr; }

}  // namespace

bool Find(std::string_view text, std::string_view section, std::string_view key, std::string_view* value) {
  std::vector<Line> lines = ReadLines(text);
  size_t first = 0;
  size_t last = 0;
  if (!FindSection(lines, section, &first, &last)) return false;
  size_t k = FindKey(lines, first, last, key);
  if (k == last) return false;
  *value = lines[k].value;
  return true;
}

uint32_t GetString(std::string_view text, bool fileFound, const char* section, const char* key,
                   const char* defaultValue, char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  if (!fileFound) text = {};
  std::vector<Line> lines = ReadLines(text);
  std::vector<std::string_view> names;
  if (section == nullptr) {
    for (const Line& l : lines) {
      if (l.kind == Kind::kSection) names.push_back(l.name);
    }
    return CopyList(names, buf, size);
  }
  size_t first = 0;
  size_t last = 0;
  bool haveSection = FindSection(lines, section, &first, &last);
  if (key == nullptr) {
    if (haveSection) {
      for (size_t i = first + 1; i < last; ++i) {
        if (lines[i].kind == Kind::kKey) names.push_back(lines[i].name);
      }
    }
    return CopyList(names, buf, size);
  }
  if (haveSection) {
    size_t k = FindKey(lines, first, last, key);
    if (k != last) return CopyCut(Unquote(lines[k].value), buf, size);
  }
  std::string_view def = defaultValue != nullptr ? defaultValue : "";
  while (!def.empty() && def.back() == ' ') def.remove_suffix(1);
  return CopyCut(def, buf, size);
}

int32_t GetInt(std::string_view text, bool fileFound, const char* section, const char* key, int32_t defaultValue) {
  if (section == nullptr || key == nullptr) return defaultValue;
  char value[30];
  if (GetString(text, fileFound, section, key, "", value, sizeof value) == 0) return defaultValue;
  const char* p = value;
  while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  uint32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) n = n * 10u + static_cast<uint32_t>(*p - '0');
  return static_cast<int32_t>(negative ? 0u - n : n);
}

bool Write(std::string_view text, const char* section, const char* key, const char* value, std::string* out) {
  if (section == nullptr || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  std::string_view keyName = key != nullptr ? Trim(key) : std::string_view();
  if (key != nullptr && (keyName.empty() || keyName.front() == '[' || keyName.find('=') != std::string_view::npos)) {
    return false;
  }
  std::vector<Line> lines = ReadLines(text);
  size_t first = 0;
  size_t last = 0;
  bool haveSection = FindSection(lines, section, &first, &last);
  auto lineStart = [&](size_t i) { return i < lines.size() ? lines[i].start : text.size(); };
  out->assign(text.data(), text.size());

  if (key == nullptr) {  // remove the section
    if (haveSection) out->erase(lines[first].start, lineStart(last) - lines[first].start);
    return true;
  }
  size_t k = haveSection ? FindKey(lines, first, last, keyName) : last;
  if (value == nullptr) {  // remove the key
    if (haveSection && k != last) out->erase(lines[k].start, lines[k].next - lines[k].start);
    return true;
  }
  std::string_view v = TrimLeft(value);
  if (haveSection && k != last) {
    if (lines[k].value == v) return true;
    std::string line(lines[k].name);
    line += '=';
    line += v;
    out->replace(lines[k].start, lines[k].end - lines[k].start, line);
    return true;
  }
  std::string line(keyName);
  line += '=';
  line += v;
  line += "\r\n";
  if (haveSection) {
    size_t after = first;  // the last line of the section that is not blank
    for (size_t i = first + 1; i < last; ++i) {
      if (!Trim(text.substr(lines[i].start, lines[i].end - lines[i].start)).empty()) after = i;
    }
    if (lines[after].next == lines[after].end) line.insert(0, "\r\n");  // the text ended without a line break
    out->insert(lines[after].next, line);
    return true;
  }
  if (!out->empty() && out->back() != '\n' && out->back() != '\r') *out += "\r\n";
  *out += '[';
  *out += Trim(section);
  *out += "]\r\n";
  *out += line;
  return true;
}

}  // namespace qz::ini
