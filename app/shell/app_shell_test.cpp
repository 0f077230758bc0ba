#include <unistd.h>

#include <gtest/gtest.h>

#include "app/shell/instance_lock.h"
#include "app/shell/kvr_app.h"

namespace {

TEST(CommandLineTest, SwitchesAndTheDeviceIdRule) {
  struct Case {
    const char* line;
    bool service;
    bool launcher;
    const char* id;
  } cases[] = {
      {"", false, false, ""},
      {"/started_as_service", true, false, ""},
      {"/device_id=[AB12]", false, true, "AB12"},
      {"/device_id=[AB]", false, true, "AB"},
      {"/device_id=[A]", false, false, ""},
      {"/device_id=[]", false, false, ""},
      {"[AB12]", false, false, ""},
      {"/started_as_service /device_id=[XY9]", true, true, "XY9"},
      {"/device_id=AB12]", false, false, ""},
      {"/device_id=[AB12", false, false, ""},
  };
  for (const Case& c : cases) {
    const CCommandLine parsed = ParseCommandLine(c.line);
    EXPECT_EQ(parsed.m_StartedAsService, c.service) << c.line;
    EXPECT_EQ(parsed.m_StartedByLauncher, c.launcher) << c.line;
    EXPECT_EQ(parsed.m_DeviceId, c.id) << c.line;
  }
}

TEST(InstanceLockTest, OneHolderAtATime) {
  const std::string name = "kvr-test-lock-" + std::to_string(::getpid());
  EXPECT_FALSE(CInstanceLock::IsHeld(name));
  CInstanceLock first, second;
  ASSERT_TRUE(first.Acquire(name));
  EXPECT_TRUE(CInstanceLock::IsHeld(name));
  EXPECT_FALSE(second.Acquire(name));
  first.Release();
  EXPECT_FALSE(CInstanceLock::IsHeld(name));
  EXPECT_TRUE(second.Acquire(name));
}

}  // namespace
