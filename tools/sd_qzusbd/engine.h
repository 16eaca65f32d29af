// The speaking engine of the output module: it loads the qzusbd library and
// speaks one message at a time on a worker thread, its text and index marks
// on the synthesizer, sending the message's events to the daemon as they
// happen (701 BEGIN, 700 INDEX MARK, and one of 702 END, 703 STOP, 704 PAUSE).
#pragma once

#include <string>
#include <vector>

#include "text.h"

namespace sdqz {

// Starts the worker thread. The library is the one at libraryPath (empty: the
// loader's default), loaded at INIT and again at a message when it is not
// connected.
void StartEngine(const std::string& libraryPath);
// Stops the message being spoken, ends the worker thread and unloads the
// library.
void StopEngine();

// Loads the library when it is not loaded, or loads it again when it lost its
// device, and says whether the synthesizer is connected. On anything but
// kConnected, why says what is wrong.
enum class Connection { kNotLoaded, kNoSynthesizer, kConnected };
Connection Connect(std::string* why);

// Starts speaking a message: replies 200 OK SPEAKING and 701 BEGIN. A message
// that is still going, which the daemon does not normally leave, is ended first.
void StartMessage(std::vector<Piece> pieces);
// Ends the message being spoken at once, with 703 STOP.
void StopMessage();
// Ends the message being spoken at its next mark, with 704 PAUSE.
void PauseMessage();

// Writes whole lines to the daemon, under the engine's lock so that they do
// not cut into the lines of its events.
void Send(const std::string& lines);

}  // namespace sdqz
