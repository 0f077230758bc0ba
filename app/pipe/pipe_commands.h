// The launcher's commands on the management pipe and their replies.
//
// A request is "COMMAND", RS (0x1E), then one of these, compared exactly:
//   "APP NAME"          "Corvane 5.06 for Elavon"
//   "APP CAPTION"       the main window's current title
//   "APP SETTINGS FORM" the path of a new BMP picture of the Setup dialog, named by a
//                       new GUID with ".tmp" in the common documents folder (mode
//                       0600; left for the launcher), or "ERROR", RS, and why
//   "APP LOG LOCATION"  the folder the process's logger writes into
//   "APP VIEW"          the traffic lines, newest first, separated by US (0x1F), as
//                       many whole lines as fit in 4095 characters
// Anything else gets the empty reply. Every reply is at most 4095 characters.
//
// The commands read the application through a CPipeCommandSource, which the pipe
// thread calls; BuildPipeReply itself keeps no state and takes no lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocab/control_chars.h"

inline constexpr char kPipeAppName[] = "Corvane 5.06 for Elavon";
inline constexpr size_t kMaxPipeReplyLength = 4095;
inline constexpr char kPipeRecordSeparator = kRS;  // RS, after "COMMAND" and "ERROR"
inline constexpr char kPipeUnitSeparator = kUS;    // US, between traffic lines
// The logger's folder under the working folder (see GetLogger).
inline constexpr char kLogFolderName[] = "QUILLON_LOGS";

// How a picture of the Setup dialog came out.
enum class SettingsFormResult {
  kSaved,           // the file is written
  kNoDialog,        // the dialog could not be created
  kNotFlattened,    // it could not be prepared for the picture
  kNotCaptured,     // the picture could not be taken or written (no file is left)
};

// What the commands read from the application. Called on the pipe thread; an
// implementation that needs the UI thread goes there itself.
class CPipeCommandSource {
 public:
  virtual ~CPipeCommandSource() = default;

  // The main window's title.
  virtual std::string MainWindowText() = 0;
  // The traffic list's lines, newest first.
  virtual std::vector<std::string> TrafficLines() = 0;
  // Creates the Setup dialog with the current parameters (never shown), prepares
  // it for the picture, writes the picture to path and destroys the dialog.
  virtual SettingsFormResult SaveSettingsForm(const std::string& path) = 0;

  // The common documents folder: the support library's special folder 2.
  virtual std::string CommonDocumentsFolder();
  // A new GUID text (36 characters), or empty when none can be made.
  virtual std::string NewGuidText();
  // The absolute folder the process's logger writes into: the working folder and
  // "QUILLON_LOGS".
  virtual std::string LogFolder();
};

// The reply text (without its NUL) to one request text.
std::string BuildPipeReply(CPipeCommandSource& source, std::string_view request);

// "APP VIEW": lines joined by US while the running length (lines plus separators)
// stays below 4096, so only whole lines are sent and no separator ends the text.
std::string PackTrafficLines(const std::vector<std::string>& lines);

// The pipe server's callback (a PipeRequestCallback): owner is the
// CPipeCommandSource. Does nothing without a request, a reply buffer or an owner;
// otherwise writes the reply, cut to the buffer, with its NUL.
void OnPipeCommand(void* owner, const char* request, char* reply, size_t replySize);
