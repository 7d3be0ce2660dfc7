// The hyperlink label (colours, hover, tooltip, fitting its text, what a
// click does when opening succeeds or fails) and how links are opened
// (the desktop first, then the default browser's command, never a shell).
#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "ui/CHyperlinkLabel.h"
#include "ui/open_url.h"

namespace {

// ---- opening links ---------------------------------------------------------

struct FakeDesktop {
  bool desktopOpens = false;
  QString handler;
  std::optional<QString> execLine;
  int startResult = kOpenSucceeded;
  QStringList desktopCalls;
  QString startedProgram;
  QStringList startedArguments;
  int starts = 0;

  UrlOpenServices Services() {
    UrlOpenServices s;
    s.desktopOpen = [this](const QString& url) {
      desktopCalls << url;
      return desktopOpens;
    };
    s.defaultHtmlHandler = [this] { return handler; };
    s.desktopExecLine = [this](const QString& id) {
      return id == handler ? execLine : std::nullopt;
    };
    s.startDetached = [this](const QString& program, const QStringList& arguments) {
      ++starts;
      startedProgram = program;
      startedArguments = arguments;
      return startResult;
    };
    return s;
  }
};

class OpenUrlTest : public ::testing::Test {
 protected:
  FakeDesktop desktop_;
  const QString url_ = QStringLiteral("https://corvane.example.org/");
};

TEST_F(OpenUrlTest, DesktopSuccessNeedsNoBrowserLookup) {
  desktop_.desktopOpens = true;
  desktop_.handler = QStringLiteral("browser.desktop");
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), kOpenSucceeded);
  EXPECT_EQ(desktop_.desktopCalls, QStringList{url_});
  EXPECT_EQ(desktop_.starts, 0);
}

TEST_F(OpenUrlTest, NoDefaultBrowserReportsNoAssociation) {
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), 31);
  desktop_.handler = QStringLiteral("gone.desktop");  // id without a file
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), 31);
  EXPECT_EQ(desktop_.starts, 0);
}

TEST_F(OpenUrlTest, BrowserCommandGetsTheUrlAsOneArgument) {
  desktop_.handler = QStringLiteral("browser.desktop");
  desktop_.execLine = QStringLiteral("/usr/lib/firefox-esr/firefox-esr --new-window %u");
  const QString tricky = QStringLiteral("https://corvane.example.org/a;b&c=$(rm%20-rf)");
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), tricky), kOpenSucceeded);
  EXPECT_EQ(desktop_.startedProgram, QStringLiteral("/usr/lib/firefox-esr/firefox-esr"));
  EXPECT_EQ(desktop_.startedArguments, (QStringList{QStringLiteral("--new-window"), tricky}));
}

TEST_F(OpenUrlTest, BrowserThatCannotStartGivesItsReason) {
  desktop_.handler = QStringLiteral("browser.desktop");
  desktop_.execLine = QStringLiteral("missing-browser %U");
  desktop_.startResult = kOpenFileNotFound;
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), 2);
}

TEST_F(OpenUrlTest, UnusableBrowserCommandIsAnInvalidAssociation) {
  desktop_.handler = QStringLiteral("browser.desktop");
  desktop_.execLine = QStringLiteral("");
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), 27);
  desktop_.execLine = QStringLiteral("\"unterminated %u");
  EXPECT_EQ(OpenUrlWith(desktop_.Services(), url_), 27);
  EXPECT_EQ(desktop_.starts, 0);
}

TEST_F(OpenUrlTest, TextThatIsNoUrlIsNeverHandedToAProgram) {
  desktop_.desktopOpens = true;
  desktop_.handler = QStringLiteral("browser.desktop");
  desktop_.execLine = QStringLiteral("browser %u");
  for (const QString& bad : {QString(), QStringLiteral("--help"), QStringLiteral("no scheme here")}) {
    EXPECT_LE(OpenUrlWith(desktop_.Services(), bad), 32) << bad.toStdString();
  }
  EXPECT_TRUE(desktop_.desktopCalls.isEmpty());
  EXPECT_EQ(desktop_.starts, 0);
}

TEST(HandlerCommandTest, CutsBeforeTheUrlPlaceholder) {
  const QString url = QStringLiteral("mailto:support@corvane.example.org");
  EXPECT_EQ(HandlerCommand(QStringLiteral("chromium %U"), url), (QStringList{"chromium", url}));
  EXPECT_EQ(HandlerCommand(QStringLiteral("browser \"%u\" --late"), url), (QStringList{"browser", url}));
  EXPECT_EQ(HandlerCommand(QStringLiteral("browser"), url), (QStringList{"browser", url}));
  EXPECT_EQ(HandlerCommand(QStringLiteral("\"/opt/My Browser/run\" --class=x %i %c %u"), url),
            (QStringList{"/opt/My Browser/run", "--class=x", url}));
  EXPECT_EQ(HandlerCommand(QStringLiteral("b \"say \\\"hi\\\"\" 100%% %f"), url),
            (QStringList{"b", "say \"hi\"", "100%", url}));
  EXPECT_FALSE(HandlerCommand(QStringLiteral("   "), url).has_value());
  EXPECT_FALSE(HandlerCommand(QStringLiteral("%u"), url).has_value());
}

TEST(OpenUrlReasonTextTest, ResultsHaveTheirTexts) {
  EXPECT_EQ(OpenUrlReasonText(31),
            QStringLiteral("There is no application associated\nwith the given filename extension."));
  EXPECT_EQ(OpenUrlReasonText(26), QStringLiteral("A sharing violation occurred. "));
  EXPECT_EQ(OpenUrlReasonText(2), QStringLiteral("The specified file was not found."));
  EXPECT_EQ(OpenUrlReasonText(0), QStringLiteral("The operating system is out\nof memory or resources."));
  EXPECT_EQ(OpenUrlReasonText(27), QStringLiteral("The filename association is\nincomplete or invalid."));
  EXPECT_EQ(OpenUrlReasonText(99), QStringLiteral("Unknown Error (99) occurred."));
  EXPECT_EQ(OpenUrlReasonText(-1), QStringLiteral("Unknown Error (-1) occurred."));
}

// ---- the label -------------------------------------------------------------

class HyperlinkLabelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_.resize(400, 200);
    label_ = new CHyperlinkLabel(&window_);
    label_->setGeometry(10, 20, 300, 30);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  }

  // Clicks the label; a message box that the click opens is answered, and
  // its text and icon are returned.
  std::pair<QString, QMessageBox::Icon> ClickAndAnswer() {
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QObject guard;  // drops the answer if no box ever asks for it
    QTimer::singleShot(0, &guard, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        text = box->text();
        icon = box->icon();
        box->accept();
      }
    });
    QTest::mouseClick(label_, Qt::LeftButton, {}, QPoint(2, 2));
    return {text, icon};
  }

  QWidget window_;
  CHyperlinkLabel* label_ = nullptr;
};

TEST_F(HyperlinkLabelTest, LooksLikeALink) {
  label_->SetTarget(QStringLiteral("https://corvane.example.org/"));
  EXPECT_EQ(label_->currentColour(), QColor(0, 0, 238));
  EXPECT_EQ(label_->palette().color(QPalette::WindowText), QColor(0, 0, 238));
  EXPECT_TRUE(label_->font().underline());
  EXPECT_EQ(label_->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(label_->toolTip(), QStringLiteral("https://corvane.example.org/"));
  EXPECT_EQ(label_->text(), QStringLiteral("https://corvane.example.org/"));  // shown when empty
}

TEST_F(HyperlinkLabelTest, TextServesAsTargetWhenNoneIsSet) {
  label_->setText(QStringLiteral("https://example.org/x"));
  EXPECT_EQ(label_->target(), QStringLiteral("https://example.org/x"));
  label_->SetTarget(QStringLiteral("mailto:a@example.org"));
  EXPECT_EQ(label_->text(), QStringLiteral("https://example.org/x"));  // text kept
  EXPECT_EQ(label_->target(), QStringLiteral("mailto:a@example.org"));
}

TEST_F(HyperlinkLabelTest, VisitedLinkIsPurple) {
  label_->MarkVisited(true);
  EXPECT_EQ(label_->currentColour(), QColor(85, 26, 139));
  label_->MarkVisited(false);
  EXPECT_EQ(label_->currentColour(), QColor(0, 0, 238));
}

TEST_F(HyperlinkLabelTest, HoverUsesHighlightColourUntilThePointerLeaves) {
  label_->MarkVisited(true);
  QEnterEvent enter(QPointF(2, 2), QPointF(12, 22), QPointF(12, 22));
  QApplication::sendEvent(label_, &enter);
  EXPECT_TRUE(label_->hot());
  EXPECT_EQ(label_->currentColour(), label_->palette().color(QPalette::Active, QPalette::Highlight));
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(label_, &leave);
  EXPECT_FALSE(label_->hot());
  EXPECT_EQ(label_->currentColour(), QColor(85, 26, 139));
}

TEST_F(HyperlinkLabelTest, SuccessfulClickOpensTargetAndTurnsPurple) {
  QStringList opened;
  label_->SetTarget(QStringLiteral("https://corvane.example.org/"));
  label_->SetOpener([&](const QString& url, QString*) {
    opened << url;
    return true;
  });
  const auto [text, icon] = ClickAndAnswer();
  EXPECT_TRUE(text.isEmpty());
  EXPECT_EQ(opened, QStringList{QStringLiteral("https://corvane.example.org/")});
  EXPECT_TRUE(label_->visited());
  EXPECT_EQ(label_->currentColour(), QColor(85, 26, 139));
}

TEST_F(HyperlinkLabelTest, FailedClickExplainsWhyAndTurnsBlueAgain) {
  label_->SetTarget(QStringLiteral("https://corvane.example.org/"));
  label_->MarkVisited(true);  // an earlier click succeeded
  label_->SetOpener([](const QString&, QString* reason) {
    *reason = OpenUrlReasonText(31);
    return false;
  });
  const auto [text, icon] = ClickAndAnswer();
  EXPECT_EQ(text, QStringLiteral("Unable to open hyperlink:\n\nThere is no application associated\n"
                                 "with the given filename extension."));
  EXPECT_EQ(icon, QMessageBox::Warning);
  EXPECT_FALSE(label_->visited());
  EXPECT_EQ(label_->currentColour(), QColor(0, 0, 238));
}

TEST_F(HyperlinkLabelTest, LeftAlignedLabelFitsItsTextKeepingItsLeftEdge) {
  label_->SetTarget(QStringLiteral("x"));
  const QSize text = label_->sizeHint();
  EXPECT_EQ(label_->geometry(), QRect(QPoint(10, 20), text));
  // A longer target than the first rectangle widens it.
  CHyperlinkLabel wide(&window_);
  wide.setGeometry(10, 60, 20, 30);
  wide.setAlignment(Qt::AlignLeft | Qt::AlignTop);
  wide.SetTarget(QStringLiteral("https://a-very-long-address.example.org/with/a/path"));
  EXPECT_EQ(wide.x(), 10);
  EXPECT_GT(wide.width(), 20);
  EXPECT_EQ(wide.size(), wide.sizeHint());
}

TEST_F(HyperlinkLabelTest, RightAndCentreAlignedLabelsKeepTheirRightEdgeAndCentre) {
  label_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  label_->SetTarget(QStringLiteral("short"));
  EXPECT_EQ(label_->geometry().left() + label_->width(), 310);

  CHyperlinkLabel centred(&window_);
  centred.setGeometry(10, 60, 300, 40);
  centred.setAlignment(Qt::AlignCenter);
  centred.SetTarget(QStringLiteral("short"));
  EXPECT_NEAR(centred.geometry().center().x(), 160, 1);
  EXPECT_NEAR(centred.geometry().center().y(), 80, 1);
}

}  // namespace
