// The /metrics endpoint of corvane-cli watch: a small HTTP/1.1 server on its
// own thread that answers GET /metrics with the text last published.
//
// The watch loop owns the server: Start() binds and starts the thread,
// Publish() (any thread) hands over a new snapshot, Stop() (also the
// destructor) ends the thread through a pipe and joins it at once, even
// while a client is connected. One connection at a time, closed after each
// answer. A request is read up to kMaxRequestBytes and for at most the
// request timeout; anything that is not a well-formed GET or HEAD gets an
// error status (400, 404, 405, 408, 431) and the connection is closed. A
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

class MetricsServer {
 public:
  static constexpr size_t kMaxRequestBytes = 8 * 1024;
  static constexpr std::chrono::milliseconds kDefaultRequestTimeout{5000};

  explicit MetricsServer(std::chrono::milliseconds requestTimeout = kDefaultRequestTimeout)
      : requestTimeout_(requestTimeout) {}
  ~MetricsServer() { Stop(); }
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on `endpoint` and starts answering. False, with the reason in
  // `error`, when the socket cannot be bound or the thread not started.
  bool Start(const MetricsEndpoint& endpoint, std::string& error);
  // Ends the thread and closes the socket; idempotent.
  void Stop();
  // The port listened on (the one picked for port 0).
  uint16_t port() const { return port_; }

  void Publish(const MetricsSnapshot& snapshot);

 private:
  void Serve();
  // Reads one request from `fd` and answers it.
  void Answer(int fd);
  // Waits until `fd` is ready for `events` or the deadline; false on a
  // timeout or Stop().
  bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);

  const std::chrono::milliseconds requestTimeout_;
  int listenFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;

  Mutex textMutex_;
  std::string prometheusText_ GUARDED_BY(textMutex_);
  std::string openMetricsText_ GUARDED_BY(textMutex_);
};

}  // namespace corvane
