// The log scan that follows the end-to-end tests: every log file that their servers
// wrote (kept in the archive folder KVR_E2E_LOG_ARCHIVE names) must hold none of the
// secrets the tests sent (card numbers, track texts, key blocks, challenges) in clear,
// and no digit run that looks like a card number of a test card; and that their
// layout is whole: no raw control bytes, every record opened by its stamp.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// Public test card prefixes, besides those of the card numbers the tests sent.
const char* const kTestCardPrefixes[] = {"411111", "401288", "422222", "424242", "542418", "545454",
                                         "555555", "510510", "371449", "378282", "378734", "601111",
                                         "601100", "353011", "356600", "305693", "385200"};

bool LuhnValid(const std::string& digits) {
  int sum = 0;
  bool twice = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    int d = *it - '0';
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

// Every run of 13 to 19 digits inside a digit run of text that starts with one of
// the prefixes and passes the Luhn check.
std::vector<std::string> CardLikeRuns(const std::string& text, const std::set<std::string>& prefixes) {
  std::vector<std::string> found;
  size_t i = 0;
  while (i < text.size()) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    for (size_t start = i; start + 13 <= end; ++start) {
      for (const std::string& prefix : prefixes) {
        if (text.compare(start, prefix.size(), prefix) != 0) continue;
        for (size_t length = 13; length <= 19 && start + length <= end; ++length) {
          const std::string candidate = text.substr(start, length);
          if (LuhnValid(candidate)) found.push_back(candidate);
        }
      }
    }
    i = end;
  }
  return found;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// kind -> values, from every secrets-*.txt of the archive.
std::map<std::string, std::set<std::string>> ReadSecrets(const fs::path& archive) {
  std::map<std::string, std::set<std::string>> secrets;
  for (const auto& entry : fs::directory_iterator(archive)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("secrets-", 0) != 0) continue;
    std::istringstream lines(ReadAll(entry.path()));
    std::string line;
    while (std::getline(lines, line)) {
      const size_t tab = line.find('\t');
      if (tab == std::string::npos || tab + 1 >= line.size()) continue;
      secrets[line.substr(0, tab)].insert(line.substr(tab + 1));
    }
  }
  return secrets;
}

// What breaks the layout of a log: a control byte other than TAB, CR and LF (the
// writer shows those escaped), or a record that does not start with its stamp
// "[HH:MM:SS]" (a line that client text made look like the end of a record).
std::vector<std::string> LayoutFaults(const std::string& text) {
  std::vector<std::string> faults;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) {
      faults.push_back("control byte " + std::to_string(c) + " at " + std::to_string(i));
      break;
    }
  }
  const std::string separator = "\r\n----------\r\n";
  size_t start = 0;
  while (start < text.size()) {
    const std::string head = text.substr(start, 10);
    const bool stamped = head.size() == 10 && head[0] == '[' && head[3] == ':' && head[6] == ':' && head[9] == ']' &&
                         std::isdigit(static_cast<unsigned char>(head[1])) &&
                         std::isdigit(static_cast<unsigned char>(head[8]));
    if (!stamped) {
      faults.push_back("record without a stamp at " + std::to_string(start) + ": " + text.substr(start, 60));
      break;
    }
    const size_t end = text.find(separator, start);
    if (end == std::string::npos) break;
    start = end + separator.size();
  }
  return faults;
}

TEST(LogScanTest, TheLayoutCheckFindsForgedAndRawRecords) {
  const struct {
    std::string text;
    bool faulty;
  } cases[] = {
      {"[10:00:00]a\r\n----------\r\n[10:00:01]b\r\nmore\r\n----------\r\n", false},
      {"[10:00:00]a|0d|0a----------|0d|0a[10:00:01]x\r\n----------\r\n", false},
      {"[10:00:00]T\r\n----------\r\nforged\r\n----------\r\n", true},
      {"[10:00:00]a\x1C" "b\r\n----------\r\n", true},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(!LayoutFaults(c.text).empty(), c.faulty) << c.text;
}

TEST(LogScanTest, TheScannerFindsCardNumbersOnlyWhereTheyAre) {
  const std::set<std::string> prefixes = {"411111"};
  struct Case {
    const char* text;
    size_t hits;
  } cases[] = {
      {"Track2=4111111111111111=2512101", 1},
      {"Acct:XXXXXXXXXXXX1111 AMT:1000", 0},
      {"[10:00:00]4111111111111112 x", 0},  // fails the Luhn check
      {"99994111111111111111", 1},          // inside a longer run
      {"5454545454545454", 0},              // not a prefix given
      {"411111111111", 0},                  // too short
  };
  for (const Case& c : cases) EXPECT_EQ(CardLikeRuns(c.text, prefixes).size(), c.hits) << c.text;
}

TEST(LogScanTest, ArchivedLogsHoldNoSecretsInClear) {
  const char* folder = std::getenv("KVR_E2E_LOG_ARCHIVE");
  if (!folder || !*folder || !fs::is_directory(folder)) GTEST_SKIP() << "no log archive";
  const fs::path archive(folder);
  const auto secrets = ReadSecrets(archive);
  std::set<std::string> prefixes(std::begin(kTestCardPrefixes), std::end(kTestCardPrefixes));
  if (secrets.count("pan")) {
    for (const std::string& pan : secrets.at("pan")) {
      if (pan.size() >= 6) prefixes.insert(pan.substr(0, 6));
    }
  }

  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(archive)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".log") continue;
    ++files;
    const std::string text = ReadAll(entry.path());
    const std::string lower = Lower(text);
    for (const auto& [kind, values] : secrets) {
      for (const std::string& value : values) {
        if (value.size() < 8) continue;  // too short to tell from other text
        const bool hex = kind == "keyblock" || kind == "challenge";
        const bool found = text.find(value) != std::string::npos ||
                           (hex && lower.find(Lower(value)) != std::string::npos);
        EXPECT_FALSE(found) << kind << " " << value << " in " << entry.path();
      }
    }
    for (const std::string& run : CardLikeRuns(text, prefixes)) {
      ADD_FAILURE() << "card-like number " << run << " in " << entry.path();
    }
    for (const std::string& fault : LayoutFaults(text)) ADD_FAILURE() << fault << " in " << entry.path();
  }
  std::printf("scanned %d log files, %zu kinds of secrets\n", files, secrets.size());
  // Secrets were sent, so servers ran: their logs must be there.
  if (!secrets.empty()) {
    EXPECT_GT(files, 0) << "secrets listed but no log archived";
  }
}

}  // namespace
