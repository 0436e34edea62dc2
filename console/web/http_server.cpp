// The HTTP server over Boost.Beast and Asio, TLS through OpenSSL. This is the
// only file that includes them: they compile slowly.
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "console/web/http.h"
#include "platform/error.h"

namespace zalvo::console {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using beast::error_code;

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

constexpr size_t kMaxHeaderBytes = size_t{16} * 1024;
constexpr std::chrono::seconds kLinger{2};
constexpr std::chrono::milliseconds kAcceptRetry{100};
// At Stop, answers already given (a long poll's last one) may take this long
// to be written before the connections are dropped.
constexpr std::chrono::milliseconds kStopGrace{500};

// A connection as the server closes it: to make room (one waiting for, or
// reading, a request), or at Stop (any; an answer being written is finished
// first).
class Waiting {
 public:
  virtual ~Waiting() = default;
  virtual void Close() = 0;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

HttpResponse ErrorResponse(int status, const std::string& message) {
  return HttpResponse{
      status, {{"Content-Type", "application/json"}}, "{\"error\": \"" + message + "\"}"};
}

}  // namespace

std::string HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) {
      return value;
    }
  }
  return "";
}

size_t HttpRequest::HeaderCount(std::string_view name) const {
  return static_cast<size_t>(std::count_if(headers.begin(), headers.end(),
                                           [&](const auto& h) { return h.first == name; }));
}

std::optional<std::string> HttpRequest::Param(std::string_view name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    size_t end = rest.find('&');
    std::string_view pair = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    size_t equals = pair.find('=');
    if (PercentDecode(pair.substr(0, equals)) == name) {
      return equals == std::string_view::npos ? std::string()
                                              : PercentDecode(pair.substr(equals + 1));
    }
  }
  return std::nullopt;
}

struct HttpServer::Impl {
  Impl(HttpServerOptions server_options, HttpHandler request_handler)
      : options(std::move(server_options)), handler(std::move(request_handler)) {}
  ~Impl() {
    // The pending handlers go with the context, and with them the
    // connections, which still count themselves out here.
    acceptor.reset();
    context.reset();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Counts a new connection in, or says it is over a bound. When all
  // connections are taken, the one that has waited longest for its request
  // is closed to make room: clients that connect and send nothing (or
  // slowly) from many addresses can't keep the others out. A TLS connection
  // also takes one of the handshakes' places until its handshake is over
  // (each costs the TLS state and its buffers): past their bound per
  // address it is closed, past their total the oldest handshake makes room.
  bool Admit(const std::string& address, bool secure) {
    std::vector<std::shared_ptr<Waiting>> closing;
    {
      std::lock_guard lock(mutex);
      size_t& mine = per_address[address];
      size_t& mine_shaking = shaking_per_address[address];
      if (mine >= options.max_connections_per_address ||
          (secure && mine_shaking >= options.max_handshakes_per_address)) {
        if (mine == 0) {
          per_address.erase(address);
        }
        if (mine_shaking == 0) {
          shaking_per_address.erase(address);
        }
        ++counters.refused;
        return false;
      }
      auto oldest = [&](std::unordered_map<const void*, WaitingEntry>& among) {
        auto it = std::min_element(among.begin(), among.end(), [](const auto& a, const auto& b) {
          return a.second.since < b.second.since;
        });
        std::shared_ptr<Waiting> connection = it->second.connection.lock();
        waiting.erase(it->first);
        shaking.erase(it->first);
        return connection;
      };
      std::shared_ptr<Waiting> room;
      while (counters.open >= options.max_connections && !room && !waiting.empty()) {
        room = oldest(waiting);
      }
      std::shared_ptr<Waiting> shaken;
      while (secure && handshakes >= options.max_handshakes && !shaken && !shaking.empty()) {
        shaken = oldest(shaking);
      }
      if ((counters.open >= options.max_connections && !room) ||
          (secure && handshakes >= options.max_handshakes && !shaken)) {
        if (mine == 0) {
          per_address.erase(address);
        }
        if (mine_shaking == 0) {
          shaking_per_address.erase(address);
        }
        ++counters.refused;
        return false;
      }
      for (auto& connection : {room, shaken}) {
        if (connection) {
          ++counters.made_room;
          closing.push_back(connection);
        }
      }
      ++mine;
      ++counters.open;
      if (secure) {
        ++mine_shaking;
        ++handshakes;
      } else if (mine_shaking == 0) {
        shaking_per_address.erase(address);
      }
    }
    for (auto& connection : closing) {
      connection->Close();
    }
    return true;
  }
  // A TLS connection's handshake starts (it may make room from then on) or
  // is over, done or failed.
  void Shaking(const void* key, std::weak_ptr<Waiting> connection) {
    std::lock_guard lock(mutex);
    shaking[key] = WaitingEntry{std::move(connection), std::chrono::steady_clock::now()};
  }
  void Shaken(const void* key, const std::string& address) {
    std::lock_guard lock(mutex);
    shaking.erase(key);
    --handshakes;
    auto it = shaking_per_address.find(address);
    if (it != shaking_per_address.end() && --it->second == 0) {
      shaking_per_address.erase(it);
    }
  }
  void Release(const void* connection, const std::string& address) {
    {
      std::lock_guard lock(mutex);
      waiting.erase(connection);
      open.erase(connection);
      auto it = per_address.find(address);
      if (it != per_address.end() && --it->second == 0) {
        per_address.erase(it);
      }
      --counters.open;
    }
    closed.notify_all();
  }
  // Every connection from its start, so that Stop can close it; false once
  // the server stops (the connection is not started).
  bool Track(const void* key, std::weak_ptr<Waiting> connection) {
    std::lock_guard lock(mutex);
    if (stopped) {
      return false;
    }
    open[key] = std::move(connection);
    return true;
  }
  // A connection starts or stops waiting for a request.
  void Wait(const void* key, std::weak_ptr<Waiting> connection) {
    std::lock_guard lock(mutex);
    waiting[key] = WaitingEntry{std::move(connection), std::chrono::steady_clock::now()};
  }
  void Busy(const void* key) {
    std::lock_guard lock(mutex);
    waiting.erase(key);
  }
  void Count(uint64_t HttpServerCounters::*counter) {
    std::lock_guard lock(mutex);
    ++(counters.*counter);
  }

  void Accept();
  // Closes the listener and every connection (each after the answer it is
  // writing), and waits up to kStopGrace for them to end.
  void CloseAll();

  HttpServerOptions options;
  HttpHandler handler;
  std::optional<net::ssl::context> tls;
  std::unique_ptr<net::io_context> context = std::make_unique<net::io_context>();
  std::optional<tcp::acceptor> acceptor;
  mutable std::mutex mutex;
  std::unordered_map<std::string, size_t> per_address;
  struct WaitingEntry {
    std::weak_ptr<Waiting> connection;
    std::chrono::steady_clock::time_point since;
  };
  std::unordered_map<const void*, WaitingEntry> waiting;
  std::unordered_map<const void*, std::weak_ptr<Waiting>> open;
  // The TLS connections whose handshake is not over, and how many there are
  // (in all and by address) with those admitted but not started yet.
  std::unordered_map<const void*, WaitingEntry> shaking;
  std::unordered_map<std::string, size_t> shaking_per_address;
  size_t handshakes = 0;
  std::condition_variable closed;
  HttpServerCounters counters;
  std::atomic<bool> stopped{false};
  std::atomic<int> running{0};  // threads in Run
};

namespace {

// One client connection: reads a request within the deadline, hands it to
// the handler, writes the answer whenever the handler sends it, and reads
// the next one. Everything runs on the connection's strand.
template <typename Stream>
class Connection final : public Waiting, public std::enable_shared_from_this<Connection<Stream>> {
 public:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  Connection(HttpServer::Impl& server, Stream stream, std::string address)
      : server_(server), stream_(std::move(stream)), address_(std::move(address)) {}
  ~Connection() override {
    HandshakeOver();
    server_.Release(this, address_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Start() {
    if (!server_.Track(this, this->weak_from_this())) {
      return;
    }
    server_.Wait(this, this->weak_from_this());
    if constexpr (kTls) {
      server_.Shaking(this, this->weak_from_this());
    }
    net::dispatch(stream_.get_executor(), [self = this->shared_from_this()] {
      beast::get_lowest_layer(self->stream_).expires_after(self->server_.options.request_deadline);
      if constexpr (kTls) {
        self->stream_.async_handshake(net::ssl::stream_base::server, [self](error_code ec) {
          self->HandshakeOver();
          if (ec) {
            self->Failed(ec);
            return;
          }
          self->Read();
        });
      } else {
        self->Read();
      }
    });
  }

  void Close() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      self->closing_ = true;
      if (!self->writing_) {
        beast::get_lowest_layer(self->stream_).close();
      }
    });
  }

  // Called once per request, from any thread.
  void Post(HttpResponse response) {
    net::post(stream_.get_executor(),
              [self = this->shared_from_this(), response = std::move(response)]() mutable {
                self->Write(std::move(response));
              });
  }

 private:
  class Reply final : public HttpReply {
   public:
    explicit Reply(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
    void Send(HttpResponse response) override {
      if (sent_.exchange(true)) {
        return;
      }
      std::shared_ptr<Connection> connection = std::move(connection_);
      connection->Post(std::move(response));
    }

   private:
    std::atomic<bool> sent_{false};
    std::shared_ptr<Connection> connection_;
  };

  // The handshake's place is given back, once.
  void HandshakeOver() {
    if (shaking_) {
      shaking_ = false;
      server_.Shaken(this, address_);
    }
  }

  // Reads the next request; the deadline runs from the handshake, the
  // connection's start or the last answer.
  void Read() {
    parser_.emplace();
    parser_->body_limit(server_.options.max_body);
    parser_->header_limit(kMaxHeaderBytes);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, size_t) { self->OnRead(ec); });
  }

  void OnRead(error_code ec) {
    if (ec == http::error::body_limit) {
      server_.Count(&HttpServerCounters::bad_requests);
      keep_alive_ = false;
      Write(ErrorResponse(413, "the request body is too large"));
      return;
    }
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message) {
      server_.Count(&HttpServerCounters::bad_requests);
      keep_alive_ = false;
      Write(ErrorResponse(400, "bad request"));
      return;
    }
    if (ec) {
      Failed(ec);
      return;
    }
    server_.Busy(this);
    auto& message = parser_->get();
    HttpRequest request;
    request.method = std::string(message.method_string());
    std::string target(message.target());
    size_t question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? "" : target.substr(question + 1);
    for (const auto& field : message) {
      request.headers.emplace_back(Lower(std::string(field.name_string())),
                                   std::string(field.value()));
    }
    request.body = std::move(message.body());
    request.remote_address = address_;
    request.tls = kTls;
    keep_alive_ = message.keep_alive();
    version_ = message.version();
    // The handler may take its time (a long poll): the connection then
    // waits without a deadline, and the answer's write has its own.
    beast::get_lowest_layer(stream_).expires_never();
    auto reply = std::make_shared<Reply>(this->shared_from_this());
    try {
      server_.handler(std::move(request), reply);
    } catch (const std::exception& e) {
      reply->Send(ErrorResponse(500, "internal error"));
    }
  }

  void Write(HttpResponse answer) {
    if (closing_) {
      return;
    }
    writing_ = true;
    response_ = {};
    response_.version(version_);
    response_.result(static_cast<unsigned>(answer.status));
    for (auto& [name, value] : answer.headers) {
      response_.insert(name, value);
    }
    response_.body() = std::move(answer.body);
    if (kTls && server_.options.hsts) {
      response_.set(http::field::strict_transport_security, "max-age=31536000");
    }
    if (server_.stopped) {
      keep_alive_ = false;
    }
    response_.keep_alive(keep_alive_);
    response_.prepare_payload();
    beast::get_lowest_layer(stream_).expires_after(server_.options.write_deadline);
    http::async_write(stream_, response_, [self = this->shared_from_this()](error_code ec, size_t) {
      self->writing_ = false;
      if (ec) {
        self->Failed(ec);
      } else if (self->closing_) {
        error_code ignored;
        beast::get_lowest_layer(self->stream_)
            .socket()
            .shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(self->stream_).close();
      } else if (!self->keep_alive_) {
        self->Linger();
      } else {
        beast::get_lowest_layer(self->stream_)
            .expires_after(self->server_.options.request_deadline);
        self->server_.Wait(self.get(), self);
        self->Read();
      }
    });
  }

  void Failed(error_code ec) {
    if (ec == beast::error::timeout) {
      server_.Count(&HttpServerCounters::too_slow);
    }
    // The stream closes with the connection's last reference.
  }

  // Closes the sending side and reads what the client still sends for a
  // moment, so that its unread bytes don't reset the connection before it
  // has read the answer.
  void Linger() {
    server_.Wait(this, this->weak_from_this());
    auto& socket = beast::get_lowest_layer(stream_);
    error_code ignored;
    socket.socket().shutdown(tcp::socket::shutdown_send, ignored);
    socket.expires_after(kLinger);
    Drain();
  }
  void Drain() {
    beast::get_lowest_layer(stream_).async_read_some(
        net::buffer(drain_), [self = this->shared_from_this()](error_code ec, size_t) {
          if (!ec) {
            self->Drain();
          }
        });
  }

  HttpServer::Impl& server_;
  Stream stream_;
  std::string address_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool writing_ = false;  // an answer is being written
  bool closing_ = false;  // closed by the server: no further request
  bool shaking_ = kTls;   // holds one of the handshakes' places

  char drain_[512] = {};
};

}  // namespace

void HttpServer::Impl::CloseAll() {
  std::vector<std::shared_ptr<Waiting>> connections;
  {
    std::lock_guard lock(mutex);
    for (auto& [key, connection] : open) {
      if (auto alive = connection.lock()) {
        connections.push_back(std::move(alive));
      }
    }
  }
  net::post(*context, [this] {
    if (acceptor) {
      error_code ignored;
      acceptor->close(ignored);
    }
  });
  for (auto& connection : connections) {
    connection->Close();
  }
  connections.clear();
  // A connection whose answer is still to come (a long poll not answered,
  // an action still running) is dropped with the context.
  std::unique_lock lock(mutex);
  closed.wait_for(lock, kStopGrace, [this] { return counters.open == 0; });
}

void HttpServer::Impl::Accept() {
  acceptor->async_accept(net::make_strand(*context), [this](error_code ec, tcp::socket socket) {
    if (stopped || !acceptor->is_open()) {
      return;
    }
    if (ec) {
      // Out of descriptors, most likely: try again in a moment rather than
      // spin.
      auto timer = std::make_shared<net::steady_timer>(*context, kAcceptRetry);
      timer->async_wait([this, timer](error_code) { Accept(); });
      return;
    }
    error_code address_error;
    auto endpoint = socket.remote_endpoint(address_error);
    if (!address_error) {
      auto address = endpoint.address();
      if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
      }
      std::string text = address.to_string();
      if (Admit(text, tls.has_value())) {
        if (tls) {
          std::make_shared<Connection<TlsStream>>(*this, TlsStream(std::move(socket), *tls), text)
              ->Start();
        } else {
          std::make_shared<Connection<PlainStream>>(*this, PlainStream(std::move(socket)), text)
              ->Start();
        }
      }
    }
    Accept();
  });
}

HttpServer::HttpServer(HttpServerOptions options, HttpHandler handler)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(handler))) {
  const auto& o = impl_->options;
  if (o.tls_certificate_file.empty() != o.tls_key_file.empty()) {
    throw std::runtime_error("TLS needs both a certificate and its key");
  }
  if (o.tls_certificate_file.empty()) {
    return;
  }
  impl_->options.max_connections = std::min(o.max_connections, o.max_tls_connections);
  impl_->tls.emplace(net::ssl::context::tls_server);
  auto& tls = *impl_->tls;
  tls.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                  net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                  net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
  SSL_CTX* native = tls.native_handle();
  // TLS 1.2 with forward secrecy and AEAD only (no CBC, whose padding has
  // broken more than once), and TLS 1.3, whose suites are all AEAD.
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(native,
                              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                              "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1) {
    throw std::runtime_error("OpenSSL has none of the TLS 1.2 suites the console uses");
  }
  SSL_CTX_set_options(native, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
  // A connection's buffers go back while it waits, so that idle and
  // half-made connections cost little; and no session is kept for a
  // resumption (a handshake on the LAN is cheap, a cache of sessions is
  // memory any client can fill).
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(native, 0);
  error_code ec;
  tls.use_certificate_chain_file(o.tls_certificate_file, ec);
  if (ec) {
    throw std::runtime_error("cannot use the certificate " + o.tls_certificate_file + ": " +
                             ec.message());
  }
  tls.use_private_key_file(o.tls_key_file, net::ssl::context::pem, ec);
  if (ec) {
    throw std::runtime_error("cannot use the key " + o.tls_key_file + ": " + ec.message());
  }
  if (SSL_CTX_check_private_key(tls.native_handle()) != 1) {
    throw std::runtime_error("the key " + o.tls_key_file + " is not the key of the certificate " +
                             o.tls_certificate_file);
  }
}

HttpServer::~HttpServer() {
  // No thread serves any more (Run has returned): what is left closes with
  // the context.
  impl_->stopped = true;
  impl_->context->stop();
}

int HttpServer::Bind(const std::string& address, int port) {
  error_code ec;
  auto ip = net::ip::make_address(address, ec);
  if (ec) {
    throw std::runtime_error("'" + address + "' is not an address");
  }
  tcp::endpoint endpoint(ip, static_cast<uint16_t>(port));
  auto& acceptor = impl_->acceptor.emplace(*impl_->context);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) {
    acceptor.set_option(net::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor.bind(endpoint, ec);
  }
  if (!ec) {
    acceptor.listen(net::socket_base::max_listen_connections, ec);
  }
  if (ec) {
    impl_->acceptor.reset();
    std::string message = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                          ec.message() + " (in use, or not an address of this machine)";
    if (ec == net::error::address_in_use) {
      throw platform::PlatformError(message, platform::ErrorKind::kInUse);
    }
    throw std::runtime_error(message);
  }
  return acceptor.local_endpoint().port();
}

void HttpServer::Run() {
  if (impl_->stopped || !impl_->acceptor) {
    return;
  }
  impl_->Accept();
  std::vector<std::thread> others;
  ++impl_->running;
  for (int i = 1; i < impl_->options.threads; ++i) {
    others.emplace_back([this] { impl_->context->run(); });
  }
  impl_->context->run();
  for (auto& thread : others) {
    thread.join();
  }
  --impl_->running;
}

void HttpServer::Stop() {
  bool first = false;
  {
    std::lock_guard lock(impl_->mutex);
    first = !impl_->stopped.exchange(true);
  }
  // The closes run on the serving threads; without them (never run, or
  // already stopped) the context's end closes everything.
  if (first && impl_->running > 0) {
    impl_->CloseAll();
  }
  impl_->context->stop();
}

void HttpServer::After(std::chrono::milliseconds delay, std::function<void()> function) {
  if (impl_->stopped) {
    return;
  }
  auto timer = std::make_shared<net::steady_timer>(*impl_->context, delay);
  timer->async_wait([timer, function = std::move(function)](error_code ec) {
    if (!ec) {
      function();
    }
  });
}

HttpServerCounters HttpServer::Counters() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->counters;
}

}  // namespace zalvo::console
