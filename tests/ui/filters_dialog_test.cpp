// The Filters and New filter dialogs against a real filters.dat in a
// temporary directory: the order rules come and go in, "<ANY>" for empty
// texts, the "?" for blanks, Cancel, and a file that cannot be written.
// Pictures: filters.png and new-filter.png in the build folder.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <csignal>
#include <deque>

#include "dialog_test_files.h"
#include "ui/CFiltersDlg.h"
#include "ui/CIconButton.h"
#include "ui/CNewFilterDlg.h"
#include "ui/dialog_units.h"

namespace {

using corvane::FilterRule;
using dialog_test::ReadFile;
using dialog_test::WriteFile;

struct Message {
  QMessageBox::Icon icon;
  QString caption;
  QString text;
};

class TestFiltersDlg : public CFiltersDlg {
 public:
  using CFiltersDlg::CFiltersDlg;
  // What the New filter dialog answers, in turn; nullopt is Cancel.
  std::deque<std::optional<FilterRule>> answers;
  std::vector<Message> messages;
  std::vector<FilterRule> starts;  // what each New filter dialog opened with
  bool confirmMatchAll = false;

 protected:
  std::optional<FilterRule> AskNewFilter(const FilterRule& start) override {
    starts.push_back(start);
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text) override {
    messages.push_back({icon, caption, text});
  }
  bool ConfirmMatchAll() override {
    messages.push_back({QMessageBox::Question, QStringLiteral("New filter"), QString()});
    return confirmMatchAll;
  }
};

class FiltersDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  std::string File() const { return dir.path().toStdString() + "/filters.dat"; }
  std::unique_ptr<TestFiltersDlg> Open() {
    auto dialog = std::make_unique<TestFiltersDlg>(File());
    dialog->show();
    return dialog;
  }
  static QStringList Row(const TestFiltersDlg& dialog, int row) {
    const QTreeWidgetItem* item = dialog.ruleList()->topLevelItem(row);
    return item ? QStringList{item->text(0), item->text(1)} : QStringList{};
  }
  void Add(TestFiltersDlg& dialog, std::string remote, std::string local) {
    dialog.answers.push_back(FilterRule{std::move(remote), std::move(local)});
    QTest::mouseClick(dialog.addButton(), Qt::LeftButton);
  }

  QTemporaryDir dir;
};

TEST_F(FiltersDialogTest, WhiteListFileOpensBottomUpAndOkWritesItReversed) {
  WriteFile(File(), "2\r\na x\r\nb y\r\n");
  auto dialog = Open();
  EXPECT_TRUE(dialog->whiteListButton()->isChecked());
  EXPECT_FALSE(dialog->blackListButton()->isChecked());
  ASSERT_EQ(dialog->ruleList()->topLevelItemCount(), 2);
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"b", "y"}));
  EXPECT_EQ(Row(*dialog, 1), (QStringList{"a", "x"}));
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(ReadFile(File()), "2\r\nb y\r\na x\r\n");
}

TEST_F(FiltersDialogTest, MissingFileOpensAsEmptyBlackListAndOkCreatesIt) {
  auto dialog = Open();
  EXPECT_TRUE(dialog->blackListButton()->isChecked());
  EXPECT_EQ(dialog->ruleList()->topLevelItemCount(), 0);
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(File()), "1\r\n");
}

TEST_F(FiltersDialogTest, EmptyRuleIsTakenOnlyWhenConfirmedAndWritesAny) {
  WriteFile(File(), "1\r\nold rule\r\n");
  auto dialog = Open();
  Add(*dialog, "", "");
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"old", "rule"})) << "refused: it would hide every flow";
  ASSERT_EQ(dialog->messages.size(), 1u);
  dialog->confirmMatchAll = true;
  Add(*dialog, "", "");
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"<ANY>", "<ANY>"})) << "a new rule goes to the top";
  Add(*dialog, "10.1.1", "");
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"10.1.1", "<ANY>"}));
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(File()), "1\r\n10.1.1 <ANY>\r\n<ANY> <ANY>\r\nold rule\r\n");
}

TEST_F(FiltersDialogTest, BlankIsShownAndWrittenAsQuestionMark) {
  auto dialog = Open();
  Add(*dialog, "Internet Explorer", " ");
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"Internet Explorer", " "})) << "texts are taken as typed";
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(File()), "1\r\nInternet?Explorer ?\r\n");
}

TEST_F(FiltersDialogTest, DoubleClickEditsTheRuleInPlace) {
  WriteFile(File(), "1\r\nb <ANY>\r\na x\r\n");
  auto dialog = Open();
  QTreeWidgetItem* item = dialog->ruleList()->topLevelItem(1);
  dialog->answers.push_back(FilterRule{"b2", ""});
  emit dialog->ruleList()->itemDoubleClicked(item, 0);
  ASSERT_EQ(dialog->starts.size(), 1u);
  EXPECT_EQ(dialog->starts[0].remoteHost, "b");
  EXPECT_EQ(dialog->starts[0].localSource, "") << "<ANY> opens as a blank box";
  EXPECT_EQ(Row(*dialog, 1), (QStringList{"b2", "<ANY>"}));
  dialog->answers.push_back(std::nullopt);
  emit dialog->ruleList()->itemDoubleClicked(item, 0);
  EXPECT_EQ(Row(*dialog, 1), (QStringList{"b2", "<ANY>"})) << "Cancel keeps the rule";
  EXPECT_EQ(dialog->ruleList()->topLevelItemCount(), 2);
}

TEST_F(FiltersDialogTest, CancelledNewFilterAddsNothing) {
  auto dialog = Open();
  dialog->answers.push_back(std::nullopt);
  QTest::mouseClick(dialog->addButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->ruleList()->topLevelItemCount(), 0);
}

TEST_F(FiltersDialogTest, RemoveTakesTheSelectedRowAndNothingWithoutSelection) {
  WriteFile(File(), "1\r\na x\r\nb y\r\nc z\r\n");
  auto dialog = Open();
  dialog->ruleList()->clearSelection();
  QTest::mouseClick(dialog->removeButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->ruleList()->topLevelItemCount(), 3) << "no selection: nothing happens";
  dialog->ruleList()->setCurrentItem(dialog->ruleList()->topLevelItem(1));  // (b, y)
  QTest::mouseClick(dialog->removeButton(), Qt::LeftButton);
  ASSERT_EQ(dialog->ruleList()->topLevelItemCount(), 2);
  EXPECT_EQ(Row(*dialog, 0), (QStringList{"c", "z"}));
  EXPECT_EQ(Row(*dialog, 1), (QStringList{"a", "x"}));
}

TEST_F(FiltersDialogTest, ClearThenOkLeavesOnlyTheModeLine) {
  WriteFile(File(), "2\r\na x\r\nb y\r\n");
  auto dialog = Open();
  QTest::mouseClick(dialog->clearButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->ruleList()->topLevelItemCount(), 0);
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(File()), "2\r\n");
}

TEST_F(FiltersDialogTest, RadioButtonsSwitchEachOtherAndSetTheMode) {
  WriteFile(File(), "2\r\n");
  auto dialog = Open();
  QTest::mouseClick(dialog->blackListButton(), Qt::LeftButton);
  EXPECT_FALSE(dialog->whiteListButton()->isChecked());
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  EXPECT_EQ(ReadFile(File()), "1\r\n");
}

TEST_F(FiltersDialogTest, CancelAfterEditsLeavesTheFileAsItWas) {
  const std::string before = "2\n a  x \nb y extra\n";
  WriteFile(File(), before);
  auto dialog = Open();
  Add(*dialog, "new", "rule");
  QTest::mouseClick(dialog->blackListButton(), Qt::LeftButton);
  dialog->ruleList()->setCurrentItem(dialog->ruleList()->topLevelItem(1));
  QTest::mouseClick(dialog->removeButton(), Qt::LeftButton);
  QTest::mouseClick(dialog->clearButton(), Qt::LeftButton);
  QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(ReadFile(File()), before);
}

TEST_F(FiltersDialogTest, UnwritableFileShowsTheMessageAndTheDialogStillCloses) {
  const std::string path = dir.path().toStdString() + "/no/such/filters.dat";
  TestFiltersDlg dialog(path);
  dialog.show();
  QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
  ASSERT_EQ(dialog.messages.size(), 1u);
  EXPECT_EQ(dialog.messages[0].text, QStringLiteral("Can't write to %1").arg(QString::fromStdString(path)));
  EXPECT_EQ(dialog.messages[0].caption, QStringLiteral("Error"));
  EXPECT_EQ(dialog.messages[0].icon, QMessageBox::Critical);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(FiltersDialogTest, WriteFailingHalfwayKeepsWhatTheFileHeld) {
  const std::string before = "1\r\nkeep me\r\n";
  WriteFile(File(), before);
  auto dialog = Open();
  Add(*dialog, std::string(4096, 'a'), std::string(4096, 'b'));
  // A file-size limit makes the write fail part way, even for root.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(dialog->messages.size(), 1u);
  EXPECT_TRUE(dialog->messages[0].text.startsWith(QStringLiteral("Can't write to ")));
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(ReadFile(File()), before);
}

TEST_F(FiltersDialogTest, ShowsItsTextsIconsAndColumns) {
  auto dialog = Open();
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Filters"));
  EXPECT_EQ(dialog->modeGroup()->title(), QStringLiteral("Use filters as:"));
  EXPECT_EQ(dialog->listGroup()->title(), QStringLiteral("Filter list: "));
  EXPECT_EQ(dialog->modeGroup()->palette().color(QPalette::WindowText), QColor(10, 10, 155));
  EXPECT_EQ(dialog->blackListButton()->text(), QStringLiteral("&Black list (hide the matches)"));
  EXPECT_EQ(dialog->whiteListButton()->text(),
            QStringLiteral("&White list (show only the matches)"));
  EXPECT_EQ(dialog->addButton()->text(), QStringLiteral("&Add filter..."));
  EXPECT_EQ(dialog->removeButton()->text(), QStringLiteral("&Remove filter"));
  EXPECT_EQ(dialog->clearButton()->text(), QStringLiteral("&Clear filters"));
  for (CIconButton* button : {dialog->addButton(), dialog->removeButton(), dialog->clearButton()}) {
    EXPECT_TRUE(button->hasIcon()) << button->text().toStdString();
  }
  EXPECT_EQ(dialog->addButton()->geometry(), DialogRect(dialog.get(), 250, 52, 64, 14));
  QTreeWidget* list = dialog->ruleList();
  EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Remote host"));
  EXPECT_EQ(list->headerItem()->text(1), QStringLiteral("Local source"));
  EXPECT_EQ(list->columnWidth(0), 180);
  EXPECT_EQ(list->columnWidth(1), 180);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_TRUE(dialog->okButton()->isDefault());
}

TEST_F(FiltersDialogTest, RendersAPictureForPeople) {
  WriteFile(File(), "1\r\n10.1.1 iexplorer\r\n<ANY> Process?ID\r\n");
  auto dialog = Open();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
  dialog->ruleList()->setCurrentItem(dialog->ruleList()->topLevelItem(0));
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    EXPECT_TRUE(dialog->rect().contains(child->geometry())) << child->metaObject()->className();
  }
  EXPECT_TRUE(dialog_test::SavePicture(*dialog, QStringLiteral("filters.png")));
}

// The real New filter dialog run from "Add filter...".
TEST(NewFilterDialogTest, AddFilterRunsItAndTakesTheTextsAsTyped) {
  QTemporaryDir dir;
  CFiltersDlg dialog(dir.path().toStdString() + "/filters.dat");
  dialog.show();
  bool driven = false;
  QTimer::singleShot(0, &dialog, [&] {
    auto* ask = qobject_cast<CNewFilterDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(ask, nullptr);
    driven = true;
    EXPECT_TRUE(ask->remoteHostEdit()->text().isEmpty());
    EXPECT_TRUE(ask->localSourceEdit()->text().isEmpty());
    QTest::keyClicks(ask->remoteHostEdit(), QStringLiteral(" 10.1.1 "));
    ask->okButton()->click();
  });
  dialog.OnAddFilter();
  EXPECT_TRUE(driven);
  ASSERT_EQ(dialog.ruleList()->topLevelItemCount(), 1);
  EXPECT_EQ(dialog.ruleList()->topLevelItem(0)->text(0), QStringLiteral(" 10.1.1 "));
  EXPECT_EQ(dialog.ruleList()->topLevelItem(0)->text(1), QStringLiteral("<ANY>"));
}

TEST(NewFilterDialogTest, ShowsItsTextsInItsColoursWithUnlimitedBoxes) {
  CNewFilterDlg dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("New filter"));
  EXPECT_EQ(dialog.width(), DialogRect(&dialog, 0, 0, 293, 222).width());
  QStringList texts;
  int bold = 0;
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    texts << label->text();
    // Every text whole, in whatever font and scale: tall enough for its lines.
    if (label->wordWrap()) {
      EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
    }
    const QColor colour = label->palette().color(QPalette::WindowText);
    if (label == dialog.remoteHostLabel() || label == dialog.localSourceLabel()) {
      EXPECT_NE(colour, QColor(50, 0, 225)) << label->text().toStdString();
    } else {
      EXPECT_EQ(colour, QColor(50, 0, 225)) << label->text().toStdString();
    }
    if (label->font().bold()) ++bold;
  }
  EXPECT_TRUE(texts.contains(QStringLiteral("Enter the rules of the new filter")));
  EXPECT_TRUE(texts.contains(QStringLiteral("Examples:")));
  EXPECT_TRUE(texts.contains(QStringLiteral("&Remote host:")));
  EXPECT_TRUE(texts.contains(QStringLiteral("&Local source:")));
  EXPECT_EQ(bold, 2);
  for (QLineEdit* edit : {dialog.remoteHostEdit(), dialog.localSourceEdit()}) {
    EXPECT_EQ(edit->palette().color(QPalette::Text), QColor(50, 0, 225));
    const QString longText(1000, QLatin1Char('x'));
    edit->setText(longText);
    EXPECT_EQ(edit->text(), longText) << "no length limit";
  }
  EXPECT_TRUE(dialog.okButton()->isDefault());
}

TEST(NewFilterDialogTest, CancelGivesNoRule) {
  QTemporaryDir dir;
  CFiltersDlg dialog(dir.path().toStdString() + "/filters.dat");
  QTimer::singleShot(0, &dialog, [&] {
    auto* ask = qobject_cast<CNewFilterDlg*>(QApplication::activeModalWidget());
    ASSERT_NE(ask, nullptr);
    QTest::keyClicks(ask->remoteHostEdit(), QStringLiteral("x"));
    ask->cancelButton()->click();
  });
  dialog.OnAddFilter();
  EXPECT_EQ(dialog.ruleList()->topLevelItemCount(), 0);
}

TEST(NewFilterDialogTest, RendersAPictureForPeople) {
  CNewFilterDlg dialog;
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  dialog.remoteHostEdit()->setText(QStringLiteral("Internet Explorer"));
  for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    EXPECT_TRUE(dialog.rect().contains(child->geometry())) << child->metaObject()->className();
  }
  EXPECT_TRUE(dialog_test::SavePicture(dialog, QStringLiteral("new-filter.png")));
}

}  // namespace
