#include "tools/watch_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "storage/csv_json.h"
#include "storage/export_format.h"
#include "vocabulary/text_format.h"

namespace corvane {

std::optional<WatchFormat> ParseWatchFormat(std::string_view text) {
  if (text == "text") return WatchFormat::kText;
  if (text == "jsonl") return WatchFormat::kJsonl;
  return std::nullopt;
}

size_t RowKeyHash::operator()(const RowKey& key) const noexcept {
  size_t hash = IpAddressHash()(key.remoteAddress);
  hash ^= (static_cast<size_t>(key.hostId) * 0x9e3779b97f4a7c15ull) + (hash << 6) + (hash >> 2);
  hash ^= (static_cast<size_t>(key.labelId) * 0xc2b2ae3d27d4eb4full) + (hash << 6) + (hash >> 2);
  return hash;
}

ByteRates RateTracker::Observe(const RowKey& key, const RowValues& values, TimePoint now) {
  std::vector<Sample>& samples = rows_[key];
  if (!samples.empty() && (values.downloadBytes < samples.back().download ||
                           values.uploadBytes < samples.back().upload)) {
    samples.clear();
  }
  // Unchanged counts need no sample: the last one still tells them.
  if (samples.empty() || values.downloadBytes != samples.back().download ||
      values.uploadBytes != samples.back().upload) {
    samples.push_back(Sample{now, values.downloadBytes, values.uploadBytes});
  }
  // Keep the last sample at or before the window's start: the baseline.
  const TimePoint start = now - kWindow;
  auto firstInside = std::find_if(samples.begin(), samples.end(),
                                  [start](const Sample& sample) { return sample.time > start; });
  if (firstInside - samples.begin() > 1) samples.erase(samples.begin(), firstInside - 1);
  // The rate is over the time the samples span, not the window: samples are
  // taken when the watch gets to it, never at exact moments.
  const Sample& baseline = samples.front();
  if (samples.size() == 1 && baseline.time > start) {
    // Only the counts of the row's first sight: they came within the window.
    const double seconds = std::chrono::duration<double>(kWindow).count();
    return ByteRates{static_cast<double>(values.downloadBytes) / seconds,
                     static_cast<double>(values.uploadBytes) / seconds};
  }
  const double seconds = std::chrono::duration<double>(now - baseline.time).count();
  if (seconds <= 0) return ByteRates{};
  return ByteRates{static_cast<double>(values.downloadBytes - baseline.download) / seconds,
                   static_cast<double>(values.uploadBytes - baseline.upload) / seconds};
}

void RateTracker::KeepOnly(const std::vector<RowKey>& keys) {
  if (rows_.size() == keys.size()) return;  // keys are distinct and all observed
  std::unordered_set<RowKey, RowKeyHash> kept(keys.begin(), keys.end());
  std::erase_if(rows_, [&kept](const auto& entry) { return !kept.contains(entry.first); });
}

std::string FormatRate(double bytesPerSecond) {
  return FormatByteCount(static_cast<uint64_t>(std::llround(std::max(0.0, bytesPerSecond)))) +
         "/s";
}

std::string FormatWatchRowLine(const RowCells& cells, const ByteRates& rates) {
  RowCells safe;
  for (size_t i = 0; i < cells.size(); ++i) safe[i] = SanitizeNetworkText(ValidUtf8(cells[i]));
  std::string line = FormatRowLine(safe);
  for (double rate : {rates.download, rates.upload}) {
    std::string text = FormatRate(rate);
    std::replace(text.begin(), text.end(), ' ', '_');  // one token, as the counts
    line += ' ';
    line += text;
  }
  return line;
}

std::string FormatJsonlLine(const RowCells& cells, const RowValues& values,
                            const ByteRates& rates) {
  // The export of one row is "[\n{...}\n]\n" with no line end inside the
  // object (JSON strings escape them); the rates join its fields.
  const std::string exported = FormatExport({ExportRowOf(cells, values)}, ExportFormat::kJson);
  const size_t open = exported.find('{');
  const size_t close = exported.rfind('}');
  std::string line;
  line.reserve(close - open + 64);
  for (size_t i = open; i < close; ++i) {
    // JsonString leaves the C1 controls (U+0080 to U+009F, "\xc2\x80" to
    // "\xc2\x9f" in its well-formed UTF-8) as they are, and some terminals
    // obey them; escaped, they read back the same.
    const auto next = i + 1 < close ? static_cast<unsigned char>(exported[i + 1]) : 0u;
    if (exported[i] == '\xc2' && next >= 0x80 && next <= 0x9f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", next);
      line += escaped;
      ++i;
      continue;
    }
    line += exported[i];
  }
  line += ",\"download_rate\":";
  line += std::to_string(std::llround(std::max(0.0, rates.download)));
  line += ",\"upload_rate\":";
  line += std::to_string(std::llround(std::max(0.0, rates.upload)));
  line += "}\n";
  return line;
}

namespace {

struct RowCopy {
  RowKey key;
  RowCells cells;
  RowValues values;
};

}  // namespace

std::string FormatWatchList(const TrafficList& list, RateTracker& rates,
                            RateTracker::TimePoint now) {
  // Copied under the lock and formatted after it, so the engine waits only
  // for the copy.
  std::vector<RowCopy> rows;
  {
    TrafficList::ReadLock lock(list);
    const int count = list.Count();
    rows.reserve(static_cast<size_t>(count));
    for (int row = 0; row < count; ++row) {
      rows.push_back(RowCopy{list.Key(row), list.Cells(row), list.Values(row)});
    }
  }
  std::string out;
  std::vector<RowKey> keys;
  keys.reserve(rows.size());
  for (const RowCopy& row : rows) {
    keys.push_back(row.key);
    out += FormatWatchRowLine(row.cells, rates.Observe(row.key, row.values, now));
    out += '\n';
  }
  rates.KeepOnly(keys);
  return out;
}

TrafficList::ChangeSink RowChangeFeed::Sink() {
  return [this](std::vector<ListChange>&& changes) { Apply(std::move(changes)); };
}

void RowChangeFeed::Note(uint32_t id) {
  if (id >= keyOfId_.size()) return;
  const RowKey& key = keyOfId_[id];
  if (pendingSet_.insert(key).second) pending_.push_back(key);
}

void RowChangeFeed::Apply(std::vector<ListChange>&& changes) {
  bool noted = false;
  {
    MutexLock lock(mutex_);
    for (const ListChange& change : changes) {
      switch (change.kind) {
        case ListChange::Kind::Insert:
          if (change.id >= keyOfId_.size()) keyOfId_.resize(change.id + 1);
          keyOfId_[change.id] = change.key;
          Note(change.id);
          noted = true;
          break;
        case ListChange::Kind::Text:
        case ListChange::Kind::Counts:
          Note(change.id);
          noted = true;
          break;
        case ListChange::Kind::Remove:
          break;  // the id is given again only with an Insert
        case ListChange::Kind::Clear:
          keyOfId_.clear();
          cleared_ = true;
          noted = true;
          break;
        case ListChange::Kind::Mark:
          break;  // the idle mark is no field of a line
      }
    }
  }
  if (noted) changed_.notify_one();
}

RowChangeFeed::Changes RowChangeFeed::Wait(std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(mutex_);
  changed_.wait_until(lock, deadline,
                      [this]() REQUIRES(mutex_) { return !pending_.empty() || cleared_; });
  Changes changes;
  changes.keys.swap(pending_);
  pendingSet_.clear();
  changes.cleared = cleared_;
  cleared_ = false;
  return changes;
}

bool JsonlWriter::Write(const TrafficList& list, const RowChangeFeed::Changes& changes,
                        RateTracker::TimePoint now) {
  if (changes.cleared) rates_.Clear();
  std::vector<RowCopy> rows;
  {
    TrafficList::ReadLock lock(list);
    for (const RowKey& key : changes.keys) {
      const int row = list.FindRow(key);
      if (row < 0) {
        rates_.Forget(key);
        continue;
      }
      rows.push_back(RowCopy{key, list.Cells(row), list.Values(row)});
    }
  }
  std::string out;
  for (const RowCopy& row : rows) {
    out += FormatJsonlLine(row.cells, row.values, rates_.Observe(row.key, row.values, now));
  }
  if (out.empty()) return true;
  return std::fwrite(out.data(), 1, out.size(), out_) == out.size() && std::fflush(out_) == 0;
}

}  // namespace corvane
