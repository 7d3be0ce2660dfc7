// The speed graph as pixels: the middle line, the bar colours and heights,
// where the newest sample stands, and when the picture is (not) redrawn.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>

#include "ui/GraphArea.h"

namespace {

// 63 x 42 pixels: N = 59 samples, H = 21, middle line at y = 21.
class GraphAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    graph_.resize(63, 42);
    graph_.InitialiseSeries();
  }

  // What the control shows on screen after the next paint.
  QImage Shown() { return graph_.grab().toImage().convertToFormat(QImage::Format_RGB32); }

  // The number of pixels of `colour` in column x.
  static int ColumnCount(const QImage& image, int x, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) count += image.pixel(x, y) == colour;
    return count;
  }

  static int CountColour(const QImage& image, QRgb colour) {
    int count = 0;
    for (int x = 0; x < image.width(); ++x) count += ColumnCount(image, x, colour);
    return count;
  }

  static constexpr int kMiddle = 21;
  static constexpr int kNewestX = 60;  // N + 1
  GraphArea graph_;
};

TEST_F(GraphAreaTest, SeriesAreSizedFromTheControl) {
  EXPECT_EQ(graph_.sampleCount(), 59);
  EXPECT_EQ(graph_.fullHeight(), 21);
  EXPECT_EQ(graph_.downloadSeries().fullScale(), 100u);
  EXPECT_EQ(graph_.uploadSeries().fullScale(), 100u);
}

TEST_F(GraphAreaTest, WithoutTrafficOnlyTheMiddleLineIsDrawnOnBlack) {
  graph_.AddTick(0, 0);
  const QImage image = Shown();
  ASSERT_EQ(image.size(), QSize(63, 42));
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const bool onLine = y == kMiddle && x >= 2 && x <= kNewestX;
      ASSERT_EQ(image.pixel(x, y), onLine ? GraphArea::kMiddleLineColour : GraphArea::kBackgroundColour)
          << "at " << x << "," << y;
    }
  }
}

TEST_F(GraphAreaTest, FirstLargeDownloadTickIsAFullBarAtTheNewestColumn) {
  graph_.AddTick(5000, 0);
  EXPECT_EQ(graph_.downloadSeries().fullScale(), 5000u);
  const QImage image = Shown();
  // A bar of full height 21 covers the 20 pixels above the middle line.
  for (int y = kMiddle - 20; y < kMiddle; ++y) {
    EXPECT_EQ(image.pixel(kNewestX, y), GraphArea::kDownloadColour) << "y " << y;
  }
  EXPECT_EQ(image.pixel(kNewestX, kMiddle - 21), GraphArea::kBackgroundColour);
  EXPECT_EQ(image.pixel(kNewestX, kMiddle), GraphArea::kMiddleLineColour);
  EXPECT_EQ(CountColour(image, GraphArea::kDownloadColour), 20);
  EXPECT_EQ(CountColour(image, GraphArea::kUploadColour), 0);
}

TEST_F(GraphAreaTest, UploadBarsGrowDownwardWithProportionalHeight) {
  graph_.AddTick(0, 50);  // 21 * 50 / 100 = 10 pixels high: 9 drawn
  const QImage image = Shown();
  EXPECT_EQ(ColumnCount(image, kNewestX, GraphArea::kUploadColour), 9);
  for (int y = kMiddle + 1; y <= kMiddle + 9; ++y) {
    EXPECT_EQ(image.pixel(kNewestX, y), GraphArea::kUploadColour) << "y " << y;
  }
  EXPECT_EQ(image.pixel(kNewestX, kMiddle + 10), GraphArea::kBackgroundColour);
  EXPECT_EQ(CountColour(image, GraphArea::kDownloadColour), 0);
}

TEST_F(GraphAreaTest, BarsScrollLeftOnePixelPerTick) {
  graph_.AddTick(100, 100);
  graph_.AddTick(0, 0);
  const QImage image = Shown();
  EXPECT_EQ(ColumnCount(image, kNewestX - 1, GraphArea::kDownloadColour), 20);
  EXPECT_EQ(ColumnCount(image, kNewestX - 1, GraphArea::kUploadColour), 20);
  EXPECT_EQ(ColumnCount(image, kNewestX, GraphArea::kDownloadColour), 0);
  EXPECT_EQ(ColumnCount(image, kNewestX, GraphArea::kUploadColour), 0);
}

TEST_F(GraphAreaTest, OldestSampleStandsAtXTwo) {
  graph_.AddTick(100, 0);
  for (int i = 1; i < graph_.sampleCount(); ++i) graph_.AddTick(0, 0);
  const QImage image = Shown();
  EXPECT_EQ(ColumnCount(image, 2, GraphArea::kDownloadColour), 20);
  EXPECT_EQ(ColumnCount(image, 1, GraphArea::kDownloadColour), 0);
}

TEST_F(GraphAreaTest, BarOfHeightOneShowsNothing) {
  graph_.AddTick(5, 0);  // 21 * 5 / 100 = 1
  ASSERT_EQ(graph_.downloadSeries().heights().back(), 1u);
  EXPECT_EQ(CountColour(Shown(), GraphArea::kDownloadColour), 0);
}

TEST_F(GraphAreaTest, FrozenGraphKeepsItsPictureButTheSeriesMoveOn) {
  graph_.AddTick(100, 0);
  const QImage before = Shown();
  graph_.SetFrozen(true);
  for (int i = 0; i < 5; ++i) graph_.AddTick(0, 100);
  EXPECT_EQ(Shown(), before);
  EXPECT_EQ(graph_.uploadSeries().heights().back(), 21u);

  graph_.SetFrozen(false);
  const QImage after = Shown();
  // The frozen seconds are there: five upload bars, the download bar 5 older.
  EXPECT_EQ(CountColour(after, GraphArea::kUploadColour), 5 * 20);
  EXPECT_EQ(ColumnCount(after, kNewestX - 5, GraphArea::kDownloadColour), 20);
}

TEST_F(GraphAreaTest, HiddenWindowStopsDrawingUntilShownAgain) {
  graph_.AddTick(0, 0);
  const QImage before = Shown();
  graph_.SetWindowShown(false);
  EXPECT_FALSE(graph_.drawingEnabled());
  graph_.AddTick(100, 0);
  EXPECT_EQ(Shown(), before);
  graph_.SetWindowShown(true);
  EXPECT_EQ(ColumnCount(Shown(), kNewestX, GraphArea::kDownloadColour), 20);
}

TEST_F(GraphAreaTest, GraphFrozenFromTheStartShowsTheEmptyGraph) {
  GraphArea frozen;
  frozen.resize(63, 42);
  frozen.InitialiseSeries();
  frozen.SetFrozen(true);
  frozen.AddTick(100, 100);
  const QImage image = frozen.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(CountColour(image, GraphArea::kMiddleLineColour), 59) << "not a blank hole";
  EXPECT_EQ(CountColour(image, GraphArea::kDownloadColour), 0) << "ticks after freezing stay unseen";
}

TEST_F(GraphAreaTest, ControlTooSmallForSamplesDrawsWithoutFault) {
  GraphArea tiny;
  tiny.resize(3, 1);
  tiny.InitialiseSeries();
  tiny.AddTick(1000, 1000);
  EXPECT_EQ(tiny.sampleCount(), 0);
  EXPECT_EQ(tiny.RenderGraph().size(), QSize(3, 1));
}

}  // namespace
