#include "app/shell/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qt/timed_message_box.h"

namespace {

const QColor kBlue(0, 0, 255);
const QColor kInk(0x20, 0x30, 0x60);

}  // namespace

QPixmap CAboutDlg::TerminalPicture() {
  QPixmap picture(48, 48);
  picture.fill(Qt::white);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  // The terminal's body, its screen and keys.
  p.setPen(QPen(kInk, 1.5));
  p.setBrush(QColor(0xE8, 0xEC, 0xF4));
  p.drawRoundedRect(QRectF(10, 6, 28, 38), 4, 4);
  p.setBrush(QColor(0x9F, 0xC8, 0xE8));
  p.drawRect(QRectF(14, 10, 20, 10));
  p.setBrush(kInk);
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) p.drawRect(QRectF(15 + col * 7, 24 + row * 5, 4, 3));
  }
  // A card in its slot.
  p.setBrush(kBlue);
  p.drawRoundedRect(QRectF(2, 2, 20, 12), 2, 2);
  p.setPen(QPen(Qt::white, 1.5));
  p.drawLine(QPointF(4, 6), QPointF(20, 6));
  return picture;
}

QPixmap CAboutDlg::RoadPicture() {
  QPixmap picture(200, 48);
  picture.fill(Qt::white);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  // Terminal, the line through the server, the host.
  p.setPen(QPen(kInk, 1.5));
  p.setBrush(QColor(0xE8, 0xEC, 0xF4));
  p.drawRoundedRect(QRectF(6, 12, 22, 28), 3, 3);
  p.drawRect(QRectF(84, 10, 32, 30));
  p.drawRect(QRectF(166, 6, 28, 36));
  p.setBrush(kInk);
  for (int i = 0; i < 3; ++i) p.drawRect(QRectF(170, 11 + i * 10, 20, 4));
  p.setPen(QPen(kBlue, 2.5, Qt::DashLine));
  p.drawLine(QPointF(30, 26), QPointF(82, 26));
  p.drawLine(QPointF(118, 26), QPointF(164, 26));
  p.setPen(Qt::NoPen);
  p.setBrush(kBlue);
  QPainterPath arrow;
  arrow.moveTo(164, 26);
  arrow.lineTo(156, 21);
  arrow.lineTo(156, 31);
  arrow.closeSubpath();
  p.drawPath(arrow);
  p.drawEllipse(QPointF(100, 25), 6, 6);
  return picture;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About"));
  setAutoFillBackground(false);
  // Static texts in pure blue on the white face.
  setStyleSheet(QStringLiteral("QLabel { color: rgb(0, 0, 255); background: transparent; }"));

  m_Picture300 = new QLabel(this);
  m_Picture300->setObjectName(QStringLiteral("picture300"));
  m_Picture300->setPixmap(TerminalPicture());
  m_Picture301 = new QLabel(this);
  m_Picture301->setObjectName(QStringLiteral("picture301"));
  m_Picture301->setPixmap(RoadPicture());
  m_Version = new QLabel(this);
  m_Version->setObjectName(QStringLiteral("control1021"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* top = new QHBoxLayout;
  top->addWidget(m_Picture300);
  top->addWidget(m_Picture301);
  top->addStretch();
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(m_Version);
  bottom->addStretch();
  bottom->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(bottom);
  KeepTitleVisible(this);
}

void CAboutDlg::OnInitDialog() { m_Version->setText(QString::fromLatin1(kAboutVersion)); }

int CAboutDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CAboutDlg::paintEvent(QPaintEvent*) {
  // The whole face in white, as the erase of the original box.
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
}
