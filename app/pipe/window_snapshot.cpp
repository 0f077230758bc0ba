#include "app/pipe/window_snapshot.h"

#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include "platform/fs/files.h"

namespace {

constexpr int kMaxControlText = 2048;

void PutLe16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = static_cast<uint8_t>(v);
  out[at + 1] = static_cast<uint8_t>(v >> 8);
}
void PutLe32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Replaces an edit or list box by a grey frame with the control's text inside.
void ReplaceByText(QWidget* dialog, QWidget* control, const QString& text, Qt::Alignment horizontal) {
  const QRect rect = control->geometry();
  auto* frame = new QFrame(dialog);
  frame->setFrameStyle(QFrame::Box | QFrame::Plain);
  frame->setStyleSheet(QStringLiteral("color: gray;"));
  frame->setGeometry(rect);
  frame->show();
  auto* label = new QLabel(text.left(kMaxControlText), dialog);
  label->setFont(control->font());
  label->setAlignment(horizontal | Qt::AlignVCenter);
  label->setGeometry(rect.adjusted(3, 3, -3, -3));
  label->show();
  control->hide();
}

}  // namespace

uint32_t BmpLayout::ColourBits() const {
  const uint32_t bits = static_cast<uint32_t>(planes) * bit_count;
  if (bits <= 1) return 1;
  if (bits <= 4) return 4;
  if (bits <= 8) return 8;
  if (bits <= 16) return 16;
  if (bits <= 24) return 24;
  return 32;
}

uint32_t BmpLayout::ColourCount() const {
  const uint32_t bits = ColourBits();
  return bits < 24 ? (1u << bits) : 0u;
}

uint32_t BmpLayout::RowBytes() const { return ((static_cast<uint32_t>(width) * ColourBits() + 31) & ~31u) / 8; }
uint32_t BmpLayout::ImageSize() const { return RowBytes() * static_cast<uint32_t>(height); }
uint32_t BmpLayout::BitsOffset() const { return 14 + 40 + 4 * ColourCount(); }
uint32_t BmpLayout::FileSize() const { return BitsOffset() + ImageSize(); }

std::vector<uint8_t> CreateBitmapInfo(const BmpLayout& layout) {
  if (layout.width <= 0 || layout.height <= 0 || layout.planes == 0 || layout.bit_count == 0) return {};
  // Far beyond any dialog: keeps every size inside 32 bits.
  if (layout.width > 32768 || layout.height > 32768) return {};
  std::vector<uint8_t> info(40 + 4 * layout.ColourCount(), 0);
  PutLe32(info, 0, 40);
  PutLe32(info, 4, static_cast<uint32_t>(layout.width));
  PutLe32(info, 8, static_cast<uint32_t>(layout.height));
  PutLe16(info, 12, layout.planes);
  PutLe16(info, 14, layout.bit_count);
  PutLe32(info, 16, 0);  // BI_RGB
  PutLe32(info, 20, layout.ImageSize());
  PutLe32(info, 32, layout.ColourCount());
  return info;
}

bool FlattenDialogForSnapshot(QWidget* dialog) {
  if (!dialog) return false;
  const QList<QWidget*> children = dialog->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  for (QWidget* child : children) {
    if (auto* button = qobject_cast<QPushButton*>(child)) {
      button->hide();
    } else if (auto* edit = qobject_cast<QLineEdit*>(child)) {
      // What the box shows: a password box keeps its mask in the picture.
      ReplaceByText(dialog, edit, edit->displayText(),
                    (edit->alignment() & Qt::AlignRight) ? Qt::AlignRight : Qt::AlignLeft);
    } else if (auto* combo = qobject_cast<QComboBox*>(child)) {
      ReplaceByText(dialog, combo, combo->currentText(), Qt::AlignLeft);
    } else {
      child->setEnabled(true);
    }
  }
  return true;
}

bool SaveBitmapToBmpFile(const std::string& path, const QImage& source) {
  if (path.empty() || source.isNull()) return false;
  QImage image = source;
  // The depths a BMP row can carry as it is; anything else is written at 32 bits.
  switch (image.format()) {
    case QImage::Format_Indexed8:
    case QImage::Format_RGB888:
    case QImage::Format_RGB32:
      break;
    case QImage::Format_Grayscale8:
      image = image.convertToFormat(QImage::Format_Indexed8);
      break;
    case QImage::Format_RGB16:
      image = image.convertToFormat(QImage::Format_RGB555);
      break;
    default:
      image = image.convertToFormat(QImage::Format_RGB32);
      break;
  }
  BmpLayout layout;
  layout.width = image.width();
  layout.height = image.height();
  layout.bit_count = static_cast<uint16_t>(image.depth());
  std::vector<uint8_t> info = CreateBitmapInfo(layout);
  if (info.empty()) return false;
  if (image.format() == QImage::Format_Indexed8) {
    const QList<QRgb> table = image.colorTable();
    for (int i = 0; i < table.size() && i < 256; ++i) {
      info[40 + 4 * i] = static_cast<uint8_t>(qBlue(table[i]));
      info[40 + 4 * i + 1] = static_cast<uint8_t>(qGreen(table[i]));
      info[40 + 4 * i + 2] = static_cast<uint8_t>(qRed(table[i]));
    }
  }

  std::vector<uint8_t> file(14, 0);
  file[0] = 'B';
  file[1] = 'M';
  PutLe32(file, 2, layout.FileSize());
  PutLe32(file, 10, layout.BitsOffset());
  file.insert(file.end(), info.begin(), info.end());

  const uint32_t row_bytes = layout.RowBytes();
  for (int y = layout.height - 1; y >= 0; --y) {  // bottom-up
    std::vector<uint8_t> row(row_bytes, 0);
    const uchar* line = image.constScanLine(y);
    switch (layout.bit_count) {
      case 32:
        for (int x = 0; x < layout.width; ++x) {
          const QRgb p = reinterpret_cast<const QRgb*>(line)[x];
          row[4 * x] = static_cast<uint8_t>(qBlue(p));
          row[4 * x + 1] = static_cast<uint8_t>(qGreen(p));
          row[4 * x + 2] = static_cast<uint8_t>(qRed(p));
        }
        break;
      case 24:
        for (int x = 0; x < layout.width; ++x) {
          row[3 * x] = line[3 * x + 2];
          row[3 * x + 1] = line[3 * x + 1];
          row[3 * x + 2] = line[3 * x];
        }
        break;
      case 16:  // RGB555, little-endian like the display's own rows
      case 8:
        std::copy(line, line + static_cast<size_t>(layout.width) * layout.bit_count / 8, row.begin());
        break;
      default:
        return false;
    }
    file.insert(file.end(), row.begin(), row.end());
  }
  // The picture may show the merchant's parameters: readable by the owner only.
  return platform::fs::ReplaceFile(path,
                                   std::string_view(reinterpret_cast<const char*>(file.data()), file.size()), 0600);
}

bool CaptureWindowToBmp(QWidget* window, const std::string& path) {
  if (!window || path.empty()) return false;
  const QImage image = window->grab().toImage();
  if (image.isNull()) return false;
  return SaveBitmapToBmpFile(path, image);
}
