#include "app/pipe/app_pipe_source.h"

#include <utility>

#include "app/pipe/pipe_server.h"
#include "app/pipe/window_snapshot.h"
#include "app/qt/timed_message_box.h"
#include "platform/fs/files.h"

CAppPipeCommandSource::CAppPipeCommandSource(QTreeWidget* trafficList, DialogFactory factory, uint32_t uiWaitMs)
    : m_TrafficList(trafficList),
      m_Factory(std::move(factory)),
      m_UiWaitMs(uiWaitMs) {}

bool CAppPipeCommandSource::OnUiThread(const std::function<void()>& fn) {
  return m_Ui.Run(fn, CurrentPipeStopEvent(), m_UiWaitMs);
}

std::string CAppPipeCommandSource::MainWindowText() {
  std::string text;
  OnUiThread([&text] {
    if (QWidget* window = GetMainWindow()) text = window->windowTitle().toStdString();
  });
  return text;
}

std::vector<std::string> CAppPipeCommandSource::TrafficLines() {
  std::vector<std::string> lines;
  OnUiThread([this, &lines] {
    if (!m_TrafficList) return;
    const int count = m_TrafficList->topLevelItemCount();
    lines.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) lines.push_back(m_TrafficList->topLevelItem(i)->text(0).toStdString());
  });
  return lines;
}

SettingsFormResult CAppPipeCommandSource::SaveSettingsForm(const std::string& path) {
  SettingsFormResult result = SettingsFormResult::kNoDialog;
  OnUiThread([this, &path, &result] {
    std::unique_ptr<QWidget> dialog = m_Factory ? m_Factory() : nullptr;
    if (!dialog) return;  // kNoDialog
    if (!FlattenDialogForSnapshot(dialog.get())) {
      result = SettingsFormResult::kNotFlattened;
    } else if (!CaptureWindowToBmp(dialog.get(), path)) {
      // The writer replaces the file whole or not at all; anything by that name
      // now would be a leftover of this attempt.
      platform::fs::RemoveFile(path);
      result = SettingsFormResult::kNotCaptured;
    } else {
      result = SettingsFormResult::kSaved;
    }
    dialog.reset();  // destroyed in every case once created
  });
  return result;
}
