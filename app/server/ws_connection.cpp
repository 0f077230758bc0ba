#include "app/server/ws_connection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/net/socket.h"

namespace net = platform::net;

namespace {

constexpr char kConnectText[] = "Connect Successful ... Now Disconnecting.";
constexpr char kRefusedText[] = "Too Many Connections, Please Try Later.";

uint32_t WaitMs(int seconds, int microseconds) {
  const int64_t ms = static_cast<int64_t>(seconds) * 1000 + microseconds / 1000;
  return ms < 0 ? 0u : (ms > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<uint32_t>(ms));
}

struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileClose>;

}  // namespace

void WSConnection::OnConnect() {
  char line[100];
  if (ReadLine(line, sizeof line) > 0) {
    Drain();
    SendText(kConnectText);
  }
}

void WSConnection::OnRefused() {
  char buffer[255];
  if (Receive(buffer, sizeof buffer) > 0) SendText(kRefusedText);
}

bool WSConnection::OnReceiveProgress(int64_t) { return true; }
bool WSConnection::OnSendProgress(int64_t) { return true; }

int WSConnection::Send(const char* data, int len, int flags) {
  if (len < 0) len = data == nullptr ? 0 : static_cast<int>(std::strlen(data));
  if (m_Ended && len > 0) return -1;
  int sent = 0;
  while (sent < len) {
    const int n = net::SendOnce(m_Socket, data + sent, len - sent, flags);
    if (n > 0) {
      sent += n;
    } else {
      // An error, or the send time-out ran out (WSAEWOULDBLOCK) with the message
      // perhaps in part on the wire: the stream can carry nothing more.
      m_Ended = true;
      if (m_Socket >= 0) net::Shutdown(m_Socket, net::SD_BOTH);
      return -1;
    }
  }
  return sent;
}

int WSConnection::Send(const char* data, int len) { return Send(data, len, 0); }

int WSConnection::SendText(const std::string& text) {
  if (text.size() > 0x7FFFFFFF) return -1;
  return Send(text.data(), static_cast<int>(text.size()), 0);
}

int WSConnection::SendChunked(const std::string& text, int len, int chunk) {
  if (len <= 0 || len > static_cast<int>(text.size())) len = static_cast<int>(text.size());
  if (chunk <= 0) return -1;
  int total = 0;
  for (int at = 0; at < len; at += chunk) {
    const int piece = std::min(chunk, len - at);
    std::string part = text.substr(static_cast<size_t>(at), static_cast<size_t>(piece));
    part += "\r\n";
    const int rc = SendText(part);
    if (rc <= 0) return rc;
    total += rc;
  }
  return total;
}

int WSConnection::SendFile(const std::string& path, int64_t* count) {
  *count = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) return 1;
  char buffer[255];
  for (;;) {
    const size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
    if (n == 0) return 0;
    if (Send(buffer, static_cast<int>(n)) != static_cast<int>(n)) return 2;
    *count += static_cast<int64_t>(n);
    if (!OnSendProgress(*count)) return 2;
  }
}

int WSConnection::Receive(char* buffer, int size) {
  if (size <= 0) return 0;
  return net::Recv(m_Socket, buffer, size);
}

int WSConnection::Receive(char* buffer, int size, int seconds) {
  if (seconds > 0 && WaitReadable(seconds, 0) != 0) return 0;
  return Receive(buffer, size);
}

int WSConnection::ReceiveWithin(char* buffer, int size, uint32_t ms) {
  if (ms > 0) {
    const net::WaitResult ready = net::WaitReadable(m_Socket, ms > 0x7FFFFFFF ? 0x7FFFFFFFu : ms);
    if (ready == net::WaitResult::kTimedOut) return 0;
    if (ready != net::WaitResult::kReady) return -1;
  }
  return Receive(buffer, size);
}

int WSConnection::ReadLine(char* buffer, int size, int seconds) {
  if (size <= 0) return 0;
  int placed = 0;
  while (placed < size - 1) {
    if (seconds > 0 && WaitReadable(seconds, 0) != 0) break;
    const int n = net::Recv(m_Socket, buffer + placed, size - 1 - placed, net::kMsgPeek);
    if (n <= 0) break;
    // A CR LF may straddle the previous piece and this one.
    int end = -1;
    for (int i = placed > 0 ? placed - 1 : 0; i + 1 < placed + n; ++i) {
      if (buffer[i] == '\r' && buffer[i + 1] == '\n') {
        end = i + 2;
        break;
      }
    }
    const int take = end >= 0 ? end - placed : n;
    const int got = Receive(buffer + placed, take);
    if (got <= 0) break;
    placed += got;
    if (end >= 0 && placed == end) break;
  }
  buffer[placed] = '\0';
  return placed;
}

int WSConnection::ReadLine(char* buffer, int size) { return ReadLine(buffer, size, 0); }

bool WSConnection::HasPendingData() const {
  int waiting = 0;
  return net::BytesReadable(m_Socket, &waiting) == 0 && waiting > 0;
}

void WSConnection::Drain() {
  char buffer[256];
  while (HasPendingData() && Receive(buffer, sizeof buffer) > 0) {
  }
}

int WSConnection::ReceiveFile(const std::string& path, int type, int64_t* count, int seconds) {
  *count = 0;
  const char* mode = type == 1 ? "w+b" : (type == 2 ? "a+b" : nullptr);
  if (mode == nullptr) return 1;
  File file(std::fopen(path.c_str(), mode));
  if (!file) return 2;
  char buffer[256];
  for (;;) {
    if (seconds > 0 && WaitReadable(seconds, 0) != 0) return 3;
    const int n = Receive(buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) return 4;
    if (std::fwrite(buffer, 1, static_cast<size_t>(n), file.get()) != static_cast<size_t>(n)) return 5;
    *count += n;
    if (!OnReceiveProgress(*count)) return 6;
  }
}

int WSConnection::ReceiveFile(const std::string& path, int type, int64_t* count) {
  return ReceiveFile(path, type, count, 0);
}

int WSConnection::WaitReadable(int seconds, int microseconds) const {
  return net::WaitReadable(m_Socket, WaitMs(seconds, microseconds)) == net::WaitResult::kReady ? 0 : 1;
}

int WSConnection::WaitWritable(int seconds, int microseconds) const {
  return net::WaitWritable(m_Socket, WaitMs(seconds, microseconds)) == net::WaitResult::kReady ? 0 : 1;
}

bool WSConnection::IsConnected() const { return !m_Ended && net::PeerStillConnected(m_Socket); }

int WSConnection::SetReceiveTimeout(int ms) { return net::SetReceiveTimeout(m_Socket, ms); }
int WSConnection::SetSendTimeout(int ms) { return net::SetSendTimeout(m_Socket, ms); }

int WSConnection::SetNonBlocking(bool on) {
  const int rc = net::SetNonBlocking(m_Socket, on);
  if (rc == 0) m_NonBlocking = on;
  return rc;
}

int WSConnection::GetSendBufferSize() const { return net::GetSendBufferSize(m_Socket); }
int WSConnection::GetReceiveBufferSize() const { return net::GetReceiveBufferSize(m_Socket); }
int WSConnection::SetSendBufferSize(int bytes) { return net::SetSendBufferSize(m_Socket, bytes); }
int WSConnection::SetReceiveBufferSize(int bytes) { return net::SetReceiveBufferSize(m_Socket, bytes); }

int WSConnection::CancelBlockingCall() {
  m_Cancelled = 1;
  if (m_Socket >= 0) net::Shutdown(m_Socket, net::SD_BOTH);
  return 0;
}

std::string WSConnection::GetPeerAddress() const { return net::IPv4Text(m_PeerAddress.address_be); }

int WSConnection::GetPeerAddressText(char* buffer, int size) const {
  const std::string text = GetPeerAddress();
  if (text.empty()) return 2;
  if (size - 1 < static_cast<int>(text.size())) return 1;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

int WSConnection::GetPeerHostName(char* buffer, int size) const {
  std::string host;
  if (net::LookupHostName(m_PeerAddress.address_be, &host) != 0) return 2;
  if (size < static_cast<int>(host.size()) + 1) return 1;
  std::memcpy(buffer, host.c_str(), host.size() + 1);
  return 0;
}
