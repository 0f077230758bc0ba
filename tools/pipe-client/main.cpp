// pipe-client: asks a running server one question over its management pipe, as
// the launcher does, and prints the reply.
//
//   pipe-client (--pid PID | --name NAME) [--timeout MS] [--nul] [--raw] COMMAND
//
// COMMAND is one of "APP NAME", "APP CAPTION", "APP SETTINGS FORM",
// "APP LOG LOCATION", "APP VIEW" (or anything else, to see the empty reply). The
// reply is printed with a line end; the lines of "APP VIEW" (separated by US) each
// on a line of their own unless --raw. An error reply ("ERROR" RS text) goes to
// standard error.
//
// Exit status: 0 a reply, 2 an error reply, 1 no reply (no server, time-out,
// closed), 64 bad usage.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/pipe-client/pipe_client.h"

namespace {

int Usage() {
  std::fputs(
      "usage: pipe-client (--pid PID | --name NAME) [--timeout MS] [--nul] [--raw] COMMAND\n"
      "  --pid PID     the server's process id (the pipe name follows from it)\n"
      "  --name NAME   the whole pipe name, e.g. \\\\.\\pipe\\EJBA_QuillonAppVirureday\n"
      "  --timeout MS  bound of the connect and of each message (default 5000)\n"
      "  --nul         end the request with a NUL\n"
      "  --raw         print the reply as it came (US and RS unchanged)\n",
      stderr);
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name;
  std::string command;
  int timeout_ms = 5000;
  bool with_nul = false;
  bool raw = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--pid" || arg == "--name" || arg == "--timeout") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--pid") {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(value, &end, 10);
        if (end == value || *end != '\0') return Usage();
        name = pipe_client::PipeNameForPid(pid);
      } else if (arg == "--name") {
        name = value;
      } else {
        timeout_ms = std::atoi(value);
        if (timeout_ms <= 0) return Usage();
      }
    } else if (arg == "--nul") {
      with_nul = true;
    } else if (arg == "--raw") {
      raw = true;
    } else if (arg.rfind("--", 0) == 0 || !command.empty()) {
      return Usage();
    } else {
      command = arg;
    }
  }
  if (name.empty() || command.empty()) return Usage();

  pipe_client::PipeClient client;
  std::string reply;
  std::string error;
  if (!client.Connect(name, timeout_ms, &error) ||
      !client.Request(pipe_client::CommandRequest(command, with_nul), &reply, timeout_ms, &error)) {
    std::fprintf(stderr, "pipe-client: %s\n", error.c_str());
    return 1;
  }
  const std::string error_prefix = std::string("ERROR") + pipe_client::kRecordSeparator;
  if (!raw && reply.rfind(error_prefix, 0) == 0) {
    std::fprintf(stderr, "ERROR: %s\n", reply.substr(error_prefix.size()).c_str());
    return 2;
  }
  if (!raw) {
    for (char& c : reply) {
      if (c == pipe_client::kUnitSeparator) c = '\n';
    }
  }
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}
