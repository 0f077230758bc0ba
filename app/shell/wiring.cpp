#include "app/shell/wiring.h"

#include "app/shell/kvr_app.h"
#include "app/shell/kvr_view.h"
#include "app/shell/main_frame.h"

void WireApplication(CKVRElavonIP_HostApp& app) {
  CMainFrame* frame = app.MainFrame();
  if (!frame) return;
  CViewHooks hooks;
  frame->View()->SetHooks(hooks);
}
