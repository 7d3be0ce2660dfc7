#include "vocabulary/rows.h"

#include "vocabulary/text_format.h"

namespace corvane {

RowValues ValuesOfCells(const RowCells& cells) {
  RowValues values;
  values.downloadBytes = static_cast<uint64_t>(ByteCountValue(cells[kColumnDownload]).value_or(0));
  values.uploadBytes = static_cast<uint64_t>(ByteCountValue(cells[kColumnUpload]).value_or(0));
  values.firstActivity = ParseTimestamp(cells[kColumnFirstActivity]);
  values.lastActivity = ParseTimestamp(cells[kColumnLastActivity]);
  return values;
}

}  // namespace corvane
