#include "core/vocab/bool_value.h"

#include <memory>
#include <type_traits>

#include <gtest/gtest.h>

namespace {

static_assert(std::is_polymorphic_v<CBoolValue>);
static_assert(std::has_virtual_destructor_v<CBoolValue>);

struct Holder : CBoolValue {
  std::unique_ptr<int> extra = std::make_unique<int>(7);
};

TEST(CBoolValueTest, StartsFalseAndIsSetDirectly) {
  CBoolValue flag;
  EXPECT_FALSE(flag.m_Value);
  flag.m_Value = true;
  const CBoolValue copy = flag;
  EXPECT_TRUE(copy.m_Value);
}

TEST(CBoolValueTest, DeletesThroughTheBase) {
  // The derived part is released too (the sanitizer run reports a leak otherwise).
  std::unique_ptr<CBoolValue> flag = std::make_unique<Holder>();
  EXPECT_FALSE(flag->m_Value);
}

}  // namespace
