// What the output module sends to the synthesizer: the daemon's messages
// turned into printable ASCII text and index marks.
#pragma once

#include <string>
#include <vector>

namespace sdqz {

// One part of a message, in speaking order: text to speak (printable ASCII
// only), or an index mark with the name the daemon gave it.
struct Piece {
  bool mark = false;
  std::string text;
};

// A SPEAK message: SSML (it starts with <speak) with every tag removed except
// <mark name="..."/>, entities decoded; or plain text. The text is made ASCII.
std::vector<Piece> ParseText(const std::string& data);

// The words spoken for a CHAR, KEY or SOUND_ICON message.
std::string CharName(const std::string& data);
std::string KeyName(const std::string& data);
std::string IconName(const std::string& data);

// UTF-8 to printable ASCII: characters outside it are transliterated (é to e,
// ß to ss); what has no transliteration is dropped, and so are invalid bytes.
// Line breaks and tabs become spaces, other control characters are dropped.
std::string ToAscii(const std::string& utf8);

}  // namespace sdqz
