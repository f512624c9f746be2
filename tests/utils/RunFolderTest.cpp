#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Paths.h"
#include "utils/RunFolder.h"

namespace {

// A run killed before it could clean up leaves its folder; the next run
// removes it, but never the folder of a run still going, nor what is not a
// run folder.
TEST(RunFolderTest, FolderOfADeadRun_isRemovedByTheNext_liveOnesAndOthersAreKept) {
  const std::filesystem::path update = platform::updateDir();
  std::filesystem::create_directories(update / "user-files");
  const pid_t child = fork();
  if (child == 0) {
    auto* dying = new RunFolder("firmware-");
    std::ofstream(dying->path() + "/part.bin") << "half";
    _exit(0);  // as a SIGKILL would: no destructor runs
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(std::distance(std::filesystem::directory_iterator(update), {}), 2);

  RunFolder live("system-");
  RunFolder next("firmware-");

  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(update)) names.push_back(entry.path().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected = {next.path(), live.path(), (update / "user-files").string()};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  std::filesystem::remove_all(update / "user-files");
}

}  // namespace
