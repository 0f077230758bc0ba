#include "host/ip/host_endpoints.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

class HostEndpointsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("KVR_ELAVON_GATEWAY");
    unsetenv("KVR_ELAVON_GATEWAY_SECONDARY");
  }
};

TEST_F(HostEndpointsTest, DefaultGatewayAndItsOverride) {
  unsetenv("KVR_ELAVON_GATEWAY");
  EXPECT_EQ(DefaultGatewayAddress().GetPort(), "443");
  EXPECT_FALSE(DefaultGatewayAddress().GetHost().empty());
  struct Case { const char* value; const char* host; const char* port; } cases[] = {
      {"127.0.0.1:8443", "127.0.0.1", "8443"}, {"localhost", "localhost", "443"}, {"h:", "h:", "443"}};
  for (const Case& c : cases) {
    setenv("KVR_ELAVON_GATEWAY", c.value, 1);
    EXPECT_EQ(DefaultGatewayAddress().GetHost(), c.host) << c.value;
    EXPECT_EQ(DefaultGatewayAddress().GetPort(), c.port) << c.value;
  }
}

TEST_F(HostEndpointsTest, SwitchOnlyForTheEndpointInUse) {
  setenv("KVR_ELAVON_GATEWAY", "gw.test:443", 1);
  CHostEndpoints endpoints;
  EXPECT_EQ(endpoints.GetCurrent().GetHost(), "gw.test");

  EXPECT_TRUE(endpoints.IsPrimaryActive());

  // Neither endpoint: nothing changes.
  EXPECT_EQ(endpoints.Switch("other", "443").GetHost(), "gw.test");
  EXPECT_EQ(endpoints.Switch("gw.test", "0443").GetHost(), "gw.test");
  EXPECT_TRUE(endpoints.IsPrimaryActive());

  // Both endpoints hold the same address: each matching failure toggles.
  endpoints.Switch("gw.test", "443");
  EXPECT_FALSE(endpoints.IsPrimaryActive());
  endpoints.Switch("gw.test", "443");
  EXPECT_TRUE(endpoints.IsPrimaryActive());
  endpoints.Switch("gw.test", "443");
  EXPECT_EQ(endpoints.GetCurrentAndCount().GetPort(), "443");
  endpoints.ResetLocked();
  EXPECT_TRUE(endpoints.IsPrimaryActive());
}

// A secondary endpoint of its own: a failed primary switches to it and back.
TEST_F(HostEndpointsTest, SeparateSecondaryEndpoint) {
  setenv("KVR_ELAVON_GATEWAY", "gw.test:443", 1);
  setenv("KVR_ELAVON_GATEWAY_SECONDARY", "gw2.test:8443", 1);
  CHostEndpoints endpoints;
  EXPECT_EQ(endpoints.GetCurrent().GetHost(), "gw.test");
  EXPECT_EQ(endpoints.Switch("gw.test", "443").GetHost(), "gw2.test");
  EXPECT_EQ(endpoints.GetCurrent().GetPort(), "8443");
  // A late failure report for the primary changes nothing.
  EXPECT_EQ(endpoints.Switch("gw.test", "443").GetHost(), "gw2.test");
  EXPECT_EQ(endpoints.Switch("gw2.test", "8443").GetHost(), "gw.test");
}

}  // namespace
