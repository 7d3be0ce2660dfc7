#include "tools/metrics_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane {
namespace {

constexpr const char* kOpenMetricsType =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";
// How long an answered client may keep sending before its connection is closed.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr const char* kPrometheusType = "text/plain; version=0.0.4; charset=utf-8";

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoringCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
           return Lower(a) == Lower(b);
         }) != text.end();
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ContainsIgnoringCase(a, b);
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Response(int status, const char* reason, const char* contentType,
                     std::string_view body, bool withBody, const char* extraHeader = "") {
  std::string out = "HTTP/1.1 " + std::to_string(status) + ' ' + reason + "\r\n";
  out += std::string("Content-Type: ") + contentType + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += extraHeader;
  out += "Connection: close\r\n\r\n";
  if (withBody) out.append(body);
  return out;
}

std::string ErrorResponse(int status, const char* reason, const char* extraHeader = "") {
  return Response(status, reason, "text/plain; charset=utf-8", std::string(reason) + '\n', true,
                  extraHeader);
}

}  // namespace

std::optional<MetricsEndpoint> ParseMetricsEndpoint(std::string_view text) {
  MetricsEndpoint endpoint;
  if (auto port = ParsePort(text)) {
    endpoint.address = IpAddress::V4(htonl(INADDR_LOOPBACK));
    endpoint.port = *port;
    return endpoint;
  }
  std::string_view host;
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find("]:");
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    // An IPv6 address without brackets cannot be told from its port.
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
      return std::nullopt;
    }
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  auto address = ParseIp(host);
  auto port = ParsePort(portText);
  if (!address || !port || (text.front() == '[') != address->IsV6()) return std::nullopt;
  endpoint.address = *address;
  endpoint.port = *port;
  return endpoint;
}

std::string FormatMetricsEndpoint(const MetricsEndpoint& endpoint) {
  const std::string host = FormatIp(endpoint.address);
  return (endpoint.address.IsV6() ? "[" + host + "]" : host) + ':' + std::to_string(endpoint.port);
}

bool MetricsServer::Start(const MetricsEndpoint& endpoint, std::string& error) {
  Stop();
  const std::string where = FormatMetricsEndpoint(endpoint);
  sockaddr_storage storage{};
  socklen_t length;
  if (endpoint.address.IsV6()) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(endpoint.port);
    std::memcpy(&in6->sin6_addr, endpoint.address.bytes.data(), 16);
    length = sizeof *in6;
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(endpoint.port);
    in4->sin_addr.s_addr = endpoint.address.V4Value();
    length = sizeof *in4;
  }
  auto fail = [&](const std::string& what) {
    error = "can't serve metrics on " + where + ": " + what;
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    return false;
  };
  listenFd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return fail(std::strerror(errno));
  const int on = 1;
  // A restart binds again while the last run's connections wait out TIME_WAIT.
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (storage.ss_family == AF_INET6) {
    ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    return fail(errno == EADDRINUSE ? "the port is in use" : std::strerror(errno));
  }
  if (::listen(listenFd_, 8) != 0) return fail(std::strerror(errno));
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return fail(std::strerror(errno));
  try {
    thread_ = std::thread([this] { Serve(); });
  } catch (const std::system_error& e) {
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    stopPipe_[0] = stopPipe_[1] = -1;
    return fail(e.what());
  }
  return true;
}

void MetricsServer::Stop() {
  if (thread_.joinable()) {
    const char byte = 0;
    // The pipe stays readable from now on: every wait of the thread ends.
    [[maybe_unused]] ssize_t written = ::write(stopPipe_[1], &byte, 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void MetricsServer::Publish(const MetricsSnapshot& snapshot) {
  std::string prometheus = RenderPrometheusText(snapshot);
  std::string openMetrics = RenderOpenMetrics(snapshot);
  MutexLock lock(textMutex_);
  prometheusText_ = std::move(prometheus);
  openMetricsText_ = std::move(openMetrics);
}

bool MetricsServer::WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[2] = {{fd, events, 0}, {stopPipe_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (ready < 0 || fds[1].revents != 0) return false;
    return true;  // also on an error or hang-up: the read or write says which
  }
}

void MetricsServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;  // the client gave up, or descriptors ran out for now
    Answer(fd);
    ::close(fd);
  }
}

void MetricsServer::Answer(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + requestTimeout_;
  auto send = [&](const std::string& response) {
    // The answer has its own time: a client that used all of its time to
    // send still hears why it is closed.
    const auto sendEnd = std::chrono::steady_clock::now() + requestTimeout_;
    std::string_view rest = response;
    while (!rest.empty() && WaitFor(fd, POLLOUT, sendEnd)) {
      const ssize_t sent = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN && errno != EINTR) return;
      if (sent > 0) rest.remove_prefix(static_cast<size_t>(sent));
    }
    // Closing with unread input resets the connection, and the client may
    // lose the answer (an oversized request): read what else it sends until
    // it closes, for a bounded time.
    ::shutdown(fd, SHUT_WR);
    const auto lingerEnd = std::chrono::steady_clock::now() +
                           std::min<std::chrono::milliseconds>(kLinger, requestTimeout_);
    char discard[4096];
    while (WaitFor(fd, POLLIN, lingerEnd) && ::recv(fd, discard, sizeof discard, 0) > 0) {
    }
  };

  std::string request;
  size_t headerEnd;
  while ((headerEnd = request.find("\r\n\r\n")) == std::string::npos &&
         (headerEnd = request.find("\n\n")) == std::string::npos) {
    if (request.size() >= kMaxRequestBytes) {
      return send(ErrorResponse(431, "Request Header Fields Too Large"));
    }
    if (!WaitFor(fd, POLLIN, deadline)) {
      if (std::chrono::steady_clock::now() >= deadline) send(ErrorResponse(408, "Request Timeout"));
      return;
    }
    char buffer[2048];
    const size_t room = std::min(sizeof buffer, kMaxRequestBytes - request.size());
    const ssize_t got = ::recv(fd, buffer, room, 0);
    if (got == 0) return;  // the client closed before its request ended
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return;
    }
    request.append(buffer, static_cast<size_t>(got));
  }

  const std::string_view head = std::string_view(request).substr(0, headerEnd);
  const size_t lineEnd = std::min(head.find('\n'), head.size());
  const std::string_view line = Trim(head.substr(0, lineEnd));
  const size_t space1 = line.find(' ');
  const size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || line.find(' ', space2 + 1) != std::string_view::npos ||
      line.substr(space2 + 1).substr(0, 7) != "HTTP/1.") {
    return send(ErrorResponse(400, "Bad Request"));
  }
  const std::string_view method = line.substr(0, space1);
  std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const bool headOnly = method == "HEAD";
  if (method != "GET" && !headOnly) {
    return send(ErrorResponse(405, "Method Not Allowed", "Allow: GET, HEAD\r\n"));
  }
  target = target.substr(0, target.find('?'));
  if (target != "/metrics") return send(ErrorResponse(404, "Not Found"));

  bool openMetrics = false;
  for (size_t start = lineEnd + 1; start < head.size();) {
    const size_t end = std::min(head.find('\n', start), head.size());
    const std::string_view header = head.substr(start, end - start);
    const size_t colon = header.find(':');
    if (colon != std::string_view::npos &&
        EqualsIgnoringCase(Trim(header.substr(0, colon)), "accept") &&
        ContainsIgnoringCase(header.substr(colon + 1), "application/openmetrics-text")) {
      openMetrics = true;
    }
    start = end + 1;
  }
  std::string body;
  {
    MutexLock lock(textMutex_);
    body = openMetrics ? openMetricsText_ : prometheusText_;
  }
  if (body.empty()) return send(ErrorResponse(503, "Service Unavailable"));
  send(Response(200, "OK", openMetrics ? kOpenMetricsType : kPrometheusType, body, !headOnly));
}

}  // namespace corvane
