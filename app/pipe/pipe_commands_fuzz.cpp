// Feeds arbitrary bytes to the pipe's command reader through the server's callback,
// as the pipe server hands a request over: the request text ends at its first NUL.
// What follows that NUL feeds the application's side (the window title, then the
// traffic lines, one per LF), and the first byte chooses the reply buffer's size and
// how the Setup dialog picture comes out, so that every reply path is reached. The
// reply buffer is exactly as large as said, so a write past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/pipe/pipe_commands.h"

namespace {

void Require(bool condition) {
  if (!condition) abort();
}

// Answers from the fuzzer's bytes; nothing is written anywhere.
class FuzzSource : public CPipeCommandSource {
 public:
  std::string MainWindowText() override { return caption; }
  std::vector<std::string> TrafficLines() override { return lines; }
  SettingsFormResult SaveSettingsForm(const std::string&) override { return form; }
  std::string CommonDocumentsFolder() override { return folder; }
  std::string NewGuidText() override { return guid; }

  std::string caption;
  std::vector<std::string> lines;
  SettingsFormResult form = SettingsFormResult::kSaved;
  std::string folder = "/srv/kvr-fuzz-documents";
  std::string guid = "0f8fad5b-d9cb-469f-a165-70867728950e";
};

// The reply buffer sizes: the pipe server's own (4096), and a few that cut replies short.
constexpr size_t kReplySizes[] = {4096, 1, 2, 24, 64, 4095};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t nul = bytes.find('\0');
  const std::string request = bytes.substr(0, nul);

  FuzzSource source;
  source.form = static_cast<SettingsFormResult>((selector >> 3) % 4);
  if (selector & 0x20) source.folder = (selector & 0x40) ? "" : "/srv/kvr-fuzz-documents/";
  if (selector & 0x80) source.guid.clear();
  if (nul != std::string::npos) {
    const std::string side = bytes.substr(nul + 1);
    size_t start = 0;
    for (size_t end = side.find('\n'); ; end = side.find('\n', start)) {
      const std::string line = side.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (start == 0) {
        source.caption = line;
      } else {
        source.lines.push_back(line);
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }

  const size_t replySize = kReplySizes[selector % (sizeof kReplySizes / sizeof kReplySizes[0])];
  std::unique_ptr<char[]> reply(new char[replySize]);
  std::memset(reply.get(), 'x', replySize);
  OnPipeCommand(&source, request.c_str(), reply.get(), replySize);
  Require(std::memchr(reply.get(), '\0', replySize) != nullptr);

  const std::string text = BuildPipeReply(source, request);
  Require(text.size() <= kMaxPipeReplyLength);
  Require(std::strncmp(reply.get(), text.c_str(), replySize - 1) == 0);
  return 0;
}
