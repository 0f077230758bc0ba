// Instance locks between processes: a name is held by one socket at a time and is
// freed when its holder closes it or dies.
#include "platform/ipc/instance_lock.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace platform::ipc {
namespace {

std::string TestName(const char* what) { return std::string("kvr-lock-test-") + what + "-" + std::to_string(::getpid()); }

TEST(InstanceLockTest, OneHolderInTheProcessAndReleaseFreesIt) {
  const std::string name = TestName("own");
  InstanceLock first;
  InstanceLock second;
  EXPECT_FALSE(InstanceLock::IsHeld(name));
  EXPECT_FALSE(first.Held());
  ASSERT_TRUE(first.Acquire(name));
  EXPECT_TRUE(first.Held());
  EXPECT_TRUE(InstanceLock::IsHeld(name));
  EXPECT_FALSE(second.Acquire(name));
  EXPECT_FALSE(second.Held());
  // Another name is free; taking it releases the first.
  const std::string other = TestName("other");
  ASSERT_TRUE(first.Acquire(other));
  EXPECT_FALSE(InstanceLock::IsHeld(name));
  EXPECT_TRUE(InstanceLock::IsHeld(other));
  EXPECT_TRUE(second.Acquire(name));
  first.Release();
  first.Release();  // twice is harmless
  EXPECT_FALSE(InstanceLock::IsHeld(other));
  {
    InstanceLock scoped;
    ASSERT_TRUE(scoped.Acquire(other));
  }
  EXPECT_FALSE(InstanceLock::IsHeld(other));  // the destructor released it
}

TEST(InstanceLockTest, NamesAreCutToWhatAnAddressHolds) {
  const std::string base = TestName("long");
  const std::string longer = base + std::string(200, 'x');
  const std::string same_start = base + std::string(200, 'x') + "different tail";
  InstanceLock lock;
  ASSERT_TRUE(lock.Acquire(longer));
  EXPECT_TRUE(InstanceLock::IsHeld(same_start));
  EXPECT_FALSE(InstanceLock::IsHeld(base));
}

TEST(InstanceLockTest, AnotherProcessHoldsTheNameUntilItDies) {
  const std::string name = TestName("child");
  int ready[2];
  int finish[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(finish), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    ::close(finish[1]);
    InstanceLock lock;
    const char held = lock.Acquire(name) ? 'y' : 'n';
    if (::write(ready[1], &held, 1) != 1) ::_exit(2);
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(finish[0], &byte, 1);  // until the parent closes
    ::_exit(0);  // no destructor runs: the kernel frees the name
  }
  ::close(ready[1]);
  ::close(finish[0]);
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  EXPECT_EQ(held, 'y');
  EXPECT_TRUE(InstanceLock::IsHeld(name));
  InstanceLock mine;
  EXPECT_FALSE(mine.Acquire(name));

  ::close(finish[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_FALSE(InstanceLock::IsHeld(name));
  EXPECT_TRUE(mine.Acquire(name));
}

}  // namespace
}  // namespace platform::ipc
