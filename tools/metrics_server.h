// The /metrics endpoint of corvane-cli watch: a small HTTP/1.1 server on its
// own thread that answers GET /metrics with the text last published.
//
// The watch loop owns the server: Start() binds and starts the thread,
// Publish() (any thread) hands over a new snapshot, Stop() (also the
// destructor) ends the thread through a pipe and joins it at once, even
// while clients are connected. One thread serves up to kMaxConnections
// clients at once from one poll() loop, each closed after its answer, so a
// client that connects and says nothing delays nobody: it is closed when
// its request timeout (2 s) ends, or earlier when the connections are all
// taken and a new client comes (the one that has waited longest goes). A
// request is read up to kMaxRequestBytes; anything that is not a
// well-formed GET or HEAD gets an error status (400, 404, 405, 408, 431),
// one without the bearer token that RequireBearerToken() set gets 401. A
// bind that fails (port in use, address not here) is returned by Start().
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "platform/status.h"
#include "tools/metrics.h"

namespace corvane {

struct MetricsEndpoint {
  IpAddress address;
  uint16_t port = 0;  // 0: any free port (MetricsServer::port() tells which)
};

// "PORT" (on 127.0.0.1), "A.B.C.D:PORT" or "[IPV6]:PORT". nullopt when the
// text is none of these.
std::optional<MetricsEndpoint> ParseMetricsEndpoint(std::string_view text);
// "127.0.0.1:9464", "[::1]:9464".
std::string FormatMetricsEndpoint(const MetricsEndpoint& endpoint);

// The bearer token in `path` (Prometheus' `credentials_file`: the token,
// white space around it ignored). Fails, naming the file and the fix, when
// it cannot be read, is not a regular file, belongs to another user, may be
// read or written by group or others, is empty or holds anything but
// visible ASCII.
Status ReadMetricsToken(const std::string& path, std::string& token);

class MetricsServer {
 public:
  static constexpr size_t kMaxRequestBytes = 8 * 1024;
  static constexpr size_t kMaxConnections = 128;
  static constexpr std::chrono::milliseconds kDefaultRequestTimeout{2000};

  explicit MetricsServer(std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout)
      : requestTimeout_(requestTimeout) {}
  ~MetricsServer() { Stop(); }
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Before Start(): every request must carry "Authorization: Bearer TOKEN".
  void RequireBearerToken(std::string token) { token_ = std::move(token); }
  // Listens on `endpoint` and starts answering. Fails when the socket cannot
  // be bound or the thread not started.
  Status Start(const MetricsEndpoint& endpoint);
  // Ends the thread and closes the socket; idempotent.
  void Stop();
  // The port listened on (the one picked for port 0).
  uint16_t port() const { return port_; }

  void Publish(const MetricsSnapshot& snapshot);

 private:
  struct Connection;
  void Serve();
  // Reads what the client sent; answers once its request head is whole.
  void Receive(Connection& connection);
  // Sends what is left of the answer; then waits for the client to close.
  void Send(Connection& connection);
  // Starts sending `response` on `connection`.
  void Reply(Connection& connection, std::string response);
  // The answer to a whole request head.
  std::string Answer(std::string_view head);

  const std::chrono::milliseconds requestTimeout_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::string token_;  // empty: no token asked for
  std::thread thread_;

  Mutex textMutex_;
  std::string prometheusText_ GUARDED_BY(textMutex_);
  std::string openMetricsText_ GUARDED_BY(textMutex_);
};

}  // namespace corvane
