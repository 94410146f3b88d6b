#include "kit/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <set>
#include <thread>
#include <stdexcept>

namespace qm::kit {
namespace detail {

// A listening socket on 127.0.0.1 whose connections each run `handle` on a thread of their own.
class Listener {
 public:
  using Handler = std::function<void(int fd, Listener& self)>;

  explicit Listener(Handler handle) : handle_(std::move(handle)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 64) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    accept_thread_ = std::thread([this] { accept_loop(); });
  }

  ~Listener() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    stop_cv_.notify_all();
    char byte = 0;
    [[maybe_unused]] auto n = ::write(wake_[1], &byte, 1);
    accept_thread_.join();
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    ::close(fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  std::uint16_t port() const { return port_; }

  // Waits `delay` or until the listener stops; false when stopping.
  bool wait(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    return !stop_cv_.wait_for(lock, delay, [this] { return stopping_; });
  }

  // Registers a socket so that stopping unblocks it; false when already stopping.
  bool track(int fd) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    open_.insert(fd);
    return true;
  }
  void close_tracked(int fd) {
    std::lock_guard lock(mutex_);
    open_.erase(fd);
    ::close(fd);
  }

 private:
  void accept_loop() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) continue;
      if (!track(conn)) {
        ::close(conn);
        return;
      }
      std::lock_guard lock(mutex_);
      threads_.emplace_back([this, conn] {
        // A peer that hangs up must not kill the test process with SIGPIPE.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        handle_(conn, *this);
        close_tracked(conn);
      });
    }
  }

  Handler handle_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::set<int> open_;
  std::vector<std::thread> threads_;
  std::thread accept_thread_;
};

}  // namespace detail

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// --- test certificates ---

struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
  void operator()(X509* x) const { X509_free(x); }
  void operator()(BIO* b) const { BIO_free(b); }
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  void operator()(SSL* s) const { SSL_free(s); }
};
template <class T>
using Owned = std::unique_ptr<T, PkeyDeleter>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what);
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

Owned<X509> make_cert(EVP_PKEY* key, const char* cn, long serial, X509* issuer, EVP_PKEY* issuer_key, bool ca) {
  Owned<X509> cert(X509_new());
  check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
  if (ca) {
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    add_extension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    add_extension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
  }
  check(X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) > 0, "sign");
  return cert;
}

std::string pem_of(const std::function<int(BIO*)>& write) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  check(bio && write(bio.get()) == 1, "PEM");
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(len));
}

TestCertificates generate() {
  Owned<EVP_PKEY> ca_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  Owned<EVP_PKEY> server_key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  check(ca_key && server_key, "key generation");
  auto ca = make_cert(ca_key.get(), "quillimare test CA", 1, nullptr, nullptr, true);
  auto server = make_cert(server_key.get(), "localhost", 2, ca.get(), ca_key.get(), false);
  TestCertificates out;
  out.ca_pem = pem_of([&](BIO* b) { return PEM_write_bio_X509(b, ca.get()); });
  out.server_cert_pem = pem_of([&](BIO* b) { return PEM_write_bio_X509(b, server.get()); });
  out.server_key_pem = pem_of(
      [&](BIO* b) { return PEM_write_bio_PrivateKey(b, server_key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return out;
}

Owned<SSL_CTX> server_context() {
  const auto& certs = test_certificates();
  Owned<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()));
  check(ctx != nullptr, "SSL_CTX_new");
  Owned<BIO> cert_bio(BIO_new_mem_buf(certs.server_cert_pem.data(), static_cast<int>(certs.server_cert_pem.size())));
  Owned<BIO> key_bio(BIO_new_mem_buf(certs.server_key_pem.data(), static_cast<int>(certs.server_key_pem.size())));
  Owned<X509> cert(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr));
  Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  check(cert && key, "reading the server certificate");
  check(SSL_CTX_use_certificate(ctx.get(), cert.get()) == 1 && SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1,
        "loading the server certificate");
  return ctx;
}

// --- connections ---

// A byte stream over a socket, through TLS when `ssl` is set.
struct Stream {
  int fd;
  SSL* ssl = nullptr;

  long read(char* buf, std::size_t n) {
    if (ssl) return SSL_read(ssl, buf, static_cast<int>(n));
    return ::recv(fd, buf, n, 0);
  }
  bool write_all(std::string_view data) {
    while (!data.empty()) {
      long n = ssl ? SSL_write(ssl, data.data(), static_cast<int>(data.size()))
                   : ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
};

// Reads one request: its head up to the blank line, then a Content-Length body.
std::optional<ReceivedRequest> read_request(Stream& s) {
  std::string data;
  std::size_t head_end = std::string::npos;
  char buf[16384];
  while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > (1 << 20)) return std::nullopt;
    long n = s.read(buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    data.append(buf, static_cast<std::size_t>(n));
  }
  ReceivedRequest req;
  std::string_view head(data.data(), head_end);
  auto line_end = head.find("\r\n");
  std::string_view line = head.substr(0, line_end);
  auto sp1 = line.find(' ');
  auto sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 <= sp1) return std::nullopt;
  req.method = line.substr(0, sp1);
  req.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view rest = line_end == std::string_view::npos ? std::string_view() : head.substr(line_end + 2);
  while (!rest.empty()) {
    auto end = rest.find("\r\n");
    std::string_view h = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    auto colon = h.find(':');
    if (colon == std::string_view::npos) continue;
    req.headers.emplace_back(std::string(trim(h.substr(0, colon))), std::string(trim(h.substr(colon + 1))));
  }
  std::size_t length = 0;
  if (auto cl = req.header("Content-Length")) length = std::stoul(*cl);
  req.body = data.substr(head_end + 4);
  while (req.body.size() < length) {
    long n = s.read(buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    req.body.append(buf, static_cast<std::size_t>(n));
  }
  req.body.resize(length);
  return req;
}

const char* reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    default: return "Status";
  }
}

std::string render(const ScriptedResponse& r) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
  bool has_length = false;
  for (const auto& [name, value] : r.headers) {
    // A chunked body is sent as the script wrote it.
    has_length = has_length || iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding");
    out += name + ": " + value + "\r\n";
  }
  if (!has_length) out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  out += "Connection: close\r\n\r\n";
  out += r.body;
  return out;
}

int connect_loopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Copies bytes both ways until either side closes.
void relay(int a, int b) {
  char buf[16384];
  for (;;) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    if (::poll(fds, 2, -1) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      long n = ::recv(fds[i].fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      if (!Stream{fds[1 - i].fd}.write_all(std::string_view(buf, static_cast<std::size_t>(n)))) return;
    }
  }
}

}  // namespace

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequals(n, name)) return v;
  return std::nullopt;
}

const TestCertificates& test_certificates() {
  static const TestCertificates certs = generate();
  return certs;
}

void unset_proxy_variables(EnvGuard& env) {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                           "no_proxy", "NO_PROXY"})
    env.unset(name);
}

// --- RefusingPort ---

RefusingPort::RefusingPort() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd_);
    throw std::runtime_error("cannot bind on loopback");
  }
  port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() { ::close(fd_); }

std::string RefusingPort::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

// --- HttpServer ---

HttpServer::HttpServer(Scheme scheme) : scheme_(scheme) {
  std::shared_ptr<SSL_CTX> ctx;
  if (scheme == Scheme::Https) ctx.reset(server_context().release(), SSL_CTX_free);
  listener_ = std::make_unique<detail::Listener>([this, ctx](int fd, detail::Listener& self) {
    Stream stream{fd};
    Owned<SSL> ssl;
    if (ctx) {
      ssl.reset(SSL_new(ctx.get()));
      SSL_set_fd(ssl.get(), fd);
      if (SSL_accept(ssl.get()) != 1) return;
      stream.ssl = ssl.get();
    }
    auto req = read_request(stream);
    if (!req) return;
    std::string path = req->path();
    {
      std::lock_guard lock(mutex_);
      received_.push_back(*req);
    }
    ScriptedResponse response = next_response(path);
    if (response.delay.count() > 0 && !self.wait(response.delay)) return;
    if (stream.write_all(render(response)) && ssl) SSL_shutdown(ssl.get());
  });
}

HttpServer::~HttpServer() = default;

void HttpServer::on(const std::string& path, std::vector<ScriptedResponse> responses) {
  std::lock_guard lock(mutex_);
  routes_[path] = std::move(responses);
  served_[path] = 0;
}

ScriptedResponse HttpServer::next_response(const std::string& path) {
  std::lock_guard lock(mutex_);
  auto it = routes_.find(path);
  if (it == routes_.end() || it->second.empty()) return ScriptedResponse{.status = 404};
  std::size_t& n = served_[path];
  const auto& r = it->second[std::min(n, it->second.size() - 1)];
  ++n;
  return r;
}

std::uint16_t HttpServer::port() const { return listener_->port(); }

std::string HttpServer::url(std::string_view path) const {
  return std::string(scheme_ == Scheme::Https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port()) +
         std::string(path);
}

std::vector<ReceivedRequest> HttpServer::requests() const {
  std::lock_guard lock(mutex_);
  return received_;
}

// --- ConnectProxy ---

ConnectProxy::ConnectProxy() {
  listener_ = std::make_unique<detail::Listener>([this](int fd, detail::Listener& self) {
    Stream stream{fd};
    auto req = read_request(stream);
    if (!req) return;
    {
      std::lock_guard lock(mutex_);
      received_.push_back(*req);
    }
    auto colon = req->target.rfind(':');
    std::string host = req->target.substr(0, colon);
    bool loopback = host == "127.0.0.1" || host == "localhost";
    if (req->method != "CONNECT" || colon == std::string::npos || !loopback) {
      stream.write_all("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    int upstream = connect_loopback(static_cast<std::uint16_t>(std::stoi(req->target.substr(colon + 1))));
    if (upstream < 0) {
      stream.write_all("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    if (!self.track(upstream)) {
      ::close(upstream);
      return;
    }
    if (stream.write_all("HTTP/1.1 200 Connection Established\r\n\r\n")) relay(fd, upstream);
    self.close_tracked(upstream);
  });
}

ConnectProxy::~ConnectProxy() = default;

std::string ConnectProxy::url() const { return "http://127.0.0.1:" + std::to_string(listener_->port()); }

std::vector<ReceivedRequest> ConnectProxy::requests() const {
  std::lock_guard lock(mutex_);
  return received_;
}

}  // namespace qm::kit
