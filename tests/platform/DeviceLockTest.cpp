#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/DeviceLock.h"

namespace {

using platform::DeviceLock;

// The busy holder's text and the release the window and command-line tests show.
TEST(DeviceLockTest, ClaimOfOneDevice_blocksNoOther) {
  std::unique_ptr<DeviceLock> first, second;
  std::string holder;
  ASSERT_EQ(DeviceLock::tryAcquire("5RHM10000001", "firmware upgrade", first, holder), DeviceLock::Result::Acquired);
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000001", "Wi-Fi configuration", second, holder), DeviceLock::Result::Busy);
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000002", "firmware upgrade", second, holder), DeviceLock::Result::Acquired);
}

// The kernel drops the claim of a process that died: a crashed run never
// blocks the device.
TEST(DeviceLockTest, HolderThatDied_leavesTheDeviceFree) {
  std::unique_ptr<DeviceLock> lock;
  std::string holder;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    bool taken = DeviceLock::tryAcquire("5RHM10000003", "firmware upgrade", lock, holder) == DeviceLock::Result::Acquired;
    _exit(taken ? 0 : 1);  // no destructor runs
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(DeviceLock::anyHeld(holder)) << holder;
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000003", "firmware upgrade", lock, holder), DeviceLock::Result::Acquired);
}

TEST(DeviceLockTest, KeyFromOutside_staysInsideTheRunFolder) {
  for (const char* key : {"../../etc/passwd", "a/b", "", "..", "5RHM\n1"}) {
    const std::filesystem::path path = DeviceLock::lockPath(key);
    EXPECT_EQ(path.parent_path(), std::filesystem::path(DeviceLock::lockDir())) << key;
    EXPECT_EQ(path.filename().string().find('/'), std::string::npos) << key;
    EXPECT_NE(path.filename(), "..") << key;
  }
}

}  // namespace
