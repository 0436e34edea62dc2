// A small blocking HTTP/1.1 client for the console's tests and benchmark:
// one connection per request ("Connection: close"), from a chosen local
// address, over TLS when asked (without checking the certificate: the tests
// make their own). Linux only.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zalvo::testing {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResult {
  int status = 0;
  HttpHeaders headers;
  std::string body;
  // The first header of the name, in any letter case; "" when absent.
  std::string Header(const std::string& name) const;
};

class HttpClient {
 public:
  HttpClient(std::string host, int port, bool tls = false)
      : host_(std::move(host)), port_(port), tls_(tls) {}

  // The local address requests are sent from (a loopback address such as
  // 127.0.0.2 makes another client); the system's choice by default.
  void SetLocalAddress(std::string address) { local_address_ = std::move(address); }
  void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  // Host is "host:port" unless the headers name one. nullopt when the
  // connection failed, was closed before a whole answer, or timed out.
  std::optional<HttpResult> Request(const std::string& method, const std::string& path,
                                    const HttpHeaders& headers = {}, const std::string& body = "");
  std::optional<HttpResult> Get(const std::string& path, const HttpHeaders& headers = {}) {
    return Request("GET", path, headers);
  }
  std::optional<HttpResult> Post(const std::string& path, const std::string& body,
                                 HttpHeaders headers = {},
                                 const std::string& type = "application/json") {
    headers.emplace_back("Content-Type", type);
    return Request("POST", path, headers, body);
  }

 private:
  std::string host_;
  int port_;
  bool tls_;
  std::string local_address_;
  std::chrono::milliseconds timeout_{15'000};
};

// A plain TCP connection whose bytes a test sends as slowly as it likes.
class RawConnection {
 public:
  // Connects from the local address ("" for any); Connected() tells.
  RawConnection(const std::string& host, int port, const std::string& local_address = "");
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Connected() const { return fd_ >= 0; }
  // False once the peer has closed the connection.
  bool Send(const std::string& bytes);
  // Whether the peer closes the connection (or resets it) within the wait;
  // what it sent before is discarded.
  bool ClosedWithin(std::chrono::milliseconds wait);

 private:
  int fd_ = -1;
};

}  // namespace zalvo::testing
