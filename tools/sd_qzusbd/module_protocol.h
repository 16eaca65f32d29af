// speech-dispatcher's module protocol. The daemon talks to the module on stdin
// and stdout, one request per line. A reply is one or more lines "NNN-text"
// ended by a line "NNN text"; replies starting with 2 are success, 3 and 4
// errors. The requests this module answers:
//
//   INIT                      299-state of the synthesizer, 299 OK LOADED SUCCESSFULLY
//   AUDIO, SET, LOGLEVEL      a reply, then key=value lines up to ".", then a
//                             second reply (the values are taken as given)
//   SPEAK, CHAR, KEY,         202 OK RECEIVING MESSAGE, the data lines up to "."
//   SOUND_ICON                (a leading ".." stands for "."), 200 OK SPEAKING;
//                             then the events 701 BEGIN, 700-NAME + 700 INDEX MARK
//                             per mark, and one of 702 END, 703 STOP, 704 PAUSE
//   STOP, PAUSE               no reply; the message ends with 703 STOP, or at
//                             its next mark with 704 PAUSE
//   LIST VOICES               200-name<TAB>language<TAB>variant, 200 OK VOICE LIST SENT
//   DEBUG ON FILE, DEBUG OFF  200 OK DEBUGGING ON / OFF
//   QUIT                      210 OK QUIT, and the module ends
#pragma once

#include <string>

namespace sdqz {

// Answers the daemon's requests until QUIT or the end of input.
void ServeRequests();

// Writes whole lines to the daemon; the caller keeps the lines of two threads
// apart. The module exits when the daemon has gone.
void WriteLines(const std::string& lines);

// A line in the module's log: stderr, which the daemon keeps as the module's
// log, and the file that DEBUG ON names.
void Log(const char* format, ...);

}  // namespace sdqz
