#include "tools/metrics.h"

#include <map>
#include <tuple>

#include "platform/file_io.h"

namespace corvane {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

struct Family {
  const char* name;  // without the _total of a counter's samples
  const char* type;
  const char* help;
};

constexpr Family kBytes{"corvane_bytes", "counter",
                        "Bytes each application sent and received since the watch started."};
constexpr Family kDatagrams{"corvane_datagrams", "counter",
                            "Datagrams counted since the watch started."};
constexpr Family kKernelDrops{"corvane_kernel_drops", "counter",
                              "Datagrams the kernel dropped before capture could read them."};
constexpr Family kCapturing{"corvane_capturing", "gauge",
                            "1 while capture runs on the interface, else 0."};

enum class Format { kPrometheus, kOpenMetrics };

// OpenMetrics names the family of a counter without the samples' "_total";
// the Prometheus text format names it as its samples.
void AppendHeader(std::string& out, const Family& family, Format format) {
  std::string name = family.name;
  if (format == Format::kPrometheus && std::string_view(family.type) == "counter") name += "_total";
  if (format == Format::kOpenMetrics) {
    out += "# TYPE " + name + ' ' + family.type + '\n';
    out += "# HELP " + name + ' ' + family.help + '\n';
  } else {
    out += "# HELP " + name + ' ' + family.help + '\n';
    out += "# TYPE " + name + ' ' + family.type + '\n';
  }
}

std::string Render(const MetricsSnapshot& snapshot, Format format) {
  // Two applications whose names differ only in bytes that are not UTF-8
  // would be one series twice, which a scraper rejects whole: they are
  // summed. The map also gives the series a stable order.
  std::map<std::tuple<std::string, int>, std::pair<uint64_t, uint64_t>> bytes;
  for (const ApplicationBytes& entry : snapshot.applications) {
    auto& [sent, received] = bytes[{EscapeLabelValue(entry.app), entry.family}];
    sent += entry.sentBytes;
    received += entry.receivedBytes;
  }
  std::string out;
  AppendHeader(out, kBytes, format);
  for (const auto& [key, counts] : bytes) {
    const auto& [app, family] = key;
    const std::string labels = "corvane_bytes_total{app=\"" + app + "\",direction=\"";
    const std::string familyLabel = family == 6 ? "\",family=\"ipv6\"} " : "\",family=\"ipv4\"} ";
    out += labels + "sent" + familyLabel + std::to_string(counts.first) + '\n';
    out += labels + "received" + familyLabel + std::to_string(counts.second) + '\n';
  }
  AppendHeader(out, kDatagrams, format);
  out += "corvane_datagrams_total " + std::to_string(snapshot.datagrams) + '\n';
  AppendHeader(out, kKernelDrops, format);
  out += "corvane_kernel_drops_total " + std::to_string(snapshot.kernelDrops) + '\n';
  AppendHeader(out, kCapturing, format);
  out += "corvane_capturing{interface=\"" + EscapeLabelValue(snapshot.interfaceName) + "\"} " +
         (snapshot.capturing ? "1\n" : "0\n");
  if (format == Format::kOpenMetrics) out += "# EOF\n";
  return out;
}

}  // namespace

MetricsSnapshot TakeMetricsSnapshot(Monitor& monitor, const Monitor::CaptureState& state) {
  MetricsSnapshot snapshot;
  snapshot.applications = monitor.ApplicationTotals();
  snapshot.datagrams = monitor.DatagramCount();
  snapshot.kernelDrops = monitor.CaptureDroppedByKernel();
  snapshot.capturing = state.capturing;
  snapshot.interfaceName = state.interfaceName;
  return snapshot;
}

std::string EscapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  while (!value.empty()) {
    const size_t length = Utf8SequenceLength(value);
    if (length == 0) {
      out += kReplacement;
      value.remove_prefix(1);
      continue;
    }
    switch (value.front()) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      default: out.append(value.substr(0, length));
    }
    value.remove_prefix(length);
  }
  return out;
}

std::string RenderOpenMetrics(const MetricsSnapshot& snapshot) {
  return Render(snapshot, Format::kOpenMetrics);
}

std::string RenderPrometheusText(const MetricsSnapshot& snapshot) {
  return Render(snapshot, Format::kPrometheus);
}

Status WriteMetricsFile(const std::string& path, const MetricsSnapshot& snapshot) {
  return PublishFile(path, RenderPrometheusText(snapshot));
}

}  // namespace corvane
