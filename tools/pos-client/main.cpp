// pos-client: a command-line point-of-sale test client.
//
//   pos-client envelope [options] PUBLICKEYBLOB_HEX NAME=VALUE...
//
// Builds the request envelope of the TStream made of the NAME=VALUE items for
// the server key given as the hex of its PUBLICKEYBLOB, and prints it with its
// control characters shown as <FS>, <STX>, <DC1>, <DC2>, followed by the
// session key that opens the replies.
//
//   pos-client session [options] NAME=VALUE...
//
// Connects to the server, logs in (with the cipher marker "M" or without one),
// sends one request made of the NAME=VALUE items and prints the greeting, the
// login result and every reply (the interim "Queued" notice and the final reply)
// in clear.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/key_blob.h"
#include "tools/pos-client/login.h"
#include "tools/pos-client/request_envelope.h"
#include "tools/pos-client/session_client.h"

namespace {

using namespace pos_client;

int Usage() {
  std::fputs(
      "usage: pos-client envelope [--3des] [--trace TEXT] [--mode CHAR] [--block-first]\n"
      "                           [--key HEX] [--raw] PUBLICKEYBLOB_HEX NAME=VALUE...\n"
      "  --3des         3DES session key (default RC4)\n"
      "  --trace TEXT   UserTraceData before the FS\n"
      "  --mode CHAR    mode character after the FS (default 2)\n"
      "  --block-first  key block before the payload (default after it)\n"
      "  --key HEX      session key bytes instead of random ones\n"
      "  --raw          write the envelope and its ETX as they go on the wire\n"
      "\n"
      "usage: pos-client session [--host HOST] [--port PORT] [--marker TEXT] [--password TEXT]\n"
      "                          [--no-check-block] [--3des] [--trace TEXT] [--mode CHAR]\n"
      "                          [--wait SECONDS] NAME=VALUE...\n"
      "  --host HOST       server address (default 127.0.0.1)\n"
      "  --port PORT       server port (default $KVR_CLIENT_PORT, else 9000)\n"
      "  --marker TEXT     cipher marker of the login (\"M\" selects the M login key;\n"
      "                    default: no marker)\n"
      "  --password TEXT   client/server password sent at the end of the login\n"
      "  --no-check-block  log in without a check block (an old client)\n"
      "  --wait SECONDS    how long to wait for each reply (default 60)\n"
      "  the other options as for envelope\n",
      stderr);
  return 2;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case kFs: out += "<FS>"; break;
      case kStx: out += "<STX>"; break;
      case kEtx: out += "<ETX>"; break;
      case kDc1: out += "<DC1>"; break;
      case kDc2: out += "<DC2>"; break;
      case kRs: out += "<RS>"; break;
      case kUs: out += "<US>"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

int Envelope(int argc, char** argv) {
  RequestOptions options;
  bool raw = false;
  int i = 0;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string flag = argv[i];
    const bool has_value = i + 1 < argc;
    if (flag == "--3des") {
      options.cipher = Cipher::kTripleDes;
    } else if (flag == "--block-first") {
      options.key_block_place = KeyBlockPlace::kBeforePayload;
    } else if (flag == "--raw") {
      raw = true;
    } else if (flag == "--trace" && has_value) {
      options.user_trace_data = argv[++i];
    } else if (flag == "--mode" && has_value && std::strlen(argv[i + 1]) == 1) {
      options.mode = argv[++i][0];
    } else if (flag == "--key" && has_value) {
      std::string key;
      if (!FromHex(Upper(argv[++i]), &key)) {
        std::fputs("pos-client: --key is not a hex text\n", stderr);
        return 1;
      }
      options.session_key = key;
    } else {
      return Usage();
    }
  }
  if (i >= argc) return Usage();

  ServerPublicKey server;
  if (Status status = ServerPublicKey::FromHex(Upper(argv[i++]), &server); status != Status::kOk) {
    std::fprintf(stderr, "pos-client: server key: %s\n", StatusText(status));
    return 1;
  }
  std::vector<TStreamItem> items;
  for (; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) {
      std::fprintf(stderr, "pos-client: item without '=': %s\n", argv[i]);
      return 1;
    }
    items.push_back({std::string(argv[i], static_cast<size_t>(eq - argv[i])), std::string(eq + 1)});
  }
  std::string tstream;
  Request request;
  Status status = JoinTStream(items, &tstream);
  if (status == Status::kOk) status = BuildRequest(server, tstream, options, &request);
  if (status != Status::kOk) {
    std::fprintf(stderr, "pos-client: %s\n", StatusText(status));
    return 1;
  }
  if (raw) {
    const std::string wire = request.WireText();
    std::fwrite(wire.data(), 1, wire.size(), stdout);
  } else {
    std::printf("%s\nsession key: %s\n", Printable(request.envelope).c_str(),
                ToHex(request.session.key).c_str());
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

bool ParseItems(int argc, char** argv, int i, std::vector<TStreamItem>* items) {
  for (; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) {
      std::fprintf(stderr, "pos-client: item without '=': %s\n", argv[i]);
      return false;
    }
    items->push_back({std::string(argv[i], static_cast<size_t>(eq - argv[i])), std::string(eq + 1)});
  }
  return true;
}

bool ParsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

void PrintNotice(const char* what, const Notice& notice) {
  std::printf("%s: %s %s %s\n", what, notice.return_code.c_str(), notice.status.c_str(),
              Printable(notice.text).c_str());
}

int Session(int argc, char** argv) {
  std::string host = "127.0.0.1";
  uint16_t port = 9000;
  if (const char* env = std::getenv("KVR_CLIENT_PORT"); env != nullptr && *env != '\0' &&
                                                        !ParsePort(env, &port)) {
    std::fputs("pos-client: KVR_CLIENT_PORT is not a port number\n", stderr);
    return 1;
  }
  LoginOptions login;
  RequestOptions options;
  uint32_t wait_ms = 60000;
  int i = 0;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string flag = argv[i];
    const bool has_value = i + 1 < argc;
    if (flag == "--3des") {
      options.cipher = Cipher::kTripleDes;
    } else if (flag == "--no-check-block") {
      login.check_block = false;
    } else if (flag == "--host" && has_value) {
      host = argv[++i];
    } else if (flag == "--port" && has_value) {
      if (!ParsePort(argv[++i], &port)) return Usage();
    } else if (flag == "--marker" && has_value) {
      login.marker = argv[++i];
    } else if (flag == "--password" && has_value) {
      login.password = argv[++i];
    } else if (flag == "--trace" && has_value) {
      options.user_trace_data = argv[++i];
    } else if (flag == "--mode" && has_value && std::strlen(argv[i + 1]) == 1) {
      options.mode = argv[++i][0];
    } else if (flag == "--wait" && has_value) {
      const long seconds = std::strtol(argv[++i], nullptr, 10);
      if (seconds < 1 || seconds > 3600) return Usage();
      wait_ms = static_cast<uint32_t>(seconds) * 1000;
    } else {
      return Usage();
    }
  }
  std::vector<TStreamItem> items;
  if (!ParseItems(argc, argv, i, &items)) return 1;

  SessionClient client;
  if (LinkStatus status = client.Connect(host, port, 10000); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: %s:%u: %s\n", host.c_str(), port, LinkStatusText(status));
    return 1;
  }
  LoginResult result;
  if (LinkStatus status = client.Login(login, wait_ms, &result); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: login: %s\n", LinkStatusText(status));
    return 1;
  }
  if (result.greeting_notice.code == 0) PrintNotice("greeting", result.greeting_notice);
  PrintNotice("login", result.result);
  if (!result.verified) return 1;

  Request request;
  if (LinkStatus status = client.SendRequest(items, options, &request); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: request: %s\n", LinkStatusText(status));
    return 1;
  }
  std::printf("request sent (%zu bytes)\n", request.WireText().size());
  // A cancel request gets no reply of its own.
  const uint32_t first_wait = options.mode == 'A' ? 1000 : wait_ms;
  for (int n = 1;; ++n) {
    Reply reply;
    const LinkStatus status = client.ReadReply(request.session, n == 1 ? first_wait : wait_ms, &reply);
    if (status != LinkStatus::kOk) {
      if (options.mode == 'A' && status == LinkStatus::kTimedOut) return 0;
      std::fprintf(stderr, "pos-client: reply %d: %s\n", n, LinkStatusText(status));
      return 1;
    }
    std::printf("reply %d (%s):\n%s\n", n, reply.encrypted ? "encrypted, opened" : "clear",
                Printable(reply.notice.document).c_str());
    const bool interim = reply.notice.code == 0 && reply.notice.text.rfind("Queued:", 0) == 0;
    if (!interim) break;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "envelope") == 0) return Envelope(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "session") == 0) return Session(argc - 2, argv + 2);
  return Usage();
}
