// The request cipher of the real server binary, against the simulated gateway on
// 127.0.0.1: a request whose plain text ends in the NUL of a C string is served; a key
// block whose RSA part is not sound fails exactly as one carrying a wrong key does;
// a new key container gets a 2048-bit exchange key, an older 1024-bit one keeps its
// key, and moving the container away gives the server a new key that the POS takes
// at its next login.
#include <sys/stat.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/fs/files.h"
#include "tests/e2e/e2e_support.h"
#include "tools/pos-client/hex.h"
#include "tools/pos-client/reply_frame.h"

namespace {

constexpr char kContainer[] = "CorvaneElavonIP_Host{7C31E5A2-9B04-4F6D-8E21-3D5A90C4B7F1}";

// The server binary with the simulated gateway as both endpoints; the configuration
// service is down, so the stored parameters are used. The server may be stopped and
// started again on the same folders.
class CryptoRig : public e2e::ServerRig {
 public:
  std::string ContainerFolder() const { return home() + "/keys/" + kContainer; }
};

std::string TStreamOf(const std::vector<pos_client::TStreamItem>& items) {
  std::string text;
  EXPECT_EQ(pos_client::JoinTStream(items, &text), pos_client::Status::kOk);
  return text;
}

// Sends an envelope and reads its final reply (the interim notice skipped), opened
// with session; "" when none came.
std::string Exchange(e2e::PosConnection* pos, const std::string& envelope, const pos_client::SessionKey& session,
                     bool* encrypted = nullptr) {
  e2e::RecordSecret("keyblock", envelope.substr(envelope.find('\x11') + 1,
                                                envelope.find('\x12') - envelope.find('\x11') - 1));
  if (!pos->Send(envelope + '\x03')) return std::string();
  for (;;) {
    std::string frame, document;
    bool in_cipher = false;
    if (!pos->ReadFrame(20000, &frame)) return std::string();
    if (pos_client::OpenReply(frame, session, &document, &in_cipher) != pos_client::Status::kOk) return std::string();
    if (e2e::Element(document, "TextResponse").rfind("Queued:", 0) == 0) continue;
    if (encrypted != nullptr) *encrypted = in_cipher;
    return document;
  }
}

// A request of the TStream text (which may hold NUL bytes) for the server's key.
std::string SendRequest(e2e::PosConnection* pos, const std::string& tstream, pos_client::Cipher cipher,
                        bool* encrypted = nullptr) {
  pos_client::RequestOptions options;
  options.cipher = cipher;
  options.user_trace_data = "e2e";
  pos_client::Request request;
  if (pos_client::BuildRequest(pos->server_key(), tstream, options, &request) != pos_client::Status::kOk) {
    ADD_FAILURE() << "build request";
    return std::string();
  }
  return Exchange(pos, request.envelope, request.session, encrypted);
}

// trace FS "2" "00" STX hex(payload) DC1 hex(blob) DC2
std::string Envelope(const std::string& cipher_text, const std::string& blob) {
  return std::string("e2e\x1C" "200\x02") + pos_client::ToHex(cipher_text) + '\x11' + pos_client::ToHex(blob) + '\x12';
}

std::string Code(const std::string& document) { return e2e::Element(document, "KVRXReturnCode"); }

// A 1024-bit exchange key written into the container as an older installation left it.
void WriteOldContainer(const std::string& folder) {
  std::filesystem::create_directories(folder);
  ::chmod(std::filesystem::path(folder).parent_path().c_str(), 0700);
  ::chmod(folder.c_str(), 0700);
  EVP_PKEY* pair = EVP_RSA_gen(1024);
  ASSERT_NE(pair, nullptr);
  const std::string path = folder + "/exchange_key.pem";
  FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  ::chmod(path.c_str(), 0600);
  EXPECT_EQ(PEM_write_PrivateKey(file, pair, nullptr, nullptr, 0, nullptr, nullptr), 1);
  std::fclose(file);
  EVP_PKEY_free(pair);
}

// A credit sale whose plain text ends in the NUL that a POS encrypting its C string
// sends along is approved, with either cipher; a control byte before that NUL is still
// refused with 1003.
TEST(CryptoE2ETest, ASaleWhosePlainTextEndsInNulIsApproved) {
  CryptoRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  struct Row {
    const char* name;
    pos_client::Cipher cipher;
    std::string amount;
  } rows[] = {{"RC4", pos_client::Cipher::kRc4, "10.00"}, {"3DES", pos_client::Cipher::kTripleDes, "11.00"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto items = e2e::CreditSale(row.amount);
    e2e::RecordCardSecrets(items);
    bool encrypted = false;
    const std::string document = SendRequest(pos.get(), TStreamOf(items) + std::string(1, '\0'), row.cipher, &encrypted);
    EXPECT_EQ(e2e::Element(document, "CmdStatus"), "Approved") << document;
    EXPECT_TRUE(encrypted);

    auto with_control = items;
    with_control.push_back({"Memo", "a\x01" "b"});
    const std::string refused = SendRequest(pos.get(), TStreamOf(with_control) + std::string(1, '\0'), row.cipher);
    EXPECT_EQ(Code(refused), "001003") << refused;
    EXPECT_EQ(e2e::Element(refused, "TextResponse"), "Invalid Command Format.") << refused;
  }
}

// Key blocks whose RSA part is random, and well-formed key blocks that carry another
// session key than the one the payload was encrypted with, get the same set of reply
// codes: a POS cannot tell from the answers which blocks have sound padding.
TEST(CryptoE2ETest, RandomKeyBlocksAndWrongKeysGetTheSameReplies) {
  CryptoRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  const pos_client::ServerPublicKey& server = pos->server_key();
  EXPECT_EQ(server.bit_length(), 2048u);

  struct Row {
    const char* name;
    std::string plain;  // the payload's plain text
    int trials;         // per kind of block
  };
  // Any wrong key turns the payload into random bytes. A long one then holds a control
  // byte in some value (1003) or no ClientID (4201), each often enough that many trials
  // see both; one byte can never carry an item, so it always lacks the ClientID.
  auto items = e2e::CreditSale("12.00");
  items.push_back({"Memo", std::string(40, 'm')});
  items.push_back({"Name", std::string(30, 'n')});
  items.push_back({"Note", std::string(250, 'x')});
  const std::string long_sale = TStreamOf(items);
  const Row rows[] = {{"long payload", long_sale, 48}, {"one-byte payload", "x", 8}};

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::set<std::string> random_codes, wrong_key_codes;
    for (int i = 0; i < row.trials; ++i) {
      pos_client::SessionKey meant, other;
      ASSERT_EQ(pos_client::MakeSessionKey(pos_client::Cipher::kRc4, pos_client::SystemRandom(), &meant),
                pos_client::Status::kOk);
      ASSERT_EQ(pos_client::MakeSessionKey(pos_client::Cipher::kRc4, pos_client::SystemRandom(), &other),
                pos_client::Status::kOk);
      std::string cipher_text;
      ASSERT_EQ(pos_client::Encrypt(meant, row.plain, &cipher_text), pos_client::Status::kOk);

      // A SIMPLEBLOB header for RC4 and a random RSA part of the modulus' length.
      std::string random_blob("\x01\x02\x00\x00\x01\x68\x00\x00\x00\xA4\x00\x00", 12);
      std::string part(server.modulus_size(), '\0');
      ASSERT_EQ(RAND_bytes(reinterpret_cast<unsigned char*>(part.data()), static_cast<int>(part.size())), 1);
      random_blob += part;
      random_codes.insert(Code(Exchange(pos.get(), Envelope(cipher_text, random_blob), meant)));

      std::string wrong_blob;
      ASSERT_EQ(pos_client::BuildSimpleBlob(server, other, pos_client::SystemRandom(), &wrong_blob),
                pos_client::Status::kOk);
      wrong_key_codes.insert(Code(Exchange(pos.get(), Envelope(cipher_text, wrong_blob), meant)));
    }
    EXPECT_EQ(random_codes, wrong_key_codes);
    EXPECT_EQ(random_codes.count("004011"), 0u);
    EXPECT_EQ(random_codes.count(""), 0u) << "a request without an answer";
  }
  EXPECT_EQ(Code(Exchange(pos.get(), Envelope("", std::string(12, '\x01')), pos_client::SessionKey())), "004011")
      << "a block with a wrong header";

  // The long payload with its own key is a sale that the host approves.
  pos_client::SessionKey meant;
  ASSERT_EQ(pos_client::MakeSessionKey(pos_client::Cipher::kRc4, pos_client::SystemRandom(), &meant),
            pos_client::Status::kOk);
  std::string cipher_text, blob;
  ASSERT_EQ(pos_client::Encrypt(meant, long_sale, &cipher_text), pos_client::Status::kOk);
  ASSERT_EQ(pos_client::BuildSimpleBlob(server, meant, pos_client::SystemRandom(), &blob), pos_client::Status::kOk);
  e2e::RecordCardSecrets(items);
  const std::string approved = Exchange(pos.get(), Envelope(cipher_text, blob), meant);
  EXPECT_EQ(e2e::Element(approved, "CmdStatus"), "Approved") << approved;
}

// A container already on disk with a 1024-bit key keeps it; with its key file moved
// away, the next start makes a new 2048-bit key, which a POS gets in the greeting
// of its next connection, while a key block made for the old key gets 4011.
TEST(CryptoE2ETest, AnOldContainerKeepsItsKeyAndANewOneIsMadeWith2048Bits) {
  CryptoRig rig;
  ASSERT_NO_FATAL_FAILURE(rig.Prepare());
  ASSERT_NO_FATAL_FAILURE(WriteOldContainer(rig.ContainerFolder()));
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  auto pos = rig.Pos();
  ASSERT_TRUE(pos);
  EXPECT_EQ(pos->server_key().bit_length(), 1024u);
  auto sale = e2e::CreditSale("13.00");
  e2e::RecordCardSecrets(sale);
  EXPECT_EQ(e2e::Element(SendRequest(pos.get(), TStreamOf(sale), pos_client::Cipher::kRc4), "CmdStatus"), "Approved");
  const pos_client::ServerPublicKey old_key = pos->server_key();
  pos->Close();

  // The way to a new key: stop, move the key file away, start.
  ASSERT_NO_FATAL_FAILURE(rig.Stop());
  std::filesystem::rename(rig.ContainerFolder() + "/exchange_key.pem", rig.home() + "/old_exchange_key.pem");
  ASSERT_NO_FATAL_FAILURE(rig.Start());
  EXPECT_TRUE(platform::fs::FileExists(rig.ContainerFolder() + "/exchange_key.pem"));
  EXPECT_NE(rig.Log().find("Success on Trying CryptGenKey('GB')"), std::string::npos) << rig.Log();
  pos = rig.Pos();
  ASSERT_TRUE(pos);
  EXPECT_EQ(pos->server_key().bit_length(), 2048u);
  sale = e2e::CreditSale("14.00");
  EXPECT_EQ(e2e::Element(SendRequest(pos.get(), TStreamOf(sale), pos_client::Cipher::kRc4), "CmdStatus"), "Approved");

  // A POS that kept the old key: its blocks no longer fit.
  pos_client::RequestOptions options;
  pos_client::Request stale;
  ASSERT_EQ(pos_client::BuildRequest(old_key, TStreamOf(e2e::CreditSale("15.00")), options, &stale),
            pos_client::Status::kOk);
  EXPECT_EQ(Code(Exchange(pos.get(), stale.envelope, stale.session)), "004011");
}

}  // namespace
