// The About box ("About"): two pictures of the program's own, the version line
// (control 1021) in blue on white, and OK. UI thread only.
#pragma once

#include <QDialog>
#include <QPixmap>

#include "app/shell/kvr_app.h"

class QLabel;

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  // The version into control 1021; exec() does it before showing the box.
  void OnInitDialog();
  int exec() override;

  QLabel* VersionControl() const { return m_Version; }
  QLabel* Picture(int id) const { return id == 300 ? m_Picture300 : (id == 301 ? m_Picture301 : nullptr); }

  // The two pictures, drawn by the program: a card terminal, and a band of the
  // payment road (terminal, line, host).
  static QPixmap TerminalPicture();
  static QPixmap RoadPicture();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QLabel* m_Picture300;
  QLabel* m_Picture301;
  QLabel* m_Version;
};
