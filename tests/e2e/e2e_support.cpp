#include "tests/e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "core/params/param_settings.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"
#include "tools/pos-client/hex.h"
#include "tools/pos-client/reply_frame.h"

extern char** environ;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool TryConnect(int port, int* fd_out) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return false;
  }
  *fd_out = fd;
  return true;
}

// The text between the first `open` and the next `close` after it, or "".
std::string Between(const std::string& text, char open, char close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return std::string();
  const size_t end = text.find(close, start + 1);
  if (end == std::string::npos) return std::string();
  return text.substr(start + 1, end - start - 1);
}

// A folder name for one server's logs: the test that ran it, the process, a count.
std::string ArchiveLabel() {
  static std::atomic<int> count{0};
  std::string label = "server";
  if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
    label = std::string(info->test_suite_name()) + "." + info->name();
  }
  for (char& c : label) {
    if (c == '/' || c == ' ') c = '_';
  }
  return label + "." + std::to_string(::getpid()) + "." + std::to_string(++count);
}

// Function statics: SetLogArchiveFolder runs during the static start-up of the test
// binaries.
struct ArchiveSetting {
  std::mutex mutex;
  std::string folder;  // guarded by mutex
};
ArchiveSetting& Archive() {
  static ArchiveSetting setting;
  return setting;
}

}  // namespace

void SetLogArchiveFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(Archive().mutex);
  Archive().folder = folder;
}

std::string LogArchiveFolder() {
  const char* folder = std::getenv("KVR_E2E_LOG_ARCHIVE");
  if (folder && *folder) return folder;
  std::lock_guard<std::mutex> lock(Archive().mutex);
  return Archive().folder;
}

void RecordSecret(const std::string& kind, const std::string& value) {
  const std::string folder = LogArchiveFolder();
  if (folder.empty() || value.empty()) return;
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  std::ofstream out(folder + "/secrets-" + std::to_string(::getpid()) + ".txt", std::ios::app | std::ios::binary);
  out << kind << '\t' << value << '\n';
}

void RecordCardSecrets(const std::vector<pos_client::TStreamItem>& items) {
  for (const pos_client::TStreamItem& item : items) {
    // "track2" and "Track2 " hold a track all the same.
    std::string name = item.name;
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "track2") {
      RecordSecret("track", item.value);
      RecordSecret("pan", item.value.substr(0, item.value.find('=')));
    } else if (name == "track1") {
      RecordSecret("track", item.value);
      const size_t start = item.value.find_first_of("0123456789");
      if (start != std::string::npos) {
        RecordSecret("pan", item.value.substr(start, item.value.find('^', start) - start));
      }
    } else if (name == "acctno") {
      RecordSecret("pan", item.value);
    }
  }
}

ScratchFolder::ScratchFolder() {
  char tmpl[] = "/tmp/kvr_e2e_XXXXXX";
  if (mkdtemp(tmpl)) path_ = tmpl;
}

ScratchFolder::~ScratchFolder() {
  if (!path_.empty() && !std::getenv("KVR_E2E_KEEP")) std::system(("rm -rf '" + path_ + "'").c_str());
}

bool WaitFor(int wait_ms, const std::function<bool()>& done, int poll_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  return done();
}

int64_t Cents(const std::string& amount) {
  const size_t dot = amount.find('.');
  return std::stoll(amount.substr(0, dot)) * 100 + std::stoll(amount.substr(dot + 1));
}

void HoldFirstAnswer(elavon_sim::GatewayServer& gateway, int delay_ms) {
  elavon_sim::GatewayFaults slow;
  slow.answer_delay_ms = delay_ms;
  slow.answer_fault_requests = 1;
  gateway.SetFaults(slow);
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

ServerProcess::ServerProcess(std::string binary, std::string work_folder, std::map<std::string, std::string> env)
    : binary_(std::move(binary)), work_(std::move(work_folder)), env_(std::move(env)) {}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && !Stop(30000)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  // Kept for the log scan before the scratch folder goes.
  const std::string archive = LogArchiveFolder();
  const std::filesystem::path logs = std::filesystem::path(work_) / "QUILLON_LOGS";
  std::error_code error;
  if (started_ && !archive.empty() && std::filesystem::is_directory(logs, error)) {
    const std::filesystem::path target = std::filesystem::path(archive) / ArchiveLabel();
    std::filesystem::create_directories(target, error);
    std::filesystem::copy(logs, target, std::filesystem::copy_options::recursive, error);
  }
}

bool ServerProcess::Start(int client_port, int wait_ms, std::vector<std::string> args) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (env_.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env_) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text = {binary_};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, work_.c_str());
  const std::string output = work_ + "/server.out";
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int rc = posix_spawn(&pid_, binary_.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  started_ = true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (MsLeft(deadline) > 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    int fd = -1;
    if (TryConnect(client_port, &fd)) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool ServerProcess::Stop(int wait_ms, int* status) {
  if (pid_ <= 0) return true;
  ::kill(pid_, SIGTERM);
  return WaitForExit(wait_ms, status);
}

bool ServerProcess::WaitForExit(int wait_ms, int* status) {
  if (pid_ <= 0) return true;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (MsLeft(deadline) > 0) {
    int s = 0;
    if (::waitpid(pid_, &s, WNOHANG) == pid_) {
      if (status) *status = s;
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string TodaysLogName(const char* suffix) {
  const std::time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  char name[64];
  std::snprintf(name, sizeof name, "KVR%02d%02d%04d%s.log", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, suffix);
  return name;
}

std::string ReadLogFile(const std::string& path) {
  std::string raw, out;
  platform::fs::ReadFile(path, &raw);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    out.push_back(raw[i]);
  }
  return out;
}

std::vector<pos_client::TStreamItem> CreditSale(const std::string& amount) {
  return {{"TStream", "Transaction"}, {"ClientID", "0005"},   {"MerchantID", "1234"},
          {"InvoiceNo", "INV1"},      {"RefNo", "REF1"},       {"TranType", "Credit"},
          {"TranCode", "Sale"},       {"Track2", kTestTrack2}, {"Purchase", amount}};
}

bool StoreParameters(const std::string& home, const std::vector<std::pair<int, std::string>>& values) {
  CParamSettings settings;
  settings.ResetToDefaults();
  CParamMap params = settings.GetParams();
  for (const auto& [number, value] : values) {
    CParamEntry entry;
    params.Lookup(number, &entry);
    params.SetAt(number, CParamEntry(entry.GetFormat(), entry.GetName(), value));
  }
  settings.SetParams(params);
  platform::fs::Profile profile(home + "/profile");
  return profile.WriteString("Settings", "ParamSettings", settings.Serialize());
}

std::string ServerProcess::LogText() const { return ReadLogFile(work_ + "/QUILLON_LOGS/" + TodaysLogName()); }

std::string ServerProcess::Output() const {
  std::string text;
  platform::fs::ReadFile(work_ + "/server.out", &text);
  return text;
}

PosConnection::~PosConnection() { Close(); }

void PosConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool PosConnection::Connect(int port, int wait_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (MsLeft(deadline) > 0) {
    if (TryConnect(port, &fd_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool PosConnection::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool PosConnection::ReadFrame(int wait_ms, std::string* frame) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const size_t etx = pending_.find('\x03');
    if (etx != std::string::npos) {
      *frame = pending_.substr(0, etx + 1);
      pending_.erase(0, etx + 1);
      return true;
    }
    const int left = MsLeft(deadline);
    if (left == 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool PosConnection::Login(const std::string& marker, std::string* failure) {
  std::string frame, document;
  if (!ReadFrame(10000, &frame)) return *failure = "no greeting", false;
  bool encrypted = false;
  pos_client::ReplyFrame parsed;
  if (pos_client::ParseReplyFrame(frame, &parsed) != pos_client::Status::kOk) return *failure = "bad greeting", false;
  pos_client::Notice notice;
  if (pos_client::ParseNotice(parsed.payload, &notice) != pos_client::Status::kOk) {
    return *failure = "greeting without a notice", false;
  }
  pos_client::Greeting greeting;
  if (pos_client::ParseGreeting(notice.text, &greeting) != pos_client::Status::kOk) {
    return *failure = "unreadable greeting: " + notice.text, false;
  }
  if (pos_client::ServerPublicKey::FromHex(greeting.public_key_hex, &server_key_) != pos_client::Status::kOk) {
    return *failure = "bad public key", false;
  }
  pos_client::LoginOptions options;
  options.marker = marker;
  pos_client::LoginMessage login;
  if (pos_client::BuildLogin(greeting, options, &login) != pos_client::Status::kOk) return *failure = "login", false;
  RecordSecret("challenge", pos_client::ToHex(greeting.challenge));
  RecordSecret("keyblock", Between(login.wire, '\x11', '\x12'));  // the check block
  RecordSecret("keyblock", pos_client::ToHex(login.check_bytes));  // the session text given back
  if (!Send(login.wire)) return *failure = "send login", false;
  if (!ReadFrame(10000, &frame)) return *failure = "no login answer", false;
  (void)encrypted;
  if (pos_client::ParseReplyFrame(frame, &parsed) != pos_client::Status::kOk ||
      pos_client::ParseNotice(parsed.payload, &notice) != pos_client::Status::kOk) {
    return *failure = "bad login answer", false;
  }
  if (!pos_client::IsLoginVerified(notice, login.check_bytes)) {
    return *failure = "login refused: " + std::to_string(notice.code) + " " + notice.text, false;
  }
  return true;
}

bool PosConnection::Exchange(const std::vector<pos_client::TStreamItem>& items, pos_client::Cipher cipher,
                             int wait_ms, std::string* document, bool* encrypted, std::string* failure) {
  std::string tstream;
  if (pos_client::JoinTStream(items, &tstream) != pos_client::Status::kOk) return *failure = "items", false;
  pos_client::RequestOptions options;
  options.cipher = cipher;
  options.user_trace_data = "e2e";
  pos_client::Request request;
  if (pos_client::BuildRequest(server_key_, tstream, options, &request) != pos_client::Status::kOk) {
    return *failure = "build request", false;
  }
  RecordCardSecrets(items);
  RecordSecret("keyblock", Between(request.envelope, '\x11', '\x12'));
  if (!Send(request.WireText())) return *failure = "send request", false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    std::string frame;
    if (!ReadFrame(MsLeft(deadline), &frame)) return *failure = "no reply", false;
    if (pos_client::OpenReply(frame, request.session, document, encrypted) != pos_client::Status::kOk) {
      return *failure = "unreadable reply", false;
    }
    if (Element(*document, "TextResponse").rfind("Queued:", 0) == 0) continue;  // the interim notice
    return true;
  }
}

std::string Element(const std::string& document, const std::string& name) {
  const std::string open = "<" + name + ">", close = "</" + name + ">";
  const size_t start = document.find(open);
  if (start == std::string::npos) return std::string();
  const size_t end = document.find(close, start);
  if (end == std::string::npos) return std::string();
  return document.substr(start + open.size(), end - start - open.size());
}

ServerRig::ServerRig(ServerRigOptions options) : options_(std::move(options)) {}

void ServerRig::End() {
  if (server_) server_->Stop(options_.end_wait_ms);
  server_.reset();
  if (gateway_) gateway_->Stop();
  gateway_.reset();
}

void ServerRig::Prepare() {
  ASSERT_FALSE(scratch_.path().empty());
  home_ = scratch_.path() + "/home";
  work_ = scratch_.path() + "/work";
  ASSERT_TRUE(platform::fs::CreateFolder(home_));
  ASSERT_TRUE(platform::fs::CreateFolder(work_));
  std::string error;
  ASSERT_TRUE(elavon_sim::MakeTestPki(scratch_.path() + "/certs", elavon_sim::TestPkiOptions(), &pki_, &error))
      << error;
  if (options_.gateway) {
    elavon_sim::GatewayServerOptions gateway_options;
    gateway_options.cert_file = pki_.cert_file;
    gateway_options.key_file = pki_.key_file;
    gateway_ = std::make_unique<elavon_sim::GatewayServer>(&sim_, gateway_options);
    ASSERT_TRUE(gateway_->Start(&error)) << error;
  }
  if (options_.store_parameters) {
    std::vector<std::pair<int, std::string>> params = {
        {kParmMerchantTerminalId, "123456789012"}, {kParmNumberOfLanes, "4"}, {kParmIpConnectTimeout, "5"}};
    params.insert(params.end(), options_.extra_parameters.begin(), options_.extra_parameters.end());
    ASSERT_TRUE(StoreParameters(home_, params));
  }
  const std::string rvcs = "127.0.0.1:" + std::to_string(FreePort());  // nothing listens there
  port_ = FreePort();
  env_ = {{"KVR_HOME", home_},
          {"KVR_CLIENT_PORT", std::to_string(port_)},
          {"KVR_RVCS_PRIMARY", rvcs},
          {"KVR_RVCS_SECONDARY", rvcs},
          {"SSL_CERT_FILE", pki_.ca_file},
          {"QT_QPA_PLATFORM", "offscreen"}};
  if (gateway_) {
    const std::string gateway = "127.0.0.1:" + std::to_string(gateway_->Port());
    env_["KVR_ELAVON_GATEWAY"] = gateway;
    if (options_.secondary_gateway) env_["KVR_ELAVON_GATEWAY_SECONDARY"] = gateway;
  }
}

ServerProcess& ServerRig::MakeServer() {
  server_.reset();
  server_ = std::make_unique<ServerProcess>(options_.program.empty() ? KVR_SERVER_BINARY : options_.program,
                                            work_, env_);
  return *server_;
}

void ServerRig::Start(int wait_ms, std::vector<std::string> args) {
  ServerProcess& server = MakeServer();
  ASSERT_TRUE(server.Start(port_, wait_ms, std::move(args))) << server.LogText() << server.Output();
}

void ServerRig::Stop(int* status) {
  ASSERT_TRUE(server_);
  ASSERT_TRUE(server_->Stop(40000, status)) << "no end within 40 s";
}

void ServerRig::Kill() {
  ASSERT_TRUE(server_ && server_->Running());
  ASSERT_EQ(::kill(server_->pid(), SIGKILL), 0);
  server_->Stop(10000);  // reaps it
  server_.reset();
}

std::unique_ptr<PosConnection> ServerRig::Pos() const {
  auto pos = std::make_unique<PosConnection>();
  std::string failure;
  if (!pos->Connect(port_, 5000) || !pos->Login("M", &failure)) {
    ADD_FAILURE() << "login: " << failure;
    return nullptr;
  }
  return pos;
}

std::string ServerRig::Log() const { return server_ ? server_->LogText() : std::string(); }

}  // namespace e2e
