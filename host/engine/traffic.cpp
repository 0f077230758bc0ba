#include "host/engine/traffic.h"

std::atomic<platform::window::WindowHandle> g_TrafficListWnd{0};

void PostTraffic(uint32_t message, uintptr_t wparam) {
  const platform::window::WindowHandle window = g_TrafficListWnd.load();
  if (window) platform::window::PostMessage(window, message, wparam, 0);
}
