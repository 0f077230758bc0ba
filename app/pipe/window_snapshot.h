// A picture of a dialog for the launcher: FlattenDialogForSnapshot makes it look like a
// printed form (no buttons to press, edit and list boxes replaced by framed plain
// text), CaptureWindowToBmp renders its client area, SaveBitmapToBmpFile writes a
// standard BMP file (CreateBitmapInfo builds its header). Stateless; run them on the
// thread that owns the widget.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class QImage;
class QWidget;

// The shape of a device-independent bitmap as the BMP file describes it.
struct BmpLayout {
  int32_t width = 0;
  int32_t height = 0;
  uint16_t planes = 1;
  uint16_t bit_count = 32;  // the bitmap's own bits per pixel
  uint32_t ColourBits() const;   // planes x bit count, rounded up to 1, 4, 8, 16, 24 or 32
  uint32_t ColourCount() const;  // 2^colour bits below 24, else 0
  uint32_t RowBytes() const;
  uint32_t ImageSize() const;
  uint32_t BitsOffset() const;   // 14 + 40 + 4 x colour count
  uint32_t FileSize() const;
};

bool FlattenDialogForSnapshot(QWidget* dialog);
// Renders the widget's client area and saves it; false for a null widget or an
// empty path, or when the file could not be written.
bool CaptureWindowToBmp(QWidget* window, const std::string& path);
// Writes image as a BMP file of mode 0600, whole or not at all (no partial file is
// left behind). Indexed images keep their colour table; other formats are written at
// their own depth (16, 24 or 32 bits).
bool SaveBitmapToBmpFile(const std::string& path, const QImage& image);
// The 40-byte info header followed by room for the colour table, zero-filled, with
// the colour table's entries left zero; empty when the layout cannot be described.
std::vector<uint8_t> CreateBitmapInfo(const BmpLayout& layout);
