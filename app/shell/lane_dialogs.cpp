#include "app/shell/lane_dialogs.h"

#include <utility>

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/qt/timed_message_box.h"
#include "core/params/param_store.h"

namespace {

constexpr unsigned kOkBox = 0;  // MB_OK
constexpr int kMaxDescriptionLength = 50;
constexpr int kMaxLaneIdLength = 8;
constexpr int kLaneIdColumnWidth = 150;
constexpr int kDescriptionColumnWidth = 200;

QString ToQt(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) { return text.toLocal8Bit().toStdString(); }

// Characters as the user sees them (code points, not bytes or UTF-16 units).
int CharacterCount(const QString& text) { return static_cast<int>(text.toUcs4().size()); }

LaneMessageSink OrDefault(LaneMessageSink sink) {
  return sink ? std::move(sink) : DefaultLaneMessageSink();
}

}  // namespace

LaneMessageSink DefaultLaneMessageSink() {
  return [](const std::string& text, unsigned style) { return ShowMessageBox(text, style); };
}

// ---------------------------------------------------------------------------------
// CLaneEditDlg

CLaneEditDlg::CLaneEditDlg(QWidget* parent, LaneMessageSink sink)
    : QDialog(parent), m_Sink(OrDefault(std::move(sink))) {
  setWindowTitle("Lane Edit Dialog");

  m_LaneIdEdit = new QLineEdit(this);
  m_LaneIdEdit->setObjectName("laneIdEdit");
  m_LaneIdEdit->setAlignment(Qt::AlignRight);
  m_LaneIdEdit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), m_LaneIdEdit));
  m_LaneIdEdit->setEnabled(false);  // the id of a lane cannot be changed

  m_DescriptionEdit = new QLineEdit(this);
  m_DescriptionEdit->setObjectName("descriptionEdit");

  m_Ok = new QPushButton("OK", this);
  m_Ok->setDefault(true);
  m_Cancel = new QPushButton("Cancel", this);
  connect(m_Ok, &QPushButton::clicked, this, &CLaneEditDlg::OnOK);
  connect(m_Cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* fields = new QFormLayout;
  fields->addRow("RVCS Lane ID", m_LaneIdEdit);
  fields->addRow("Description", m_DescriptionEdit);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(m_Ok);
  buttons->addWidget(m_Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);
  KeepTitleVisible(this);
}

void CLaneEditDlg::OnInitDialog() {
  m_LaneIdEdit->setText(ToQt(m_LaneId));
  m_DescriptionEdit->setText(ToQt(m_Description));
}

int CLaneEditDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CLaneEditDlg::OnOK() {
  const QString laneId = m_LaneIdEdit->text();
  const QString description = m_DescriptionEdit->text();
  m_LaneId = FromQt(laneId);
  m_Description = FromQt(description);

  // A line break would split the description's line in the lanes file.
  if (description.contains(QLatin1Char('\r')) || description.contains(QLatin1Char('\n'))) {
    m_Sink("Description may not hold a line break.", kOkBox);
    return;
  }
  if (CharacterCount(description) > kMaxDescriptionLength) {
    m_Sink("Description is too long (50 chars max).", kOkBox);
    return;
  }
  const int idLength = CharacterCount(laneId);
  if (idLength < 1 || idLength > kMaxLaneIdLength) {
    m_Sink("RVCS Lane IDs must be 1-8 digits.", kOkBox);
    return;
  }
  accept();
}

// ---------------------------------------------------------------------------------
// CLaneSetupDlg

CLaneSetupDlg::CLaneSetupDlg(QWidget* parent) : CLaneSetupDlg(parent, g_ParamStore, CLanesFile()) {}

CLaneSetupDlg::CLaneSetupDlg(QWidget* parent, const CParamStore& store, CLanesFile lanesFile,
                             LaneMessageSink sink)
    : QDialog(parent), m_Store(store), m_LanesFile(std::move(lanesFile)), m_Sink(OrDefault(std::move(sink))) {
  setWindowTitle("Lane Setup");

  m_LaneList = new QTableWidget(0, 2, this);
  m_LaneList->setObjectName("laneList");
  m_LaneList->setSelectionBehavior(QAbstractItemView::SelectRows);  // full-row selection
  m_LaneList->setSelectionMode(QAbstractItemView::SingleSelection);
  m_LaneList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_LaneList->setShowGrid(true);
  m_LaneList->verticalHeader()->hide();
  m_LaneList->setWordWrap(false);
  auto* idHeader = new QTableWidgetItem("RVCS Lane ID");
  idHeader->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_LaneList->setHorizontalHeaderItem(0, idHeader);
  auto* descriptionHeader = new QTableWidgetItem("Description");
  descriptionHeader->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_LaneList->setHorizontalHeaderItem(1, descriptionHeader);
  m_LaneList->setColumnWidth(0, kLaneIdColumnWidth);
  m_LaneList->setColumnWidth(1, kDescriptionColumnWidth);

  m_Add = new QPushButton("Add", this);
  m_Add->setEnabled(false);
  m_Delete = new QPushButton("Delete", this);
  m_Delete->setEnabled(false);
  m_Edit = new QPushButton("Edit", this);
  m_Ok = new QPushButton("OK", this);
  m_Ok->setDefault(true);
  m_Cancel = new QPushButton("Cancel", this);
  connect(m_Edit, &QPushButton::clicked, this, &CLaneSetupDlg::OnEdit);
  connect(m_Ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(m_Cancel, &QPushButton::clicked, this, &QDialog::reject);

  auto* note = new QLabel("Add and Delete Functionality Now Handled Via RVCS Website.", this);

  auto* side = new QVBoxLayout;
  side->addWidget(m_Add);
  side->addWidget(m_Delete);
  side->addWidget(m_Edit);
  side->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(m_LaneList, 1);
  top->addLayout(side);
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(note, 1);
  bottom->addWidget(m_Ok);
  bottom->addWidget(m_Cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(bottom);
  resize(kLaneIdColumnWidth + kDescriptionColumnWidth + 140, 320);
  KeepTitleVisible(this);
}

int CLaneSetupDlg::exec() {
  OnInitDialog();
  return QDialog::exec();
}

void CLaneSetupDlg::FillLaneList() {
  const std::string laneIds = m_Store.GetSettings().GetParams().GetParamValue(kParmLaneIds);
  FieldMap fields;
  SplitToMap('$', laneIds, fields);
  if (fields.empty()) {
    m_Sink("No LaneId(s) stored.", kOkBox);
    return;
  }
  for (const auto& [number, id] : fields) {
    if (id.empty() || id.size() > static_cast<size_t>(kMaxLaneIdLength)) {
      m_Sink("Lane Id(s) are not formatted correctly -  they should be 1-8 in length.", kOkBox);
      return;
    }
  }

  // The lane selected before stays selected; else the first one is: what looks
  // selected is what Edit acts on.
  QString selectedId;
  const QList<QTableWidgetItem*> before = m_LaneList->selectedItems();
  if (!before.isEmpty()) {
    if (const QTableWidgetItem* item = m_LaneList->item(before.front()->row(), 0)) selectedId = item->text();
  }

  m_LaneList->setUpdatesEnabled(false);
  m_LaneList->clearContents();
  m_LaneList->setRowCount(0);
  TextMap lanes;
  ReadLanesFile(lanes);
  m_LaneList->setRowCount(static_cast<int>(fields.size()));
  int row = 0;
  for (const auto& [number, id] : fields) {
    auto* idItem = new QTableWidgetItem(ToQt(id));
    idItem->setData(Qt::UserRole, row);
    idItem->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_LaneList->setItem(row, 0, idItem);
    m_LaneList->setItem(row, 1, new QTableWidgetItem(ToQt(LookupString(lanes, id))));
    ++row;
  }
  int selectedRow = 0;
  for (int r = 0; r < m_LaneList->rowCount(); ++r) {
    if (!selectedId.isEmpty() && m_LaneList->item(r, 0)->text() == selectedId) selectedRow = r;
  }
  m_LaneList->setCurrentCell(selectedRow, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_LaneList->setUpdatesEnabled(true);
}

void CLaneSetupDlg::OnEdit() {
  const QList<QTableWidgetItem*> selected = m_LaneList->selectedItems();
  if (selected.isEmpty()) {
    m_Sink("Select the item you wish to Edit.", kOkBox);
    return;
  }
  const int row = selected.front()->row();
  const QTableWidgetItem* idItem = m_LaneList->item(row, 0);
  const QTableWidgetItem* descriptionItem = m_LaneList->item(row, 1);
  const std::string laneId = idItem ? FromQt(idItem->text()) : std::string();

  CLaneEditDlg edit(this, m_Sink);
  edit.SetLaneId(laneId);
  edit.SetDescription(descriptionItem ? FromQt(descriptionItem->text()) : std::string());
  if (edit.exec() != QDialog::Accepted) return;

  TextMap lanes;
  if (!ReadLanesFile(lanes)) return;  // writing now would drop every other description
  lanes[laneId] = edit.GetDescription();
  WriteLanesFile(lanes);
  FillLaneList();
}
