#include "app/shell/lane_dialogs.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/lanes/lane_test_support.h"
#include "app/qt/timed_message_box.h"
#include "core/params/param_store.h"
#include "platform/fs/files.h"
#include "platform/fs/profile.h"

namespace {

int g_argc = 1;
char g_arg0[] = "lane_dialogs_test";
char* g_argv[] = {g_arg0, nullptr};

constexpr char kTooLongIdMessage[] = "RVCS Lane IDs must be 1-8 digits.";
constexpr char kTooLongDescriptionMessage[] = "Description is too long (50 chars max).";
constexpr char kNoLaneIdsMessage[] = "No LaneId(s) stored.";
constexpr char kBadLaneIdsMessage[] =
    "Lane Id(s) are not formatted correctly -  they should be 1-8 in length.";
constexpr char kSelectMessage[] = "Select the item you wish to Edit.";

// A dialog test: a parameter store of its own on a private profile, the lanes file in
// a scratch folder, and a message sink that records every message and answers OK.
// Modal dialogs are driven from a poll timer; a guard rejects any modal dialog still
// up after a few seconds, so a test that fails to close one fails instead of hanging.
class LaneDialogsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
    InstallQtMessageUi();
  }

  void SetUp() override {
    profile_ = std::make_unique<platform::fs::Profile>(folder_.File("profile"));
    store_ = std::make_unique<CParamStore>(profile_.get(), &log_);
    QObject::connect(&guard_, &QTimer::timeout, [] {
      while (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        ADD_FAILURE() << "a modal dialog was left open";
        dialog->reject();
      }
    });
    guard_.setSingleShot(true);
    guard_.start(5000);
  }
  void TearDown() override {
    poll_.stop();
    guard_.stop();
    QObject::disconnect(&poll_, nullptr, nullptr, nullptr);
    QObject::disconnect(&guard_, nullptr, nullptr, nullptr);
  }

  // Sets LANE IDS as given, unvalidated, in the test's store.
  void SetLaneIds(const std::string& laneIds) {
    CParamSettings settings;
    settings.ResetToDefaults();
    CParamMap params = settings.GetParams();
    CParamEntry entry;
    ASSERT_TRUE(params.Lookup(kParmLaneIds, &entry));
    params.SetAt(kParmLaneIds, CParamEntry(entry.GetFormat(), entry.GetName(), laneIds));
    settings.SetParams(params);
    ASSERT_TRUE(store_->Replace(settings));
  }

  std::string LanesPath() const { return folder_.File(kLanesFileName); }
  CLanesFile LanesFile() const { return CLanesFile(LanesPath(), &log_); }
  void StoreLanes(const TextMap& lanes) { ASSERT_TRUE(LanesFile().Write(lanes)); }
  TextMap StoredLanes() const {
    TextMap lanes;
    EXPECT_TRUE(LanesFile().Read(lanes));
    return lanes;
  }

  LaneMessageSink Sink() {
    return [this](const std::string& text, unsigned style) {
      messages_.push_back(text);
      EXPECT_EQ(style, 0u) << "a plain OK box";
      return IDOK;
    };
  }
  std::unique_ptr<CLaneSetupDlg> MakeSetupDialog() {
    auto dialog = std::make_unique<CLaneSetupDlg>(nullptr, *store_, LanesFile(), Sink());
    dialog->show();
    return dialog;
  }

  // The list as shown: one "id|description" text per row.
  static std::vector<std::string> Rows(const CLaneSetupDlg& dialog) {
    std::vector<std::string> rows;
    const QTableWidget* list = dialog.LaneList();
    for (int row = 0; row < list->rowCount(); ++row) {
      const QTableWidgetItem* id = list->item(row, 0);
      const QTableWidgetItem* description = list->item(row, 1);
      rows.push_back((id ? id->text() : QString("<none>")).toStdString() + "|" +
                     (description ? description->text() : QString("<none>")).toStdString());
    }
    return rows;
  }

  // Once a modal CLaneEditDlg is up, calls f with it (on the GUI thread, from inside
  // the dialog's own event loop).
  void WhenEditDialogIsUp(std::function<void(CLaneEditDlg*)> f) {
    QObject::disconnect(&poll_, nullptr, nullptr, nullptr);
    QObject::connect(&poll_, &QTimer::timeout, [this, f] {
      if (auto* dialog = qobject_cast<CLaneEditDlg*>(QApplication::activeModalWidget())) {
        poll_.stop();
        f(dialog);
      }
    });
    poll_.start(10);
  }

  ScratchFolder folder_;
  mutable CapturedLog log_;
  std::unique_ptr<platform::fs::Profile> profile_;
  std::unique_ptr<CParamStore> store_;
  std::vector<std::string> messages_;
  QTimer poll_;
  QTimer guard_;
};

TEST_F(LaneDialogsTest, ListShowsTheAssignedLanesWithTheirDescriptions) {
  SetLaneIds("3$12345678$1");
  StoreLanes({{"1", "Front"}, {"3", "Drive\x1CThru"}, {"99", "not assigned"}});
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();

  EXPECT_EQ(Rows(*dialog), (std::vector<std::string>{"3|Drive\x1CThru", "12345678|", "1|Front"}));
  const QTableWidget* list = dialog->LaneList();
  for (int row = 0; row < list->rowCount(); ++row) {
    EXPECT_EQ(list->item(row, 0)->data(Qt::UserRole).toInt(), row);
    EXPECT_TRUE(list->item(row, 0)->textAlignment() & Qt::AlignRight);
  }
  EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "RVCS Lane ID");
  EXPECT_EQ(list->horizontalHeaderItem(1)->text(), "Description");
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_TRUE(messages_.empty());

  // Filling again (as after an edit) does not add rows.
  dialog->FillLaneList();
  EXPECT_EQ(Rows(*dialog).size(), 3u);
}

TEST_F(LaneDialogsTest, AddAndDeleteAreDisabledAndDoNothing) {
  SetLaneIds("1$2");
  StoreLanes({{"1", "a"}});
  const std::string before = [&] {
    std::string bytes;
    EXPECT_TRUE(platform::fs::ReadFile(LanesPath(), &bytes));
    return bytes;
  }();
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  dialog->LaneList()->selectRow(0);

  EXPECT_FALSE(dialog->AddButton()->isEnabled());
  EXPECT_FALSE(dialog->DeleteButton()->isEnabled());
  QTest::mouseClick(dialog->AddButton(), Qt::LeftButton);
  QTest::mouseClick(dialog->DeleteButton(), Qt::LeftButton);
  EXPECT_EQ(Rows(*dialog), (std::vector<std::string>{"1|a", "2|"}));
  EXPECT_TRUE(messages_.empty());
  std::string after;
  ASSERT_TRUE(platform::fs::ReadFile(LanesPath(), &after));
  EXPECT_EQ(after, before);
  EXPECT_TRUE(dialog->isVisible());
}

TEST_F(LaneDialogsTest, BadLaneIdsShowWhyAndLeaveTheListAsItIs) {
  struct Case {
    const char* laneIds;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"", kNoLaneIdsMessage},
      {"1$22$123456789", kBadLaneIdsMessage},  // the third id has 9 characters
      {"1$$3", kBadLaneIdsMessage},            // an empty id
      {"$", kBadLaneIdsMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.laneIds);
    SetLaneIds("7$8");
    auto dialog = MakeSetupDialog();
    dialog->OnInitDialog();
    ASSERT_EQ(Rows(*dialog), (std::vector<std::string>{"7|", "8|"}));

    SetLaneIds(c.laneIds);
    messages_.clear();
    dialog->FillLaneList();
    EXPECT_EQ(messages_, std::vector<std::string>{c.message});
    EXPECT_EQ(Rows(*dialog), (std::vector<std::string>{"7|", "8|"}));
  }

  // Shown from the start, the list stays empty.
  SetLaneIds("1$22$123456789");
  messages_.clear();
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  EXPECT_EQ(messages_, std::vector<std::string>{kBadLaneIdsMessage});
  EXPECT_TRUE(Rows(*dialog).empty());
}

TEST_F(LaneDialogsTest, EditWritesTheDescriptionAndKeepsTheOtherLanes) {
  SetLaneIds("10$20");
  StoreLanes({{"10", "Front"}, {"20", "Back"}, {"99", "from an earlier assignment"}});
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  dialog->LaneList()->selectRow(1);

  bool edited = false;
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    edited = true;
    EXPECT_EQ(edit->windowTitle(), "Lane Edit Dialog");
    EXPECT_EQ(edit->LaneIdEdit()->text(), "20");
    EXPECT_FALSE(edit->LaneIdEdit()->isEnabled());
    EXPECT_EQ(edit->DescriptionEdit()->text(), "Back");
    edit->DescriptionEdit()->setText("Patio");
    QTest::mouseClick(edit->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);

  EXPECT_TRUE(edited);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(StoredLanes(), (TextMap{{"10", "Front"}, {"20", "Patio"}, {"99", "from an earlier assignment"}}));
  EXPECT_EQ(Rows(*dialog), (std::vector<std::string>{"10|Front", "20|Patio"}));

  // A lane without a description yet gets an entry of its own.
  SetLaneIds("10$20$30");
  dialog->FillLaneList();
  dialog->LaneList()->selectRow(2);
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    EXPECT_EQ(edit->DescriptionEdit()->text(), "");
    edit->DescriptionEdit()->setText("New");
    QTest::mouseClick(edit->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);
  EXPECT_EQ(StoredLanes().at("30"), "New");
  EXPECT_EQ(Rows(*dialog).back(), "30|New");
}

TEST_F(LaneDialogsTest, CancelledOrRefusedEditChangesNothing) {
  SetLaneIds("10");
  StoreLanes({{"10", "Front"}});
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  dialog->LaneList()->selectRow(0);

  // A refused description keeps the dialog open; Cancel then leaves the file alone.
  bool refused = false;
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    edit->DescriptionEdit()->setText(QString(51, 'x'));
    QTest::mouseClick(edit->OkButton(), Qt::LeftButton);
    refused = edit->isVisible() && messages_ == std::vector<std::string>{kTooLongDescriptionMessage};
    QTest::mouseClick(edit->CancelButton(), Qt::LeftButton);
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);

  EXPECT_TRUE(refused);
  EXPECT_EQ(StoredLanes(), (TextMap{{"10", "Front"}}));
  EXPECT_EQ(Rows(*dialog), (std::vector<std::string>{"10|Front"}));
}

TEST_F(LaneDialogsTest, EditWithoutASelectionAsksForOne) {
  SetLaneIds("10");
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  dialog->LaneList()->clearSelection();

  bool opened = false;
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    opened = true;
    edit->reject();
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);
  QTest::qWait(30);  // the poll would have seen a dialog by now

  EXPECT_FALSE(opened);
  EXPECT_EQ(messages_, std::vector<std::string>{kSelectMessage});
  EXPECT_FALSE(platform::fs::FileExists(LanesPath()));
}

TEST_F(LaneDialogsTest, EditNeverWritesAfterAFailedRead) {
  SetLaneIds("10");
  ASSERT_TRUE(platform::fs::CreateFolder(LanesPath()));  // exists but cannot be read
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  dialog->LaneList()->selectRow(0);

  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    edit->DescriptionEdit()->setText("Front");
    QTest::mouseClick(edit->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);

  EXPECT_TRUE(platform::fs::FolderExists(LanesPath()));
  for (const std::string& line : log_.Lines()) {
    EXPECT_EQ(line.find("Exception Writing Lanes File"), std::string::npos) << line;
  }
  bool readFailureLogged = false;
  for (const std::string& line : log_.Lines()) readFailureLogged |= line == "Exception Reading Lanes File 10";
  EXPECT_TRUE(readFailureLogged);
}

TEST_F(LaneDialogsTest, ExecFillsTheListAndOkOrCancelOnlyClose) {
  SetLaneIds("10$20");
  StoreLanes({{"20", "Back"}});
  for (QPushButton* (CLaneSetupDlg::*button)() const : {&CLaneSetupDlg::OkButton, &CLaneSetupDlg::CancelButton}) {
    CLaneSetupDlg dialog(nullptr, *store_, LanesFile(), Sink());
    std::vector<std::string> shown;
    QTimer::singleShot(0, [&] {
      shown = Rows(dialog);
      QTest::mouseClick((dialog.*button)(), Qt::LeftButton);
    });
    const int result = dialog.exec();
    EXPECT_EQ(result, button == &CLaneSetupDlg::OkButton ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(shown, (std::vector<std::string>{"10|", "20|Back"}));
    EXPECT_EQ(dialog.windowTitle(), "Lane Setup");
  }
  EXPECT_EQ(StoredLanes(), (TextMap{{"20", "Back"}}));
  EXPECT_TRUE(messages_.empty());
}

// ---------------------------------------------------------------------------------
// CLaneEditDlg on its own

TEST_F(LaneDialogsTest, EditDialogChecksTheLengthsOnOk) {
  struct Case {
    const char* name;
    std::string laneId;
    QString description;
    const char* message;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {"50 characters", "1", QString(50, 'd'), nullptr},
      {"51 characters", "1", QString(51, 'd'), kTooLongDescriptionMessage},
      {"50 non-ASCII characters", "1", QString(50, QChar(0x00E9)), nullptr},
      {"empty description", "12345678", "", nullptr},
      {"empty id", "", "ok", kTooLongIdMessage},
      {"9-character id", "123456789", "ok", kTooLongIdMessage},
      {"both wrong: the description is named", "", QString(60, 'd'), kTooLongDescriptionMessage},
      {"line feed", "1", "a\nb", "Description may not hold a line break."},
      {"carriage return", "1", "a\rb", "Description may not hold a line break."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.clear();
    CLaneEditDlg edit(nullptr, Sink());
    edit.SetLaneId(c.laneId);
    edit.SetDescription("before");
    edit.OnInitDialog();
    edit.show();
    ASSERT_EQ(edit.DescriptionEdit()->text(), "before");
    edit.DescriptionEdit()->setText(c.description);
    QTest::mouseClick(edit.OkButton(), Qt::LeftButton);

    if (c.message == nullptr) {
      EXPECT_TRUE(messages_.empty());
      EXPECT_EQ(edit.result(), QDialog::Accepted);
      EXPECT_FALSE(edit.isVisible());
      EXPECT_EQ(edit.GetDescription(), c.description.toStdString());
      EXPECT_EQ(edit.GetLaneId(), c.laneId);
    } else {
      EXPECT_EQ(messages_, std::vector<std::string>{c.message});
      EXPECT_NE(edit.result(), QDialog::Accepted);
      EXPECT_TRUE(edit.isVisible());
    }
  }
}

// What looks selected is what Edit acts on: the first lane once the list is filled,
// the edited lane again after the list is filled anew.
TEST_F(LaneDialogsTest, TheSelectedLaneIsTheOneEdited) {
  SetLaneIds("10$20$30");
  auto dialog = MakeSetupDialog();
  dialog->OnInitDialog();
  QTableWidget* list = dialog->LaneList();
  auto selected_rows = [list] {
    std::vector<int> rows;
    for (const QModelIndex& index : list->selectionModel()->selectedRows()) rows.push_back(index.row());
    return rows;
  };
  EXPECT_EQ(selected_rows(), std::vector<int>{0});
  EXPECT_EQ(list->currentRow(), 0);

  std::string edited_id;
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    edited_id = edit->LaneIdEdit()->text().toStdString();
    edit->reject();
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);
  EXPECT_EQ(edited_id, "10");
  EXPECT_TRUE(messages_.empty());

  // A click on the third row selects it; after its edit it is still the selected one.
  const QRect third = list->visualItemRect(list->item(2, 1));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
  EXPECT_EQ(selected_rows(), std::vector<int>{2});
  WhenEditDialogIsUp([&](CLaneEditDlg* edit) {
    edited_id = edit->LaneIdEdit()->text().toStdString();
    edit->DescriptionEdit()->setText("Drive-through");
    QTest::mouseClick(edit->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(dialog->EditButton(), Qt::LeftButton);
  EXPECT_EQ(edited_id, "30");
  EXPECT_EQ(StoredLanes(), (TextMap{{"30", "Drive-through"}}));
  EXPECT_EQ(selected_rows(), std::vector<int>{2});
  EXPECT_EQ(list->currentRow(), 2);
}

// Each dialog's title is its own text alone, and the dialog is wide enough for a
// caption to show it whole.
TEST_F(LaneDialogsTest, TitlesAreTheirOwnTextsAndFit) {
  CLaneSetupDlg setup(nullptr, *store_, LanesFile(), Sink());
  CLaneEditDlg edit(nullptr, Sink());
  for (QDialog* dialog : std::initializer_list<QDialog*>{&setup, &edit}) {
    dialog->show();
    EXPECT_GE(dialog->width(), TitleWidth(dialog)) << dialog->windowTitle().toStdString();
    dialog->hide();
  }
  EXPECT_EQ(setup.windowTitle(), "Lane Setup");
  EXPECT_EQ(edit.windowTitle(), "Lane Edit Dialog");
}

}  // namespace
