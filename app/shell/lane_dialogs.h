// The Lane Setup dialog and its Lane Edit dialog. Lane Setup lists the lane ids that
// the configuration service assigned (the merchant parameter LANE IDS, ids separated
// by "$") beside the local description of each from the lanes file, and lets the user
// edit one description at a time; every edit is written to the file at once, so OK
// and Cancel only close the dialog. Adding and deleting lanes is done at the
// configuration service: those buttons are disabled.
//
// Both dialogs belong to the UI thread and take no lock; the parameter store they
// read locks itself. Their messages are plain OK boxes shown through a message sink
// (ShowMessageBox unless a test gives its own), so nothing blocks where no user is.
#pragma once

#include <functional>
#include <string>

#include <QDialog>

#include "app/lanes/lanes.h"
#include "core/vocab/text_helpers.h"

class CParamStore;
class QLineEdit;
class QPushButton;
class QTableWidget;

// Shows a plain message box: the text and ShowMessageBox's style bits; answers the
// command id of the button clicked.
using LaneMessageSink = std::function<int(const std::string& text, unsigned style)>;
// ShowMessageBox.
LaneMessageSink DefaultLaneMessageSink();

// "Lane Edit Dialog": the lane id (shown, not editable) and its description.
// OK accepts only a description of at most 50 characters and a lane id of 1 to 8
// characters; otherwise it shows why and the dialog stays open.
class CLaneEditDlg : public QDialog {
  Q_OBJECT

 public:
  // sink empty: DefaultLaneMessageSink().
  explicit CLaneEditDlg(QWidget* parent = nullptr, LaneMessageSink sink = {});

  // The exchanged values: set before exec(), read after it ended with Accepted.
  void SetLaneId(const std::string& laneId) { m_LaneId = laneId; }
  void SetDescription(const std::string& description) { m_Description = description; }
  std::string GetLaneId() const { return m_LaneId; }
  std::string GetDescription() const { return m_Description; }

  // Puts the values into the controls; exec() does it before showing the dialog.
  void OnInitDialog();
  int exec() override;

  // The controls, for tests.
  QLineEdit* LaneIdEdit() const { return m_LaneIdEdit; }
  QLineEdit* DescriptionEdit() const { return m_DescriptionEdit; }
  QPushButton* OkButton() const { return m_Ok; }
  QPushButton* CancelButton() const { return m_Cancel; }

 public slots:
  // Values from the controls, then the length checks; accepts when they pass.
  void OnOK();

 private:
  LaneMessageSink m_Sink;
  std::string m_LaneId;
  std::string m_Description;

  QLineEdit* m_LaneIdEdit;
  QLineEdit* m_DescriptionEdit;
  QPushButton* m_Ok;
  QPushButton* m_Cancel;
};

// "Lane Setup": the list of assigned lane ids with their descriptions.
class CLaneSetupDlg : public QDialog {
  Q_OBJECT

 public:
  // The process's parameter store and the lanes file in the working folder.
  explicit CLaneSetupDlg(QWidget* parent = nullptr);
  // For tests: another store, lanes file and message sink (empty: the default).
  CLaneSetupDlg(QWidget* parent, const CParamStore& store, CLanesFile lanesFile,
                LaneMessageSink sink = {});

  // The lanes file (see CLanesFile): Read empties and fills lanes, Write replaces the
  // file with lanes, Clear leaves it existing and empty. False after a logged file
  // error. A caller without a dialog at hand uses CLanesFile().Clear() directly.
  bool ReadLanesFile(TextMap& lanes) const { return m_LanesFile.Read(lanes); }
  bool WriteLanesFile(const TextMap& lanes) const { return m_LanesFile.Write(lanes); }
  bool ClearLanesFile() const { return m_LanesFile.Clear(); }

  // Fills the list; exec() does it before showing the dialog.
  void OnInitDialog() { FillLaneList(); }
  int exec() override;

  // Shows the ids of LANE IDS with their descriptions. When LANE IDS holds no id, or
  // an id that is not 1 to 8 characters long, shows why and leaves the list as it is.
  void FillLaneList();

  // The controls, for tests.
  QTableWidget* LaneList() const { return m_LaneList; }
  QPushButton* AddButton() const { return m_Add; }
  QPushButton* DeleteButton() const { return m_Delete; }
  QPushButton* EditButton() const { return m_Edit; }
  QPushButton* OkButton() const { return m_Ok; }
  QPushButton* CancelButton() const { return m_Cancel; }

 public slots:
  // Edits the description of the selected lane in a modal CLaneEditDlg; on OK the
  // file's entry for that id is set and the list filled again. When the file cannot
  // be read, nothing is written, so the other lanes' descriptions are not lost.
  void OnEdit();

 private:
  const CParamStore& m_Store;
  const CLanesFile m_LanesFile;
  LaneMessageSink m_Sink;

  QTableWidget* m_LaneList;
  QPushButton* m_Add;
  QPushButton* m_Delete;
  QPushButton* m_Edit;
  QPushButton* m_Ok;
  QPushButton* m_Cancel;
};
