// The installation an operator makes: `cmake --install` of this build into a prefix
// of the test's own, then the installed server, started with the command line of the
// installed systemd unit, against the installed simulated gateway and configuration
// service, until the installed POS client gets a sale approved.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/e2e_support.h"

namespace {

constexpr char kUnitInPrefix[] = "/lib/systemd/system/kvr-elavon-host.service";
constexpr char kUnitInTree[] = KVR_SOURCE_DIR "/app/shell/kvr-elavon-host.service";

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output->append(buffer, n);
  return ::pclose(pipe);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The value of the unit's first "key=" line ("" when there is none).
std::string UnitValue(const std::string& unit, const std::string& key) {
  for (const std::string& line : Lines(unit)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// The unit that the README shows: the first block of lines indented by four blanks
// after the paragraph that opens with "The systemd unit (", without the indent.
std::string ReadmeUnit(const std::string& readme) {
  enum { kBefore, kParagraph, kBlock } where = kBefore;
  std::string unit;
  for (const std::string& line : Lines(readme)) {
    const bool indented = line.rfind("    ", 0) == 0;
    if (where == kBefore) {
      if (line.rfind("The systemd unit (", 0) == 0) where = kParagraph;
    } else if (where == kParagraph) {
      if (indented) where = kBlock;
    }
    if (where != kBlock) continue;
    if (line.empty()) {
      unit += "\n";
      continue;
    }
    if (!indented) break;
    unit += line.substr(4) + "\n";
  }
  while (unit.size() >= 2 && unit.compare(unit.size() - 2, 2, "\n\n") == 0) unit.pop_back();
  return unit;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

std::string CommandLine(const std::vector<pos_client::TStreamItem>& items) {
  std::string line;
  for (const auto& item : items) line += " '" + item.name + "=" + item.value + "'";
  return line;
}

class InstallE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch_.path().empty());
    prefix_ = scratch_.path() + "/prefix";
    std::string output;
    const int status = RunCommand("timeout 120 '" KVR_CMAKE_COMMAND "' --install '" KVR_BUILD_DIR "' --prefix '" +
                                      prefix_ + "'",
                                  &output);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    unit_ = ReadText(prefix_ + kUnitInPrefix);
  }

  // A folder of the scratch folder, made with mode (as the README's steps make them).
  std::string Folder(const std::string& name, mode_t mode) {
    const std::string path = scratch_.path() + "/" + name;
    EXPECT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    return path;
  }

  e2e::ScratchFolder scratch_;
  std::string prefix_;
  std::string unit_;
};

TEST_F(InstallE2ETest, PutsTheServerTheToolsAndTheUnitInPlace) {
  for (const char* program : {"kvr-elavon-host", "pos-client", "elavon-sim", "rvcs-sim", "fake-modem", "pipe-client"}) {
    EXPECT_TRUE(IsExecutableFile(prefix_ + "/bin/" + program)) << program;
  }
  ASSERT_FALSE(unit_.empty()) << prefix_ + kUnitInPrefix;
  struct stat st {};
  ASSERT_EQ(::stat((prefix_ + kUnitInPrefix).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // The installed unit is the tree's, its ExecStart naming the server of this prefix.
  EXPECT_EQ(UnitValue(unit_, "ExecStart"), prefix_ + "/bin/kvr-elavon-host /started_as_service");
  std::string tree = ReadText(kUnitInTree);
  const std::string tree_exec = "ExecStart=/opt/kvr-elavon/bin/";
  ASSERT_NE(tree.find(tree_exec), std::string::npos) << tree;
  tree.replace(tree.find(tree_exec), tree_exec.size(), "ExecStart=" + prefix_ + "/bin/");
  EXPECT_EQ(unit_, tree);
}

TEST_F(InstallE2ETest, TheInstalledServerGetsASaleApprovedFromTheInstalledPeers) {
  const std::string bin = prefix_ + "/bin/";
  const std::string certs = Folder("certs", 0700);
  std::string output;
  ASSERT_EQ(RunCommand("timeout 60 '" + bin + "elavon-sim' --make-certs-only --certs '" + certs + "'", &output), 0)
      << output;

  const int gateway_port = e2e::FreePort();
  e2e::ServerProcess gateway(bin + "elavon-sim", Folder("gateway", 0700), {});
  ASSERT_TRUE(gateway.Start(gateway_port, 15000, {"--certs", certs, "--port", std::to_string(gateway_port), "--quiet"}))
      << gateway.Output();
  const int service_port = e2e::FreePort();
  e2e::ServerProcess service(bin + "rvcs-sim", Folder("service", 0700), {});
  ASSERT_TRUE(service.Start(service_port, 15000,
                            {"--certs", certs, "--port", std::to_string(service_port), "--set", "19=4", "--quiet"}))
      << service.Output();

  // The server as the unit starts it; the unit's folders and peers are the test's.
  const std::vector<std::string> exec = Words(UnitValue(unit_, "ExecStart"));
  ASSERT_EQ(exec.size(), 2u) << unit_;
  EXPECT_EQ(exec[0], bin + "kvr-elavon-host");
  const int client_port = e2e::FreePort();
  const std::string gateway_address = "127.0.0.1:" + std::to_string(gateway_port);
  const std::string service_address = "127.0.0.1:" + std::to_string(service_port);
  e2e::ServerProcess server(exec[0], Folder("work", 0700),
                            {{"KVR_HOME", Folder("home", 0700)},
                             {"KVR_CLIENT_PORT", std::to_string(client_port)},
                             {"KVR_ELAVON_GATEWAY", gateway_address},
                             {"KVR_RVCS_PRIMARY", service_address},
                             {"KVR_RVCS_SECONDARY", service_address},
                             {"SSL_CERT_FILE", certs + "/ca.pem"},
                             {"QT_QPA_PLATFORM", "offscreen"}});
  // No parameters are stored: the port opens only after the download from the service.
  ASSERT_TRUE(server.Start(client_port, 60000, std::vector<std::string>(exec.begin() + 1, exec.end())))
      << server.Output() << "\n" << server.LogText();

  const auto sale = e2e::CreditSale("10.00");
  e2e::RecordCardSecrets(sale);
  output.clear();
  const int status = RunCommand("timeout 60 '" + bin + "pos-client' session --port " + std::to_string(client_port) +
                                    " --marker M --wait 30" + CommandLine(sale),
                                &output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output << "\n" << server.LogText();
  EXPECT_NE(output.find("<CmdStatus>Approved</CmdStatus>"), std::string::npos) << output;

  int end = -1;
  ASSERT_TRUE(server.Stop(40000, &end));
  EXPECT_TRUE(WIFEXITED(end) && WEXITSTATUS(end) == 0) << end;
  EXPECT_NE(server.LogText().find("Interfaces Stopped."), std::string::npos) << server.LogText();
}

// The README's example unit is the unit that the install puts in place.
TEST(InstallReadmeTest, TheReadmeShowsTheUnitOfTheTree) {
  const std::string unit = ReadText(kUnitInTree);
  ASSERT_FALSE(unit.empty()) << kUnitInTree;
  EXPECT_EQ(ReadmeUnit(ReadText(KVR_SOURCE_DIR "/README.md")), unit);
}

}  // namespace
