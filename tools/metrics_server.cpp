#include "tools/metrics_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace corvane {
namespace {

constexpr const char* kOpenMetricsType =
    "application/openmetrics-text; version=1.0.0; charset=utf-8";
// How long an answered client may keep sending before its connection is closed.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr const char* kPrometheusType = "text/plain; version=0.0.4; charset=utf-8";
// A token file is a line, not a document.
constexpr size_t kMaxTokenBytes = 4096;
// How long the server stops accepting when it has no descriptor or
// connection left and no waiting client to close for one.
constexpr std::chrono::milliseconds kAcceptPause{100};

using SteadyClock = std::chrono::steady_clock;

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

// Whether `given` is `expected`, in a time that depends only on the length
// of `expected`: a client learns nothing of the token from the time the
// answer takes.
bool EqualsInConstantTime(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i) {
    const unsigned char other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(other ^ static_cast<unsigned char>(expected[i]));
  }
  return difference == 0;
}

}  // namespace

Status ReadMetricsToken(const std::string& path, std::string& token) {
  token.clear();
  const std::string name = "the metrics token file " + path;
  // Checked on the descriptor that is read, so that the file cannot be
  // swapped between the check and the read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return Status::SystemFailure("can't open " + name, errno);
  struct stat info {};
  std::string problem;
  if (::fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    problem = "it is not a regular file";
  } else if (info.st_uid != ::geteuid()) {
    problem = "it belongs to user id " + std::to_string(info.st_uid) +
              ", not to you; make a token file of your own";
  } else if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    problem = std::string("other users may read or change it (mode ") + mode +
              "); run: chmod 600 " + path;
  } else if (info.st_size > static_cast<off_t>(kMaxTokenBytes)) {
    problem = "it is larger than a token (" + std::to_string(kMaxTokenBytes) + " bytes at most)";
  }
  std::string content;
  while (problem.empty()) {
    char buffer[1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = std::strerror(errno);
    if (got <= 0) break;
    content.append(buffer, static_cast<size_t>(got));
    if (content.size() > kMaxTokenBytes) problem = "it is larger than a token";
  }
  ::close(fd);
  if (!problem.empty()) return Status::Failed("can't use " + name + ": " + problem);
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t begin = 0;
  size_t end = content.size();
  while (begin < end && space(content[begin])) ++begin;
  while (end > begin && space(content[end - 1])) --end;
  if (begin == end) return Status::Failed("can't use " + name + ": it is empty");
  for (size_t i = begin; i < end; ++i) {
    if (content[i] < '!' || content[i] > '~') {
      return Status::Failed("can't use " + name +
                            ": a bearer token is one word of visible ASCII characters");
    }
  }
  token = content.substr(begin, end - begin);
  return Status::Ok();
}

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

Status MetricsServer::Start(const MetricsEndpoint& endpoint) {
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
  auto fail = [&](const std::string& what, int code) {
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    return Status::Failed("can't serve metrics on " + where + ": " + what, code);
  };
  listenFd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return fail(std::strerror(errno), errno);
  const int on = 1;
  // A restart binds again while the last run's connections wait out TIME_WAIT.
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (storage.ss_family == AF_INET6) {
    ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
    const int code = errno;
    return fail(code == EADDRINUSE ? "the port is in use" : std::strerror(code), code);
  }
  if (::listen(listenFd_, SOMAXCONN) != 0) return fail(std::strerror(errno), errno);
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) return fail(std::strerror(errno), errno);
  try {
    thread_ = std::thread([this] { Serve(); });
  } catch (const std::system_error& e) {
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
    stopPipe_[0] = stopPipe_[1] = -1;
    return fail(e.what(), e.code().value());
  }
  return Status::Ok();
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

struct MetricsServer::Connection {
  enum class Phase { kReading, kSending, kLingering };
  int fd = -1;
  Phase phase = Phase::kReading;
  SteadyClock::time_point deadline;
  SteadyClock::time_point accepted;
  std::string request;
  std::string response;
  size_t sent = 0;
};

void MetricsServer::Serve() {
  std::vector<Connection> connections;
  std::vector<pollfd> fds;
  SteadyClock::time_point acceptPausedUntil{};
  // The client that has waited longest for its request to end makes room
  // for a new one. False when every connection is already being answered.
  auto closeLongestWaiting = [&connections] {
    auto oldest = connections.end();
    for (auto it = connections.begin(); it != connections.end(); ++it) {
      if (it->phase == Connection::Phase::kReading &&
          (oldest == connections.end() || it->accepted < oldest->accepted)) {
        oldest = it;
      }
    }
    if (oldest == connections.end()) return false;
    ::close(oldest->fd);
    connections.erase(oldest);
    return true;
  };

  for (;;) {
    const auto now = SteadyClock::now();
    const bool accepting = now >= acceptPausedUntil;
    fds.clear();
    fds.push_back({stopPipe_[0], POLLIN, 0});
    fds.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    SteadyClock::time_point wake = accepting ? SteadyClock::time_point::max() : acceptPausedUntil;
    for (const Connection& connection : connections) {
      const short events = connection.phase == Connection::Phase::kSending ? POLLOUT : POLLIN;
      fds.push_back({connection.fd, events, 0});
      wake = std::min(wake, connection.deadline);
    }
    int timeout = -1;
    if (wake != SteadyClock::time_point::max()) {
      timeout = static_cast<int>(
          std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wake - now).count()));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) break;

    // Serve the connections first: erasing while accepting would shift them
    // away from their pollfd.
    for (size_t i = connections.size(); i-- > 0;) {
      Connection& connection = connections[i];
      if (fds[i + 2].revents != 0) {
        if (connection.phase == Connection::Phase::kReading) {
          Receive(connection);
        } else {
          Send(connection);
        }
      }
      if (connection.fd >= 0 && SteadyClock::now() >= connection.deadline) {
        if (connection.phase == Connection::Phase::kReading) {
          Reply(connection, ErrorResponse(408, "Request Timeout"));
        } else {
          ::close(connection.fd);
          connection.fd = -1;
        }
      }
      if (connection.fd < 0) connections.erase(connections.begin() + static_cast<ptrdiff_t>(i));
    }

    if (fds[1].revents == 0) continue;
    for (;;) {
      if (connections.size() >= kMaxConnections && !closeLongestWaiting()) {
        // Every one is being answered, each within its deadline.
        acceptPausedUntil = SteadyClock::now() + kAcceptPause;
        break;
      }
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          if (closeLongestWaiting()) continue;
          acceptPausedUntil = SteadyClock::now() + kAcceptPause;
        }
        break;  // EAGAIN: nobody else waits to be accepted
      }
      Connection connection;
      connection.fd = fd;
      connection.accepted = SteadyClock::now();
      connection.deadline = connection.accepted + requestTimeout_;
      connections.push_back(std::move(connection));
      // Most clients sent their request with the connection.
      Receive(connections.back());
      if (connections.back().fd < 0) connections.pop_back();
    }
  }
  for (const Connection& connection : connections) ::close(connection.fd);
}

void MetricsServer::Receive(Connection& connection) {
  for (;;) {
    char buffer[2048];
    const size_t room = std::min(sizeof buffer, kMaxRequestBytes - connection.request.size());
    const ssize_t got = ::recv(connection.fd, buffer, room, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (got <= 0) {
      // The client closed or failed before its request ended.
      ::close(connection.fd);
      connection.fd = -1;
      return;
    }
    std::string& request = connection.request;
    request.append(buffer, static_cast<size_t>(got));
    size_t headEnd = request.find("\r\n\r\n");
    if (headEnd == std::string::npos) headEnd = request.find("\n\n");
    if (headEnd != std::string::npos) {
      return Reply(connection, Answer(std::string_view(request).substr(0, headEnd)));
    }
    if (request.size() >= kMaxRequestBytes) {
      return Reply(connection, ErrorResponse(431, "Request Header Fields Too Large"));
    }
  }
}

void MetricsServer::Reply(Connection& connection, std::string response) {
  connection.request.clear();
  connection.response = std::move(response);
  connection.sent = 0;
  connection.phase = Connection::Phase::kSending;
  // The answer has its own time: a client that used all of its time to
  // send still hears why it is closed.
  connection.deadline = SteadyClock::now() + requestTimeout_;
  Send(connection);
}

void MetricsServer::Send(Connection& connection) {
  if (connection.phase == Connection::Phase::kSending) {
    while (connection.sent < connection.response.size()) {
      const ssize_t sent = ::send(connection.fd, connection.response.data() + connection.sent,
                                  connection.response.size() - connection.sent, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && errno == EAGAIN) return;
      if (sent < 0) {
        ::close(connection.fd);
        connection.fd = -1;
        return;
      }
      connection.sent += static_cast<size_t>(sent);
    }
    // Closing with unread input resets the connection, and the client may
    // lose the answer (an oversized request): read what else it sends until
    // it closes, for a bounded time.
    ::shutdown(connection.fd, SHUT_WR);
    connection.response = std::string();
    connection.phase = Connection::Phase::kLingering;
    connection.deadline = SteadyClock::now() + std::min<std::chrono::milliseconds>(kLinger,
                                                                              requestTimeout_);
  }
  char discard[4096];
  for (;;) {
    const ssize_t got = ::recv(connection.fd, discard, sizeof discard, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (got <= 0) break;
  }
  ::close(connection.fd);
  connection.fd = -1;
}

std::string MetricsServer::Answer(std::string_view head) {
  const size_t lineEnd = std::min(head.find('\n'), head.size());
  const std::string_view line = Trim(head.substr(0, lineEnd));
  const size_t space1 = line.find(' ');
  const size_t space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
  if (space2 == std::string_view::npos || line.find(' ', space2 + 1) != std::string_view::npos ||
      line.substr(space2 + 1).substr(0, 7) != "HTTP/1.") {
    return ErrorResponse(400, "Bad Request");
  }

  bool openMetrics = false;
  int authorizations = 0;
  bool authorized = false;
  for (size_t start = lineEnd + 1; start < head.size();) {
    const size_t end = std::min(head.find('\n', start), head.size());
    const std::string_view header = head.substr(start, end - start);
    start = end + 1;
    const size_t colon = header.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(header.substr(0, colon));
    const std::string_view value = Trim(header.substr(colon + 1));
    if (EqualsIgnoringCase(name, "accept") &&
        ContainsIgnoringCase(value, "application/openmetrics-text")) {
      openMetrics = true;
    } else if (EqualsIgnoringCase(name, "authorization")) {
      // Several credentials are none: which one would count is not clear.
      ++authorizations;
      const size_t gap = value.find(' ');
      authorized = gap != std::string_view::npos &&
                   EqualsIgnoringCase(value.substr(0, gap), "bearer") &&
                   EqualsInConstantTime(Trim(value.substr(gap + 1)), token_);
    }
  }
  if (!token_.empty() && (authorizations != 1 || !authorized)) {
    return ErrorResponse(401, "Unauthorized", "WWW-Authenticate: Bearer realm=\"corvane\"\r\n");
  }

  const std::string_view method = line.substr(0, space1);
  std::string_view target = line.substr(space1 + 1, space2 - space1 - 1);
  const bool headOnly = method == "HEAD";
  if (method != "GET" && !headOnly) {
    return ErrorResponse(405, "Method Not Allowed", "Allow: GET, HEAD\r\n");
  }
  target = target.substr(0, target.find('?'));
  if (target != "/metrics") return ErrorResponse(404, "Not Found");

  std::string body;
  {
    MutexLock lock(textMutex_);
    body = openMetrics ? openMetricsText_ : prometheusText_;
  }
  if (body.empty()) return ErrorResponse(503, "Service Unavailable");
  return Response(200, "OK", openMetrics ? kOpenMetricsType : kPrometheusType, body, !headOnly);
}

}  // namespace corvane
