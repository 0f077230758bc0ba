// The traffic messages the host interface posts to the view's list window, and that
// window's handle. Worker threads never touch the window otherwise.
#pragma once

#include <atomic>

#include "platform/window/window.h"

constexpr uint32_t WM_TRAFFIC_IP_REQUEST_SENT = platform::window::WM_APP + 4;
constexpr uint32_t WM_TRAFFIC_IP_RESPONSE_RECEIVED = platform::window::WM_APP + 5;
constexpr uint32_t WM_TRAFFIC_DIAL_REQUEST_SENT = platform::window::WM_APP + 6;
constexpr uint32_t WM_TRAFFIC_DIAL_RESPONSE_RECEIVED = platform::window::WM_APP + 7;
// wParam of the traffic messages.
constexpr uintptr_t kTrafficAuth = 0;
constexpr uintptr_t kTrafficEcho = 20;
constexpr uintptr_t kTrafficAdmin = 21;

// Set by the view when its list exists, 0 before and after; read by any thread.
extern std::atomic<platform::window::WindowHandle> g_TrafficListWnd;

// Posts to g_TrafficListWnd when there is one.
void PostTraffic(uint32_t message, uintptr_t wparam);
