#include "app/pipe/window_snapshot.h"

#include <sys/stat.h>

#include <cstdlib>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include "platform/fs/files.h"

namespace {

int g_argc = 1;
char g_arg0[] = "window_snapshot_test";
char* g_argv[] = {g_arg0, nullptr};

class SnapshotTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) new QApplication(g_argc, g_argv);
  }
  void SetUp() override {
    char tmpl[] = "/tmp/kvr_snapshot_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

uint32_t Le32(const std::string& b, size_t at) {
  return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8) |
         (static_cast<uint8_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24);
}

TEST(BmpLayoutTest, SizesByDepth) {
  struct Case {
    int width, height;
    uint16_t planes, bits;
    uint32_t colour_bits, colours, row, offset;
  } cases[] = {
      {10, 5, 1, 32, 32, 0, 40, 54},
      {3, 2, 1, 24, 24, 0, 12, 54},
      {10, 5, 1, 16, 16, 65536, 20, 54 + 4 * 65536},
      {10, 5, 1, 8, 8, 256, 12, 54 + 1024},
      {10, 5, 1, 4, 4, 16, 8, 54 + 64},
      {10, 5, 1, 1, 1, 2, 4, 54 + 8},
      {10, 5, 1, 2, 4, 16, 8, 54 + 64},   // rounded up to the next depth
      {10, 5, 2, 16, 32, 0, 40, 54},      // planes count
      {10, 5, 1, 30, 32, 0, 40, 54},      // above 24 counts as 32
  };
  for (const Case& c : cases) {
    BmpLayout l{c.width, c.height, c.planes, c.bits};
    EXPECT_EQ(l.ColourBits(), c.colour_bits) << c.bits;
    EXPECT_EQ(l.ColourCount(), c.colours) << c.bits;
    EXPECT_EQ(l.RowBytes(), c.row) << c.bits;
    EXPECT_EQ(l.BitsOffset(), c.offset) << c.bits;
    EXPECT_EQ(l.ImageSize(), c.row * c.height) << c.bits;
    const std::vector<uint8_t> info = CreateBitmapInfo(l);
    ASSERT_EQ(info.size(), 40 + 4 * c.colours);
  }
  EXPECT_TRUE(CreateBitmapInfo(BmpLayout{0, 5, 1, 32}).empty());
}

TEST_F(SnapshotTest, TwoByTwoGoldenBytes) {
  QImage image(2, 2, QImage::Format_RGB32);
  image.setPixel(0, 0, qRgb(0x11, 0x22, 0x33));
  image.setPixel(1, 0, qRgb(0x44, 0x55, 0x66));
  image.setPixel(0, 1, qRgb(0x77, 0x88, 0x99));
  image.setPixel(1, 1, qRgb(0xAA, 0xBB, 0xCC));
  const std::string path = dir_ + "/two.tmp";
  ASSERT_TRUE(SaveBitmapToBmpFile(path, image));
  std::string bytes;
  ASSERT_TRUE(platform::fs::ReadFile(path, &bytes));
  const unsigned char expected[] = {
      'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                  // file header
      40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 32, 0, 0, 0, 0, 0,     // size, w, h, planes, bits, BI_RGB
      16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,      // image size, ppm x y, used, important
      0x99, 0x88, 0x77, 0, 0xCC, 0xBB, 0xAA, 0,                        // bottom row first, BGRx
      0x33, 0x22, 0x11, 0, 0x66, 0x55, 0x44, 0};
  EXPECT_EQ(bytes, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SnapshotTest, OtherDepthsCarryTheirRowsAndTables) {
  QImage rgb(3, 1, QImage::Format_RGB888);
  rgb.fill(qRgb(1, 2, 3));
  QImage indexed(3, 1, QImage::Format_Indexed8);
  indexed.setColorTable({qRgb(9, 8, 7), qRgb(6, 5, 4)});
  indexed.fill(1);
  struct Case {
    const char* name;
    QImage image;
    uint32_t offset, size;
  } cases[] = {
      {"24 bits", rgb, 54, 54 + 12},
      {"8 bits", indexed, 54 + 1024, 54 + 1024 + 4},
  };
  for (const Case& c : cases) {
    const std::string path = dir_ + "/depth.tmp";
    ASSERT_TRUE(SaveBitmapToBmpFile(path, c.image)) << c.name;
    std::string bytes;
    ASSERT_TRUE(platform::fs::ReadFile(path, &bytes));
    EXPECT_EQ(bytes.size(), c.size) << c.name;
    EXPECT_EQ(Le32(bytes, 10), c.offset) << c.name;
    QImage back;
    ASSERT_TRUE(back.load(QString::fromStdString(path), "BMP")) << c.name;
    EXPECT_EQ(back.pixel(2, 0), c.image.pixel(2, 0)) << c.name;
  }
}

TEST_F(SnapshotTest, FlattenedDialogCapturesAtItsSize) {
  QDialog dialog;
  dialog.resize(240, 120);
  auto* ok = new QPushButton("OK", &dialog);
  auto* check = new QCheckBox("Y", &dialog);
  check->setEnabled(false);
  auto* amount = new QLineEdit("12.50", &dialog);
  amount->setAlignment(Qt::AlignRight);
  amount->setGeometry(10, 10, 100, 24);
  auto* name = new QLineEdit("Store 12", &dialog);
  name->setGeometry(10, 40, 100, 24);
  auto* list = new QComboBox(&dialog);
  list->addItem("COM1");
  list->setGeometry(10, 70, 100, 24);
  auto* password = new QLineEdit("s3cret", &dialog);
  password->setEchoMode(QLineEdit::Password);
  password->setGeometry(120, 10, 100, 24);

  EXPECT_FALSE(FlattenDialogForSnapshot(nullptr));
  ASSERT_TRUE(FlattenDialogForSnapshot(&dialog));
  EXPECT_TRUE(ok->isHidden());
  EXPECT_TRUE(check->isEnabled());
  EXPECT_TRUE(amount->isHidden());
  EXPECT_TRUE(list->isHidden());
  QLabel* right = nullptr;
  QLabel* left = nullptr;
  QLabel* masked = nullptr;
  for (QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text() == "12.50") right = label;
    if (label->text() == "COM1") left = label;
    EXPECT_NE(label->text(), "s3cret") << "a password box shows its mask in the picture";
    if (label->geometry() == QRect(123, 13, 94, 18)) masked = label;
  }
  ASSERT_NE(masked, nullptr);
  EXPECT_EQ(masked->text(), password->displayText());
  EXPECT_EQ(masked->text().size(), 6);
  ASSERT_NE(right, nullptr);
  ASSERT_NE(left, nullptr);
  EXPECT_TRUE(right->alignment() & Qt::AlignRight);
  EXPECT_TRUE(left->alignment() & Qt::AlignLeft);
  EXPECT_EQ(right->geometry(), QRect(13, 13, 94, 18));

  EXPECT_FALSE(CaptureWindowToBmp(nullptr, dir_ + "/x.tmp"));
  EXPECT_FALSE(CaptureWindowToBmp(&dialog, ""));
  EXPECT_FALSE(platform::fs::FileExists(dir_ + "/x.tmp"));
  const std::string path = dir_ + "/setup.tmp";
  ASSERT_TRUE(CaptureWindowToBmp(&dialog, path));
  QImage back;
  ASSERT_TRUE(back.load(QString::fromStdString(path), "BMP"));
  EXPECT_EQ(back.size(), QSize(240, 120));
}

TEST_F(SnapshotTest, AFailedWriteLeavesNoFile) {
  QImage image(2, 2, QImage::Format_RGB32);
  image.fill(0);
  EXPECT_FALSE(SaveBitmapToBmpFile(dir_ + "/missing/x.tmp", image));
  EXPECT_FALSE(platform::fs::FileExists(dir_ + "/missing/x.tmp"));
}

}  // namespace
