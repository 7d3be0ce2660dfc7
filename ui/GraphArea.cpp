#include "ui/GraphArea.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

GraphArea::GraphArea(QWidget* parent) : QWidget(parent) {}

void GraphArea::InitialiseSeries() {
  const size_t samples = static_cast<size_t>(std::max(0, width() - 4));
  const uint32_t full = static_cast<uint32_t>(std::max(0, height() / 2));
  download_ = corvane::GraphSeries(samples, full);
  upload_ = corvane::GraphSeries(samples, full);
}

void GraphArea::AddTick(uint64_t downloadBytes, uint64_t uploadBytes) {
  download_.Update(downloadBytes);
  upload_.Update(uploadBytes);
  if (drawingEnabled()) update();
}

void GraphArea::SetFrozen(bool frozen) {
  if (frozen_ == frozen) return;
  frozen_ = frozen;
  // A graph frozen before its first paint (frozen at start-up) keeps the
  // picture of this moment, the empty graph, rather than a blank hole.
  if (frozen_ && lastPicture_.isNull()) lastPicture_ = RenderGraph();
  if (drawingEnabled()) update();
}

void GraphArea::SetWindowShown(bool shown) {
  if (windowShown_ == shown) return;
  windowShown_ = shown;
  if (drawingEnabled()) update();
}

QImage GraphArea::RenderGraph() const {
  const int w = std::max(1, width());
  const int h = std::max(1, height());
  QImage picture(w, h, QImage::Format_RGB32);
  picture.fill(kBackgroundColour);

  const int middle = h / 2;
  const int n = sampleCount();
  QPainter painter(&picture);
  // Every line is one pixel wide and leaves out its end point: the middle
  // line covers x = 2 .. N + 1; a bar of height s covers the s - 1 pixels
  // next to the middle line.
  painter.fillRect(QRect(2, middle, n, 1), QColor::fromRgb(kMiddleLineColour));
  const auto& down = download_.heights();
  const auto& up = upload_.heights();
  for (int k = 0; k < n; ++k) {
    const int downPixels = static_cast<int>(down[k]) - 1;
    if (downPixels > 0) {
      painter.fillRect(QRect(k + 2, middle - downPixels, 1, downPixels), QColor::fromRgb(kDownloadColour));
    }
    const int upPixels = static_cast<int>(up[k]) - 1;
    if (upPixels > 0) {
      painter.fillRect(QRect(k + 2, middle + 1, 1, upPixels), QColor::fromRgb(kUploadColour));
    }
  }
  return picture;
}

void GraphArea::paintEvent(QPaintEvent* /*event*/) {
  if (drawingEnabled() || lastPicture_.isNull()) lastPicture_ = RenderGraph();
  QPainter painter(this);
  painter.drawImage(QPoint(0, 0), lastPicture_);
}
