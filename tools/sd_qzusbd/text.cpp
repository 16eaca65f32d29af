#include "text.h"

#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace sdqz {
namespace {

// The length of the UTF-8 sequence at s[i], or 0 when it is not valid.
size_t SequenceLength(const std::string& s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
  if (b >= 0xF5) n = 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The ASCII transliteration of one UTF-8 character, or "" when there is none.
// iconv marks what it cannot transliterate with '?'.
std::string Transliterate(const char* p, size_t n) {
  static iconv_t cd = iconv_open("ASCII//TRANSLIT", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "";
  char in[8];
  std::memcpy(in, p, n);
  char out[32];
  char* ip = in;
  char* op = out;
  size_t il = n;
  size_t ol = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  std::string t(out, static_cast<size_t>(op - out));
  if (r == static_cast<size_t>(-1) || t.empty() || t == "?") return "";
  std::string printable;
  for (char c : t) {
    if (c >= 0x20 && c < 0x7F) printable += c;
  }
  return printable;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return;
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes the XML entities of s (&lt; &#233; &#xE9; ...); an unknown or
// unterminated one stays as it is.
std::string DecodeEntities(const std::string& s) {
  static const struct {
    const char* name;
    char c;
  } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const size_t semi = s[i] == '&' ? s.find(';', i) : std::string::npos;
    if (semi == std::string::npos || semi - i > 10) {
      out += s[i];
      continue;
    }
    const std::string e = s.substr(i + 1, semi - i - 1);
    bool known = false;
    for (const auto& n : kNamed) {
      if (e == n.name) {
        out += n.c;
        known = true;
      }
    }
    if (!known && e.size() > 1 && e[0] == '#') {
      const bool hex = e[1] == 'x' || e[1] == 'X';
      const std::string digits = e.substr(hex ? 2 : 1);
      const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
      if (!digits.empty() && digits.size() <= 7 && digits.find_first_not_of(allowed) == std::string::npos) {
        AppendUtf8(static_cast<uint32_t>(std::stoul(digits, nullptr, hex ? 16 : 10)), &out);
        known = true;
      }
    }
    if (!known) {
      out += s[i];
      continue;
    }
    i = semi;
  }
  return out;
}

// The name of an SSML tag ("mark", "/s", "break"), from the text between < and >.
std::string TagName(const std::string& tag) {
  size_t end = 0;
  while (end < tag.size() && tag[end] != ' ' && tag[end] != '/' && tag[end] != '\t' && tag[end] != '\n') {
    ++end;
  }
  if (end == 0 && !tag.empty() && tag[0] == '/') {
    end = 1;
    while (end < tag.size() && tag[end] != ' ' && tag[end] != '>') ++end;
  }
  return tag.substr(0, end);
}

// The value of attribute name="..." (or '...') in a tag, entities decoded.
bool Attribute(const std::string& tag, const char* name, std::string* value) {
  const std::string key = std::string(name) + "=";
  for (size_t at = tag.find(key); at != std::string::npos; at = tag.find(key, at + 1)) {
    if (at > 0 && tag[at - 1] != ' ' && tag[at - 1] != '\t' && tag[at - 1] != '\n') continue;
    const size_t open = at + key.size();
    if (open >= tag.size() || (tag[open] != '"' && tag[open] != '\'')) return false;
    const size_t close = tag.find(tag[open], open + 1);
    if (close == std::string::npos) return false;
    *value = DecodeEntities(tag.substr(open + 1, close - open - 1));
    return true;
  }
  return false;
}

void AddText(const std::string& utf8, std::vector<Piece>* pieces) {
  const std::string ascii = ToAscii(DecodeEntities(utf8));
  if (ascii.empty()) return;
  if (pieces->empty() || pieces->back().mark) pieces->push_back(Piece{});
  pieces->back().text += ascii;
}

const char* PunctuationName(char c) {
  static const char* const kNames[] = {
      "space",        "exclamation mark", "double quote",      "number sign",  "dollar",        "percent",
      "ampersand",    "apostrophe",       "left parenthesis",  "right parenthesis", "asterisk", "plus",
      "comma",        "minus",            "period",            "slash"};
  static const char* const kNames2[] = {"colon", "semicolon", "less than", "equals", "greater than",
                                        "question mark", "at"};
  static const char* const kNames3[] = {"left bracket", "backslash", "right bracket", "caret", "underscore",
                                        "grave accent"};
  static const char* const kNames4[] = {"left brace", "vertical bar", "right brace", "tilde"};
  if (c >= ' ' && c <= '/') return kNames[c - ' '];
  if (c >= ':' && c <= '@') return kNames2[c - ':'];
  if (c >= '[' && c <= '`') return kNames3[c - '['];
  if (c >= '{' && c <= '~') return kNames4[c - '{'];
  return nullptr;
}

std::string Spaced(std::string s) {
  for (char& c : s) {
    if (c == '_' || c == '-') c = ' ';
  }
  return s;
}

}  // namespace

std::string ToAscii(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      if (b == '\n' || b == '\r' || b == '\t') out += ' ';
      else if (b >= 0x20 && b < 0x7F) out += static_cast<char>(b);
      ++i;
      continue;
    }
    const size_t n = SequenceLength(utf8, i);
    if (n == 0) {
      ++i;
      continue;
    }
    out += Transliterate(utf8.data() + i, n);
    i += n;
  }
  return out;
}

std::vector<Piece> ParseText(const std::string& data) {
  std::vector<Piece> pieces;
  const size_t first = data.find_first_not_of(" \t\r\n");
  const bool ssml = first != std::string::npos && data.compare(first, 6, "<speak") == 0;
  if (!ssml) {
    const std::string ascii = ToAscii(data);
    if (!ascii.empty()) pieces.push_back(Piece{false, ascii});
    return pieces;
  }
  size_t i = 0;
  while (i < data.size()) {
    const size_t lt = data.find('<', i);
    AddText(data.substr(i, lt == std::string::npos ? std::string::npos : lt - i), &pieces);
    if (lt == std::string::npos) break;
    if (data.compare(lt, 4, "<!--") == 0) {
      const size_t end = data.find("-->", lt + 4);
      i = end == std::string::npos ? data.size() : end + 3;
      continue;
    }
    const size_t gt = data.find('>', lt + 1);
    if (gt == std::string::npos) break;  // an unterminated tag: the rest is dropped
    const std::string tag = data.substr(lt + 1, gt - lt - 1);
    const std::string name = TagName(tag);
    std::string markName;
    if (name == "mark" && Attribute(tag, "name", &markName)) {
      // The name goes back to the daemon on one line.
      markName.erase(std::remove_if(markName.begin(), markName.end(),
                                    [](char c) { return static_cast<unsigned char>(c) < 0x20; }),
                     markName.end());
      pieces.push_back(Piece{true, markName});
    } else if (name == "break" || name == "p" || name == "/p" || name == "s" || name == "/s" || name == "speak" ||
               name == "/speak") {
      AddText(" ", &pieces);  // a boundary between words
    }
    i = gt + 1;
  }
  return pieces;
}

std::string CharName(const std::string& data) {
  std::string c = ToAscii(data);
  if (c.size() != 1) return c;
  const char* name = PunctuationName(c[0]);
  return name != nullptr ? name : c;
}

std::string KeyName(const std::string& data) {
  if (ToAscii(data).size() == 1) return CharName(data);
  // Modifiers and the key joined by '_' (shift_a, control_alt_delete); a key
  // name may hold '-' (double-quote, kp-enter).
  std::string out;
  size_t start = 0;
  while (start <= data.size()) {
    size_t end = data.find('_', start);
    if (end == std::string::npos) end = data.size();
    const std::string ascii = ToAscii(data.substr(start, end - start));
    const std::string word = ascii.size() == 1 ? CharName(ascii) : Spaced(ascii);
    if (!word.empty()) out += (out.empty() ? "" : " ") + word;
    start = end + 1;
  }
  return out;
}

std::string IconName(const std::string& data) { return Spaced(ToAscii(data)); }

}  // namespace sdqz
