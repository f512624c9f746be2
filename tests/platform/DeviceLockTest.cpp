#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/DeviceLock.h"
#include "support/TestEnv.h"

namespace {

using platform::DeviceLock;
namespace fs = std::filesystem;

// The busy holder's text and the release the window and command-line tests show.
TEST(DeviceLockTest, ClaimOfOneDevice_blocksNoOther) {
  std::unique_ptr<DeviceLock> first, second;
  std::string holder;
  ASSERT_EQ(DeviceLock::tryAcquire("5RHM10000001", "firmware upgrade", first, holder), DeviceLock::Result::Acquired);
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000001", "Wi-Fi configuration", second, holder), DeviceLock::Result::Busy);
  EXPECT_EQ(holder.rfind("firmware upgrade by process " + std::to_string(getpid()) + " of user ", 0), 0u) << holder;
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000002", "firmware upgrade", second, holder), DeviceLock::Result::Acquired);
  first.reset();
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000001", "firmware upgrade", first, holder), DeviceLock::Result::Acquired);
}

// A claim made by another process under another working root is seen, by
// its key or by its place, and only there; the kernel drops it when its
// holder dies, so a crashed run never blocks the device.
TEST(DeviceLockTest, ClaimOfAnotherRootAndProcess_isSeenUntilItsHolderDies) {
  testsupport::ScopedEnv env;
  int toChild[2], fromChild[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(fromChild), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("TARNFIELD_HOME", "/tmp/kestrel-other-root", 1);
    std::unique_ptr<DeviceLock> lock;
    std::string holder;
    char taken = DeviceLock::tryAcquire("5RHM10000003", "firmware upgrade", lock, holder, "tcp 127.0.0.1:4000") ==
                 DeviceLock::Result::Acquired;
    char go = 0;
    if (write(fromChild[1], &taken, 1) != 1 || read(toChild[0], &go, 1) < 0) _exit(2);
    _exit(0);  // no destructor runs
  }
  char taken = 0;
  ASSERT_EQ(read(fromChild[0], &taken, 1), 1);
  ASSERT_TRUE(taken);
  env.set("TARNFIELD_HOME", "/tmp/kestrel-this-root");
  std::unique_ptr<DeviceLock> lock;
  std::string holder;
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000003", "firmware upgrade", lock, holder), DeviceLock::Result::Busy);
  EXPECT_NE(holder.find("by process " + std::to_string(child)), std::string::npos) << holder;
  struct Look {
    const char* key;
    const char* where;
    bool claimed;
  };
  for (const Look& look : {Look{"5RHM10000003", "", true}, Look{"", "tcp 127.0.0.1:4000", true},
                           Look{"5RHM10000004", "tcp 127.0.0.1:4001", false}}) {
    EXPECT_EQ(DeviceLock::isClaimed(look.key, look.where, holder), look.claimed) << look.key << look.where;
  }
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_FALSE(DeviceLock::isClaimed("5RHM10000003", "tcp 127.0.0.1:4000", holder)) << holder;
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000003", "firmware upgrade", lock, holder), DeviceLock::Result::Acquired);
  for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
}

// Looking at claims takes no lock, so a claim made meanwhile never fails.
TEST(DeviceLockTest, LookingAtClaims_neverMakesAClaimFail) {
  std::atomic<bool> done{false};
  std::thread looker([&] {
    std::string holder;
    while (!done) DeviceLock::isClaimed("5RHM10000005", "", holder);
  });
  int busy = 0;
  for (int i = 0; i < 2000; ++i) {
    std::unique_ptr<DeviceLock> lock;
    std::string holder;
    if (DeviceLock::tryAcquire("5RHM10000005", "firmware upgrade", lock, holder) != DeviceLock::Result::Acquired) {
      ++busy;
    }
  }
  done = true;
  looker.join();
  EXPECT_EQ(busy, 0);
}

// Every user shares the folder: what is found there is never followed,
// truncated or trusted, and a claim that cannot be made says why.
TEST(DeviceLockTest, HostileOrUnusableClaimFiles_failWithTheirCause) {
  testsupport::ScopedEnv env;
  testsupport::TempFolder folder("claims");
  const std::string dir = folder.file("shared");
  env.set("KESTREL_LOCK_DIR", dir.c_str());
  std::unique_ptr<DeviceLock> lock;
  std::string holder;
  const mode_t oldMask = umask(077);
  ASSERT_EQ(DeviceLock::tryAcquire("5RHM10000006", "firmware upgrade", lock, holder), DeviceLock::Result::Acquired);
  umask(oldMask);
  lock.reset();
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::all | fs::perms::sticky_bit) << "every user adds claims";
  EXPECT_EQ(fs::status(DeviceLock::lockPath("5RHM10000006")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::group_write |
                fs::perms::others_read | fs::perms::others_write);

  const std::string target = folder.file("victim");
  testsupport::writeText(target, "precious");
  fs::create_symlink(target, DeviceLock::lockPath("5RHM10000007"));
  ASSERT_EQ(mkfifo(DeviceLock::lockPath("5RHM10000008").c_str(), 0666), 0);
  for (auto [key, cause] : {std::pair{"5RHM10000007", "symbolic link"}, {"5RHM10000008", "not a plain file"}}) {
    EXPECT_EQ(DeviceLock::tryAcquire(key, "firmware upgrade", lock, holder), DeviceLock::Result::Failed) << key;
    EXPECT_NE(holder.find(cause), std::string::npos) << holder;
  }
  EXPECT_EQ(testsupport::readText(target), "precious");

  // A folder that cannot be created: the cause, not the missing file that follows from it.
  env.set("KESTREL_LOCK_DIR", (target + "/claims").c_str());
  EXPECT_EQ(DeviceLock::tryAcquire("5RHM10000009", "firmware upgrade", lock, holder), DeviceLock::Result::Failed);
  EXPECT_NE(holder.find("cannot create the claims folder " + target + "/claims: Not a directory"), std::string::npos)
      << holder;
}

TEST(DeviceLockTest, KeyFromOutside_staysInsideTheClaimsFolder) {
  for (const char* key : {"../../etc/passwd", "a/b", "", "..", "5RHM\n1"}) {
    const fs::path path = DeviceLock::lockPath(key);
    EXPECT_EQ(path.parent_path(), fs::path(DeviceLock::lockDir())) << key;
    EXPECT_EQ(path.filename().string().find('/'), std::string::npos) << key;
    EXPECT_NE(path.filename(), "..") << key;
  }
}

}  // namespace
