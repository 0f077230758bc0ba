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
//
// --help prints the usage with an example sale; the exit status tells the outcome
// (0 approved or success, 1 declined, 2 an error reply, 3 a bad command line, 4 no
// connection or no readable reply).
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

// Exit statuses: what a script calling the tool can rely on.
constexpr int kExitApproved = 0;      // approved, or success (a server command, an envelope)
constexpr int kExitDeclined = 1;      // the request was declined
constexpr int kExitErrorReply = 2;    // the server answered with an error (the login refused among them)
constexpr int kExitUsage = 3;         // a bad command line
constexpr int kExitLinkFailure = 4;   // no connection, or no readable reply in time

constexpr char kUsage[] =
    "usage: pos-client session [--host HOST] [--port PORT] [--marker TEXT] [--password TEXT]\n"
    "                          [--no-check-block] [--3des] [--trace TEXT] [--mode CHAR]\n"
    "                          [--wait SECONDS] NAME=VALUE...\n"
    "       pos-client envelope [--3des] [--trace TEXT] [--mode CHAR] [--block-first]\n"
    "                           [--key HEX] [--raw] PUBLICKEYBLOB_HEX NAME=VALUE...\n"
    "       pos-client --help\n"
    "\n"
    "session: connects to the server, logs in, sends one request made of the NAME=VALUE\n"
    "items and prints the greeting, the login result and every reply in clear.\n"
    "  --host HOST       server address (default 127.0.0.1)\n"
    "  --port PORT       server port (default $KVR_CLIENT_PORT, else 9000)\n"
    "  --marker TEXT     cipher marker of the login (\"M\" selects the M login key;\n"
    "                    default: no marker)\n"
    "  --password TEXT   client/server password sent at the end of the login\n"
    "  --no-check-block  log in without a check block (an old client)\n"
    "  --wait SECONDS    how long to wait for each reply, 1 to 3600 (default 60)\n"
    "  --3des            3DES session key (default RC4)\n"
    "  --trace TEXT      UserTraceData before the FS\n"
    "  --mode CHAR       mode character after the FS (default 2; A cancels, with no reply)\n"
    "\n"
    "envelope: prints the request envelope of the items for the server key given as the\n"
    "hex of its PUBLICKEYBLOB, with its control characters shown as <FS>, <STX>, ...,\n"
    "and the session key that opens the replies.\n"
    "  --block-first     key block before the payload (default after it)\n"
    "  --key HEX         session key bytes instead of random ones\n"
    "  --raw             write the envelope and its ETX as they go on the wire\n"
    "\n"
    "example, a credit sale of 10.00 with the test card:\n"
    "  pos-client session --port 9000 --marker M TStream=Transaction ClientID=0005 \\\n"
    "      MerchantID=1234 InvoiceNo=INV1 RefNo=REF1 TranType=Credit TranCode=Sale \\\n"
    "      Track2=4111111111111111=2512101 Purchase=10.00\n"
    "\n"
    "exit status:\n"
    "  0  approved, or success (a server command; envelope printed)\n"
    "  1  declined\n"
    "  2  an error reply from the server (the login refused among them)\n"
    "  3  a bad command line\n"
    "  4  no connection (refused, host name not found, timed out) or no readable reply\n";

int Help() {
  std::fputs(kUsage, stdout);
  return std::fflush(stdout) == 0 ? kExitApproved : kExitLinkFailure;
}

// One line naming what is wrong with the command line.
int BadUsage(const std::string& what) {
  std::fprintf(stderr, "pos-client: %s; see --help\n", what.c_str());
  return kExitUsage;
}

bool IsHelp(const char* arg) { return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0; }

// The final reply's CmdStatus as an exit status.
int ExitForStatus(const std::string& status) {
  if (status == "Approved" || status == "Success") return kExitApproved;
  if (status == "Declined") return kExitDeclined;
  if (status == "Error") return kExitErrorReply;
  std::fprintf(stderr, "pos-client: reply with an unknown CmdStatus '%s'\n", status.c_str());
  return kExitLinkFailure;
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

bool ParseItems(int argc, char** argv, int i, std::vector<TStreamItem>* items) {
  for (; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) {
      BadUsage("'" + std::string(argv[i]) + "' is not a NAME=VALUE item");
      return false;
    }
    items->push_back({std::string(argv[i], static_cast<size_t>(eq - argv[i])), std::string(eq + 1)});
  }
  return true;
}

int Envelope(int argc, char** argv) {
  RequestOptions options;
  bool raw = false;
  int i = 0;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string flag = argv[i];
    const bool has_value = i + 1 < argc;
    if (!has_value && (flag == "--trace" || flag == "--mode" || flag == "--key")) {
      return BadUsage(flag + " needs a value");
    }
    if (flag == "--3des") {
      options.cipher = Cipher::kTripleDes;
    } else if (flag == "--block-first") {
      options.key_block_place = KeyBlockPlace::kBeforePayload;
    } else if (flag == "--raw") {
      raw = true;
    } else if (flag == "--trace") {
      options.user_trace_data = argv[++i];
    } else if (flag == "--mode") {
      if (std::strlen(argv[i + 1]) != 1) {
        return BadUsage("--mode takes one character, not '" + std::string(argv[i + 1]) + "'");
      }
      options.mode = argv[++i][0];
    } else if (flag == "--key") {
      std::string key;
      if (!FromHex(Upper(argv[++i]), &key)) return BadUsage("--key: '" + std::string(argv[i]) + "' is not a hex text");
      options.session_key = key;
    } else {
      return BadUsage("unknown option '" + flag + "' for envelope");
    }
  }
  if (i >= argc) return BadUsage("envelope needs the server key (PUBLICKEYBLOB_HEX) and the items");

  ServerPublicKey server;
  if (Status status = ServerPublicKey::FromHex(Upper(argv[i++]), &server); status != Status::kOk) {
    return BadUsage(std::string("server key: ") + StatusText(status));
  }
  std::vector<TStreamItem> items;
  if (!ParseItems(argc, argv, i, &items)) return kExitUsage;
  std::string tstream;
  Request request;
  if (Status status = JoinTStream(items, &tstream); status != Status::kOk) {
    return BadUsage(std::string("items: ") + StatusText(status));
  }
  if (Status status = BuildRequest(server, tstream, options, &request); status != Status::kOk) {
    return BadUsage(std::string("request: ") + StatusText(status));
  }
  if (raw) {
    const std::string wire = request.WireText();
    std::fwrite(wire.data(), 1, wire.size(), stdout);
  } else {
    std::printf("%s\nsession key: %s\n", Printable(request.envelope).c_str(),
                ToHex(request.session.key).c_str());
  }
  return std::fflush(stdout) == 0 ? kExitApproved : kExitLinkFailure;
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

// A connection that failed, in words a person can act on.
std::string ConnectFailure(LinkStatus status) {
  switch (status) {
    case LinkStatus::kRefused: return "connection refused (is the server running and listening on this port?)";
    case LinkStatus::kNameNotFound: return "host name not found";
    case LinkStatus::kConnectTimedOut: return "connection timed out";
    default: return LinkStatusText(status);
  }
}

int Session(int argc, char** argv) {
  std::string host = "127.0.0.1";
  uint16_t port = 9000;
  if (const char* env = std::getenv("KVR_CLIENT_PORT"); env != nullptr && *env != '\0' &&
                                                        !ParsePort(env, &port)) {
    return BadUsage("KVR_CLIENT_PORT: '" + std::string(env) + "' is not a port number (1-65535)");
  }
  LoginOptions login;
  RequestOptions options;
  uint32_t wait_ms = 60000;
  int i = 0;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    const std::string flag = argv[i];
    if (flag == "--3des") {
      options.cipher = Cipher::kTripleDes;
      continue;
    }
    if (flag == "--no-check-block") {
      login.check_block = false;
      continue;
    }
    const bool takes_value = flag == "--host" || flag == "--port" || flag == "--marker" || flag == "--password" ||
                             flag == "--trace" || flag == "--mode" || flag == "--wait";
    if (!takes_value) return BadUsage("unknown option '" + flag + "' for session");
    if (i + 1 >= argc) return BadUsage(flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--host") {
      host = value;
    } else if (flag == "--port") {
      if (!ParsePort(value.c_str(), &port)) return BadUsage("--port: '" + value + "' is not a port number (1-65535)");
    } else if (flag == "--marker") {
      login.marker = value;
    } else if (flag == "--password") {
      login.password = value;
    } else if (flag == "--trace") {
      options.user_trace_data = value;
    } else if (flag == "--mode") {
      if (value.size() != 1) return BadUsage("--mode takes one character, not '" + value + "'");
      options.mode = value[0];
    } else {
      char* end = nullptr;
      const long seconds = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || seconds < 1 || seconds > 3600) {
        return BadUsage("--wait: '" + value + "' is not a number of seconds from 1 to 3600");
      }
      wait_ms = static_cast<uint32_t>(seconds) * 1000;
    }
  }
  std::vector<TStreamItem> items;
  if (!ParseItems(argc, argv, i, &items)) return kExitUsage;
  // Refused before any connection: a request needs items.
  if (items.empty()) return BadUsage("session needs the request's NAME=VALUE items");
  std::string tstream;
  if (Status status = JoinTStream(items, &tstream); status != Status::kOk) {
    return BadUsage(std::string("items: ") + StatusText(status));
  }

  SessionClient client;
  if (LinkStatus status = client.Connect(host, port, 10000); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: %s:%u: %s\n", host.c_str(), port, ConnectFailure(status).c_str());
    return kExitLinkFailure;
  }
  LoginResult result;
  if (LinkStatus status = client.Login(login, wait_ms, &result); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: login: %s\n", LinkStatusText(status));
    return kExitLinkFailure;
  }
  if (result.greeting_notice.code == 0) PrintNotice("greeting", result.greeting_notice);
  PrintNotice("login", result.result);
  if (!result.verified) {
    std::fprintf(stderr, "pos-client: login refused: %s %s\n", result.result.return_code.c_str(),
                 Printable(result.result.text).c_str());
    std::fflush(stdout);
    return kExitErrorReply;
  }

  Request request;
  if (LinkStatus status = client.SendRequest(items, options, &request); status != LinkStatus::kOk) {
    std::fprintf(stderr, "pos-client: request: %s\n", LinkStatusText(status));
    return kExitLinkFailure;
  }
  std::printf("request sent (%zu bytes)\n", request.WireText().size());
  // A cancel request gets no reply of its own.
  const uint32_t first_wait = options.mode == 'A' ? 1000 : wait_ms;
  Reply reply;
  for (int n = 1;; ++n) {
    const LinkStatus status = client.ReadReply(request.session, n == 1 ? first_wait : wait_ms, &reply);
    if (status != LinkStatus::kOk) {
      if (options.mode == 'A' && n == 1 && status == LinkStatus::kTimedOut) {
        return std::fflush(stdout) == 0 ? kExitApproved : kExitLinkFailure;
      }
      std::fflush(stdout);
      std::fprintf(stderr, "pos-client: reply %d: %s\n", n, LinkStatusText(status));
      return kExitLinkFailure;
    }
    std::printf("reply %d (%s):\n%s\n", n, reply.encrypted ? "encrypted, opened" : "clear",
                Printable(reply.notice.document).c_str());
    const bool interim = reply.notice.code == 0 && reply.notice.text.rfind("Queued:", 0) == 0;
    if (!interim) break;
  }
  if (std::fflush(stdout) != 0) return kExitLinkFailure;
  return ExitForStatus(reply.notice.status);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return BadUsage("no command given (session or envelope)");
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) return Help();  // never an item: items hold '='
  }
  if (std::strcmp(argv[1], "envelope") == 0) return Envelope(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "session") == 0) return Session(argc - 2, argv + 2);
  return BadUsage("unknown command '" + std::string(argv[1]) + "'");
}
