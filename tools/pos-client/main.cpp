// pos-client: a command-line point-of-sale test client.
//
//   pos-client envelope [options] PUBLICKEYBLOB_HEX NAME=VALUE...
//
// Builds the request envelope of the TStream made of the NAME=VALUE items for
// the server key given as the hex of its PUBLICKEYBLOB, and prints it with its
// control characters shown as <FS>, <STX>, <DC1>, <DC2>, followed by the
// session key that opens the replies.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pos-client/hex.h"
#include "tools/pos-client/key_blob.h"
#include "tools/pos-client/request_envelope.h"

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
      "  --raw          write the envelope and its ETX as they go on the wire\n",
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

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "envelope") == 0) return Envelope(argc - 2, argv + 2);
  return Usage();
}
