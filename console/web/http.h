// The console's HTTP/1.1 server: asynchronous on a few threads, so that a
// slow or idle client costs a connection and a timer, never a thread. Every
// request must arrive whole within a deadline, connections are bounded per
// client address and in total, and a handler answers whenever it likes (a
// long poll holds no thread while it waits). Optional TLS. The library it
// is built on stays inside http_server.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zalvo::console {

struct HttpRequest {
  std::string method;                                        // "GET", "POST", ...
  std::string path;                                          // the target before '?'
  std::string query;                                         // the target after '?', as sent
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string remote_address;
  bool tls = false;

  // The first header of the name (lower case); "" when there is none.
  std::string Header(std::string_view name) const;
  size_t HeaderCount(std::string_view name) const;
  // A parameter of the query, percent-decoded; nullopt when absent.
  std::optional<std::string> Param(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The answer to one request. It may be sent from any thread, once: a second
// send, or one after the client went away or the server stopped, is dropped.
class HttpReply {
 public:
  virtual ~HttpReply() = default;
  virtual void Send(HttpResponse response) = 0;
};

using HttpHandler = std::function<void(HttpRequest request, std::shared_ptr<HttpReply> reply)>;

struct HttpServerOptions {
  size_t max_body = size_t{16} * 1024;  // larger bodies: 413
  // From a connection's start, or from the previous answer on it, to the
  // last byte of the request (the TLS handshake included): a client that
  // sends slower is cut off.
  std::chrono::milliseconds request_deadline{10'000};
  // For writing one answer.
  std::chrono::milliseconds write_deadline{10'000};
  // Past the total, a new connection takes the place of the one that has
  // waited longest for its request; past the bound per address it is closed.
  // Over TLS the total is at most max_tls_connections: each TLS connection
  // holds about 75 KB of TLS state and buffers for as long as it is open.
  size_t max_connections = 256;
  size_t max_tls_connections = 64;
  size_t max_connections_per_address = 16;
  // Of those, the TLS connections whose handshake is not over: past the
  // bound per address a new one is closed, past the total the one that has
  // been shaking hands longest makes room.
  size_t max_handshakes = 16;
  size_t max_handshakes_per_address = 4;
  int threads = 2;
  // Both or neither: a PEM certificate (chain) and its private key. TLS 1.2
  // (with AEAD suites only: AES-GCM and ChaCha20-Poly1305 over ECDHE) and
  // TLS 1.3.
  std::string tls_certificate_file;
  std::string tls_key_file;
  // Over TLS, every answer tells the browser to use HTTPS only for a year
  // (Strict-Transport-Security).
  bool hsts = false;
};

struct HttpServerCounters {
  size_t open = 0;            // connections now
  uint64_t refused = 0;       // closed at once: over a bound
  uint64_t made_room = 0;     // closed while waiting for a request, for a new one
  uint64_t too_slow = 0;      // closed at a deadline
  uint64_t bad_requests = 0;  // not HTTP, or over a size limit
};

class HttpServer {
 public:
  // Throws std::runtime_error when the TLS files cannot be used.
  HttpServer(HttpServerOptions options, HttpHandler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on address:port (port 0: any free one) and returns the port;
  // throws std::runtime_error when it cannot, platform::PlatformError of the
  // kind kInUse when another holds the port.
  int Bind(const std::string& address, int port);
  // Serves on the calling thread and the others of the options until Stop.
  void Run();
  // Ends serving; Run returns. Safe from any thread, and more than once.
  void Stop();

  // Calls the function on one of the server's threads after the delay
  // (dropped when the server stops first).
  void After(std::chrono::milliseconds delay, std::function<void()> function);

  HttpServerCounters Counters() const;

  struct Impl;  // the library's side, in http_server.cpp

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace zalvo::console
