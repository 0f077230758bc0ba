#include "tools/fake-modem/fake_modem.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <thread>

#include "platform/serial/fd_wait.h"

namespace fake_modem {

namespace {

constexpr uint32_t kServeSliceMs = 5;
constexpr size_t kMaxCommand = 256;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  for (int tries = 0; done < bytes.size() && tries < 200; ++tries) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
}

}  // namespace

const char* ModemReplyText(ModemReply reply) {
  switch (reply) {
    case ModemReply::kOk: return "OK";
    case ModemReply::kConnect: return "CONNECT 19200";
    case ModemReply::kNoCarrier: return "NO CARRIER";
    case ModemReply::kError: return "ERROR";
    case ModemReply::kNoDialtone: return "NO DIALTONE";
    case ModemReply::kBusy: return "BUSY";
    case ModemReply::kNoAnswer: return "NO ANSWER";
    case ModemReply::kLineInUse: return "LINE IN USE";
    case ModemReply::kSilence: return "";
  }
  return "";
}

std::optional<ModemReply> ModemReplyFromWord(const std::string& word) {
  const std::string up = Upper(word);
  if (up == "SILENCE") return ModemReply::kSilence;
  if (up == "CONNECT") return ModemReply::kConnect;
  for (ModemReply reply : {ModemReply::kOk, ModemReply::kNoCarrier, ModemReply::kError, ModemReply::kNoDialtone,
                           ModemReply::kBusy, ModemReply::kNoAnswer, ModemReply::kLineInUse}) {
    if (up == ModemReplyText(reply)) return reply;
  }
  return std::nullopt;
}

FakeModem::FakeModem(elavon_sim::ElavonHostSim* host) : host_(host) {}

FakeModem::~FakeModem() { Stop(); }

bool FakeModem::Start(const ModemScript& script) {
  Stop();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) return false;
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    script_ = script;
    counters_ = ModemCounters();
    counters_.dtr = true;
    counters_.line_open = true;
    dsr_ = cts_ = true;
    injected_dtr_ = termios_dtr_ = line_open_ = true;
    data_mode_ = false;
    close_at_.reset();
    command_.clear();
    output_.clear();
    session_.reset();
    device_path_ = name;
  }
  master_ = master;
  stop_.Reset();
  if (!thread_.Start([this] { return Serve(); })) {
    close(master_);
    master_ = -1;
    return false;
  }
  return true;
}

void FakeModem::Stop() {
  stop_.Set();
  thread_.Join();
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void FakeModem::SetScript(const ModemScript& script) {
  std::lock_guard<std::mutex> lock(mu_);
  script_ = script;
}

std::string FakeModem::DevicePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return device_path_;
}

void FakeModem::SetDsr(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  dsr_ = on;
}

void FakeModem::SetCts(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  cts_ = on;
}

ModemCounters FakeModem::Counters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

bool FakeModem::WaitFor(const std::function<bool(const ModemCounters&)>& done, uint32_t ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(counters_); });
}

bool FakeModem::LinesView::GetModemStatus(uint32_t* status) {
  std::lock_guard<std::mutex> lock(modem_->mu_);
  *status = (modem_->dsr_ ? platform::serial::kMsDsrOn : 0) | (modem_->cts_ ? platform::serial::kMsCtsOn : 0) |
            (modem_->counters_.carrier ? platform::serial::kMsRlsdOn : 0);
  return true;
}

bool FakeModem::LinesView::SetDtr(bool on) {
  {
    std::lock_guard<std::mutex> lock(modem_->mu_);
    modem_->injected_dtr_ = on;
    modem_->UpdateDtrLocked();
    modem_->ChangedLocked();
  }
  modem_->wake_.Set();
  return true;
}

uint32_t FakeModem::Serve() {
  platform::Event* waits[] = {&stop_, &wake_};
  for (;;) {
    if (master_ < 0) {
      if (platform::Event::WaitAny(waits, platform::kInfinite) == 0) return 0;
      continue;
    }
    const platform::serial::FdWaitOutcome woken =
        platform::serial::WaitForFd(master_, POLLIN, waits, kServeSliceMs);
    if (woken.result == platform::serial::WaitResult::kAborted && woken.event_index == 0) return 0;

    std::string in;
    char buffer[1024];
    for (;;) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      in.append(buffer, static_cast<size_t>(n));
    }
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, 0);
    const bool hung_up = (p.revents & POLLHUP) != 0;  // the terminal has closed the line
    termios t;
    const bool termios_dtr = tcgetattr(master_, &t) != 0 || cfgetospeed(&t) != B0;

    std::string out;
    bool close_now = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      termios_dtr_ = termios_dtr;
      line_open_ = !hung_up;
      counters_.line_open = line_open_;
      // A rise counts before the bytes (a command may follow it), a drop after them.
      if (injected_dtr_ && termios_dtr_ && line_open_) UpdateDtrLocked();
      if (!in.empty()) OnBytesLocked(in);
      UpdateDtrLocked();
      if (!in.empty() || !output_.empty()) last_call_byte_ = std::chrono::steady_clock::now();
      DropIdleCallLocked();
      out.swap(output_);
      if (close_at_ && std::chrono::steady_clock::now() >= *close_at_) {
        close_now = true;
        close_at_.reset();
      }
      ChangedLocked();
    }
    if (!out.empty() && !hung_up) WriteAll(master_, out);
    if (close_now) {
      close(master_);
      master_ = -1;
    }
    // A closed line keeps poll ready: pause instead of spinning.
    if (hung_up && platform::Event::WaitAny(waits, kServeSliceMs) == 0) return 0;
  }
}

void FakeModem::UpdateDtrLocked() {
  const bool dtr = injected_dtr_ && termios_dtr_ && line_open_;
  if (dtr == counters_.dtr) return;
  counters_.dtr = dtr;
  if (dtr) return;
  const bool in_call = counters_.carrier || data_mode_;
  if (in_call) {
    EndCallLocked();
    ++counters_.dtr_hang_ups;
  }
  if (in_call && line_open_ && script_.ok_on_dtr_drop) Reply(ModemReply::kOk);
}

void FakeModem::EndCallLocked() {
  counters_.carrier = false;
  data_mode_ = false;
  session_.reset();
}

void FakeModem::DropIdleCallLocked() {
  if (script_.drop_idle_call_after_ms < 0 || !data_mode_ || !session_ || !session_->BetweenMessages()) return;
  if (std::chrono::steady_clock::now() - last_call_byte_ < std::chrono::milliseconds(script_.drop_idle_call_after_ms)) {
    return;
  }
  EndCallLocked();
  ++counters_.idle_drops;
  Reply(ModemReply::kNoCarrier);
}

void FakeModem::Reply(ModemReply reply) {
  const std::string text = ModemReplyText(reply);
  if (!text.empty()) output_ += "\r\n" + text + "\r\n";
}

void FakeModem::OnBytesLocked(const std::string& bytes) {
  if (data_mode_ && session_) {
    if (bytes == "+++" && session_->Idle()) {
      data_mode_ = false;
      ++counters_.escapes;
      Reply(ModemReply::kOk);
      return;
    }
    output_ += session_->OnBytes(bytes);
    if (session_->HangUpRequested()) {
      EndCallLocked();
      Reply(ModemReply::kNoCarrier);
    }
    return;
  }
  for (char c : bytes) {
    if (c == kStx) ++counters_.frames_without_call;
    if (c == '\r') {
      const std::string line = command_;
      command_.clear();
      OnCommandLocked(line);
    } else if (c != '\n' && command_.size() < kMaxCommand) {
      command_ += c;
    }
  }
}

void FakeModem::OnCommandLocked(const std::string& line) {
  std::string command = Upper(line);
  const size_t at = command.find("AT");
  if (at == std::string::npos) return;
  command.erase(0, at);
  counters_.commands.push_back(command);
  if (command.rfind("ATD", 0) == 0) {
    ++counters_.dials;
    if (script_.dial_reply != ModemReply::kConnect) {
      Reply(script_.dial_reply);
      return;
    }
    ++counters_.calls;
    counters_.carrier = script_.carrier_with_connect;
    data_mode_ = true;
    session_.emplace(host_, script_.host, &counters_.host);
    Reply(ModemReply::kConnect);
    output_ += session_->OnConnect();
    last_call_byte_ = std::chrono::steady_clock::now();
    if (script_.close_after_connect_ms >= 0) {
      close_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(script_.close_after_connect_ms);
    }
  } else if (command.rfind("ATH", 0) == 0) {
    if (counters_.carrier || session_) {
      EndCallLocked();
      ++counters_.ath_hang_ups;
    }
    Reply(ModemReply::kOk);
  } else {
    Reply(script_.init_reply);
  }
}

}  // namespace fake_modem
