#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace zalvo::testing {
namespace {

using Clock = std::chrono::steady_clock;

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

int Connect(const std::string& host, int port, const std::string& local_address) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = ::inet_pton(AF_INET, host.c_str(), &remote.sin_addr) == 1;
  if (ok && !local_address.empty()) {
    ok = ::inet_pton(AF_INET, local_address.c_str(), &local.sin_addr) == 1 &&
         ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  if (!ok || ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits until the descriptor can be read, or the deadline passes.
// Past the deadline it still tells whether the socket is readable now.
bool Readable(int fd, Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) == 1;
}

// The connection, plain or through OpenSSL.
class Channel {
 public:
  Channel(int fd, bool tls) : fd_(fd) {
    if (!tls) {
      return;
    }
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = ctx_ ? SSL_new(ctx_) : nullptr;
    if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1 || SSL_connect(ssl_) != 1) {
      failed_ = true;
    }
  }
  ~Channel() {
    if (ssl_) {
      SSL_free(ssl_);
    }
    if (ctx_) {
      SSL_CTX_free(ctx_);
    }
    ::close(fd_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool failed() const { return failed_; }

  bool Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                       : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Some bytes, or 0 at the end, -1 on an error or at the deadline.
  ssize_t Read(char* buffer, size_t size, Clock::time_point deadline) {
    if (!(ssl_ && SSL_pending(ssl_) > 0) && !Readable(fd_, deadline)) {
      return -1;
    }
    if (ssl_) {
      int n = SSL_read(ssl_, buffer, static_cast<int>(size));
      return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }
    return ::recv(fd_, buffer, size, 0);
  }

 private:
  int fd_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool failed_ = false;
};

// The answer's head and body from what was read; nullopt while incomplete.
std::optional<HttpResult> Parse(const std::string& data, bool at_end) {
  size_t head_end = data.find("\r\n\r\n");
  if (head_end == std::string::npos) {
    return std::nullopt;
  }
  HttpResult result;
  size_t line_end = data.find("\r\n");
  std::string status_line = data.substr(0, line_end);
  if (status_line.rfind("HTTP/1.", 0) != 0 || status_line.size() < 12) {
    return std::nullopt;
  }
  result.status = std::stoi(status_line.substr(9, 3));
  size_t pos = line_end + 2;
  while (pos < head_end) {
    size_t end = data.find("\r\n", pos);
    std::string line = data.substr(pos, end - pos);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t value = line.find_first_not_of(' ', colon + 1);
      result.headers.emplace_back(line.substr(0, colon),
                                  value == std::string::npos ? "" : line.substr(value));
    }
    pos = end + 2;
  }
  std::string length = result.Header("Content-Length");
  size_t body_start = head_end + 4;
  if (length.empty()) {
    if (!at_end) {
      return std::nullopt;
    }
    result.body = data.substr(body_start);
    return result;
  }
  size_t size = std::stoul(length);
  if (data.size() < body_start + size) {
    return std::nullopt;
  }
  result.body = data.substr(body_start, size);
  return result;
}

}  // namespace

std::string HttpResult::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) {
      return value;
    }
  }
  return "";
}

std::optional<HttpResult> HttpClient::Request(const std::string& method, const std::string& path,
                                              const HttpHeaders& headers, const std::string& body) {
  auto deadline = Clock::now() + timeout_;
  int fd = Connect(host_, port_, local_address_);
  if (fd < 0) {
    return std::nullopt;
  }
  Channel channel(fd, tls_);
  if (channel.failed()) {
    return std::nullopt;
  }
  std::string request = method + " " + path + " HTTP/1.1\r\n";
  bool has_host = false;
  for (const auto& [name, value] : headers) {
    has_host = has_host || SameName(name, "Host");
    request += name + ": " + value + "\r\n";
  }
  if (!has_host) {
    request += "Host: " + host_ + ":" + std::to_string(port_) + "\r\n";
  }
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "Connection: close\r\n\r\n" + body;
  // A server that answers before reading the whole body (413) may close
  // early: the answer is read all the same.
  channel.Write(request);
  std::string data;
  char buffer[16384];
  for (;;) {
    if (auto result = Parse(data, false)) {
      return result;
    }
    ssize_t n = channel.Read(buffer, sizeof buffer, deadline);
    if (n <= 0) {
      return n == 0 ? Parse(data, true) : std::nullopt;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
}

RawConnection::RawConnection(const std::string& host, int port, const std::string& local_address)
    : fd_(Connect(host, port, local_address)) {}

RawConnection::~RawConnection() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool RawConnection::Send(const std::string& bytes) {
  return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
}

bool RawConnection::ClosedWithin(std::chrono::milliseconds wait) {
  auto deadline = Clock::now() + wait;
  char buffer[4096];
  while (fd_ >= 0 && Readable(fd_, deadline)) {
    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
      return true;
    }
  }
  return fd_ < 0;
}

}  // namespace zalvo::testing
