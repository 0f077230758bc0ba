#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "app/qt/timed_message_box.h"
#include "app/shell/about_dialog.h"
#include "app/shell/instance_lock.h"
#include "app/shell/kvr_app.h"

namespace {

TEST(CommandLineTest, SwitchesAndTheDeviceIdRule) {
  struct Case {
    const char* line;
    bool service;
    bool launcher;
    const char* id;
  } cases[] = {
      {"", false, false, ""},
      {"/started_as_service", true, false, ""},
      {"/device_id=[AB12]", false, true, "AB12"},
      {"/device_id=[AB]", false, true, "AB"},
      {"/device_id=[A]", false, false, ""},
      {"/device_id=[]", false, false, ""},
      {"[AB12]", false, false, ""},
      {"/started_as_service /device_id=[XY9]", true, true, "XY9"},
      {"/device_id=AB12]", false, false, ""},
      {"/device_id=[AB12", false, false, ""},
  };
  for (const Case& c : cases) {
    const CCommandLine parsed = ParseCommandLine(c.line);
    EXPECT_EQ(parsed.m_StartedAsService, c.service) << c.line;
    EXPECT_EQ(parsed.m_StartedByLauncher, c.launcher) << c.line;
    EXPECT_EQ(parsed.m_DeviceId, c.id) << c.line;
  }
}

TEST(InstanceLockTest, OneHolderAtATime) {
  const std::string name = "kvr-test-lock-" + std::to_string(::getpid());
  EXPECT_FALSE(CInstanceLock::IsHeld(name));
  CInstanceLock first, second;
  ASSERT_TRUE(first.Acquire(name));
  EXPECT_TRUE(CInstanceLock::IsHeld(name));
  EXPECT_FALSE(second.Acquire(name));
  first.Release();
  EXPECT_FALSE(CInstanceLock::IsHeld(name));
  EXPECT_TRUE(second.Acquire(name));
}

// The About box: its title, two pictures, the version line in blue on white, OK,
// and nothing else; wide enough for its title.
TEST(AboutDialogTest, PicturesVersionAndOkOnly) {
  static int argc = 1;
  static char arg0[] = "app_shell_test";
  static char* argv[] = {arg0, nullptr};
  if (!QCoreApplication::instance()) new QApplication(argc, argv);
  InstallQtMessageUi();
  CAboutDlg about;
  about.OnInitDialog();
  about.show();
  EXPECT_EQ(about.windowTitle(), "About");
  EXPECT_GE(about.width(), TitleWidth(&about));
  EXPECT_EQ(about.VersionControl()->text(), "5.06.18-0001");
  for (int id : {300, 301}) {
    ASSERT_NE(about.Picture(id), nullptr);
    EXPECT_FALSE(about.Picture(id)->pixmap().isNull()) << id;
    EXPECT_TRUE(about.Picture(id)->text().isEmpty()) << id;
  }
  const QList<QLabel*> labels = about.findChildren<QLabel*>();
  EXPECT_EQ(labels.size(), 3);
  const QList<QPushButton*> buttons = about.findChildren<QPushButton*>();
  ASSERT_EQ(buttons.size(), 1);
  EXPECT_EQ(buttons.front()->text(), "OK");
  const QImage face = about.grab().toImage();
  EXPECT_EQ(face.pixelColor(2, 2), QColor(Qt::white));
  EXPECT_EQ(about.VersionControl()->palette().color(QPalette::WindowText), QColor(0, 0, 255));
}

}  // namespace
