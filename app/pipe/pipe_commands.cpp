#include "app/pipe/pipe_commands.h"

#include <algorithm>
#include <cstring>

#include "util/qx_guid.h"
#include "util/qx_path.h"

namespace {

const std::string kCommandPrefix = std::string("COMMAND") + kPipeRecordSeparator;
constexpr size_t kPackLimit = 4096;

std::string ErrorReply(const std::string& text) { return std::string("ERROR") + kPipeRecordSeparator + text; }

std::string SettingsFormReply(CPipeCommandSource& source) {
  const std::string folder = source.CommonDocumentsFolder();
  if (folder.empty()) return ErrorReply("Cannot determine common documents folder for BMP file.");
  std::string path = folder;
  if (path.back() != '/') path += '/';
  const std::string guid = source.NewGuidText();
  path += guid + ".tmp";
  if (guid.empty()) return ErrorReply("Failed to create BMP file: \"" + path + "\"");

  switch (source.SaveSettingsForm(path)) {
    case SettingsFormResult::kSaved:
      return path;
    case SettingsFormResult::kNoDialog:
      return ErrorReply("Failed to create dialog window.");
    case SettingsFormResult::kNotFlattened:
      return ErrorReply("Failed to prepare dialog for conversion to BMP file.");
    case SettingsFormResult::kNotCaptured:
      break;
  }
  return ErrorReply("Failed to create BMP file: \"" + path + "\"");
}

}  // namespace

std::string CPipeCommandSource::CommonDocumentsFolder() { return qx::GetSpecialFolderPath(2).str(); }

std::string CPipeCommandSource::NewGuidText() { return qx::CreateGuidString().str(); }

std::string CPipeCommandSource::LogFolder() {
  const std::string working = qx::GetCurrentFolder().str();
  if (working.empty()) return kLogFolderName;
  return working + (working.back() == '/' ? "" : "/") + kLogFolderName;
}

std::string PackTrafficLines(const std::vector<std::string>& lines) {
  std::string reply;
  size_t length = 0;
  for (const std::string& line : lines) {
    if (!reply.empty()) {
      length += 1;
      if (length >= kPackLimit) break;
      reply += kPipeUnitSeparator;
    }
    length += line.size();
    if (length >= kPackLimit) {
      if (!reply.empty() && reply.back() == kPipeUnitSeparator) reply.pop_back();
      break;
    }
    reply += line;
  }
  return reply;
}

std::string BuildPipeReply(CPipeCommandSource& source, std::string_view request) {
  const std::string_view prefix(kCommandPrefix);
  if (request.substr(0, prefix.size()) != prefix) return std::string();
  const std::string_view command = request.substr(prefix.size());

  std::string reply;
  if (command == "APP NAME") {
    reply = kPipeAppName;
  } else if (command == "APP CAPTION") {
    reply = source.MainWindowText();
  } else if (command == "APP LOG LOCATION") {
    reply = source.LogFolder();
  } else if (command == "APP VIEW") {
    reply = PackTrafficLines(source.TrafficLines());
  } else if (command == "APP SETTINGS FORM") {
    reply = SettingsFormReply(source);
  }
  if (reply.size() > kMaxPipeReplyLength) reply.resize(kMaxPipeReplyLength);
  return reply;
}

void OnPipeCommand(void* owner, const char* request, char* reply, size_t replySize) {
  if (!request || !reply || replySize == 0) return;
  reply[0] = '\0';
  if (!owner) return;
  const std::string text = BuildPipeReply(*static_cast<CPipeCommandSource*>(owner), request);
  // A reply is a text: it ends at a NUL it may hold.
  const size_t length = std::min({text.size(), std::strlen(text.c_str()), replySize - 1});
  std::memcpy(reply, text.data(), length);
  reply[length] = '\0';
}
