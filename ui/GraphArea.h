// The speed graph at the top right of the main window: one pixel column per
// second, download bars growing up from a middle line, upload bars growing
// down, the newest at the right.
//
// The main window calls InitialiseSeries() once after it has laid the graph
// out (its size then fixes the number of samples N = width - 4 and the full
// bar height H = height / 2 for good), and AddTick() from its one-second
// tick with the bytes of that tick. The series keep moving while the window
// is hidden or the graph is frozen; only the drawing stops, and a frozen
// graph keeps showing the picture it last drew (the empty graph when it was
// frozen from the start). Window thread only.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>

#include "ui/graph_series.h"

class GraphArea : public QWidget {
  Q_OBJECT

 public:
  static constexpr QRgb kBackgroundColour = 0xff000000;
  static constexpr QRgb kMiddleLineColour = 0xff9b9b00;   // RGB(155, 155, 0)
  static constexpr QRgb kDownloadColour = 0xff64ff64;     // RGB(100, 255, 100)
  static constexpr QRgb kUploadColour = 0xff32e6ff;       // RGB(50, 230, 255)

  explicit GraphArea(QWidget* parent = nullptr);

  // Sizes both series from the current size: N = width - 4 samples (0 when
  // narrower), full height H = height / 2. All bars 0, F = 100.
  void InitialiseSeries();
  // One tick: the download series takes `downloadBytes`, then the upload
  // series `uploadBytes`; the graph is redrawn unless hidden or frozen.
  void AddTick(uint64_t downloadBytes, uint64_t uploadBytes);
  // A frozen graph keeps its last picture until it is unfrozen.
  void SetFrozen(bool frozen);
  // Cleared while the main window is hidden behind its tray icon.
  void SetWindowShown(bool shown);

  bool frozen() const { return frozen_; }
  bool windowShown() const { return windowShown_; }
  bool drawingEnabled() const { return windowShown_ && !frozen_; }
  const corvane::GraphSeries& downloadSeries() const { return download_; }
  const corvane::GraphSeries& uploadSeries() const { return upload_; }
  int sampleCount() const { return static_cast<int>(download_.sampleCount()); }
  int fullHeight() const { return static_cast<int>(download_.fullHeight()); }

  // The picture of the current series at the widget's current size, as the
  // next paint would show it.
  QImage RenderGraph() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  corvane::GraphSeries download_;
  corvane::GraphSeries upload_;
  bool frozen_ = false;
  bool windowShown_ = true;
  // What the graph showed when it was last drawn; shown again while frozen.
  QImage lastPicture_;
};
