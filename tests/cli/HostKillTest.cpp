#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeviceLock.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "support/TestEnv.h"
#include "UpgradeCheck.h"

// kestrel-cli killed with SIGKILL at every step it reports and at a seeded
// sample of chunks; the same command run again must bring the device to the
// right image and version, with nothing left claimed and nothing left behind
// in the working root. KESTREL_HOSTKILL=full runs the whole sweep
// (scripts/host-kill.sh), else a seeded handful; KESTREL_HOSTKILL_SEED picks
// the sample.
namespace {

using namespace std::chrono_literals;
using clitest::Job;

// Replies are awaited 2 s unscaled: at 0.1 a loaded machine still answers in time.
constexpr const char* kScale = "0.1";
constexpr auto kRunBound = 90s;

// "step firmware/prepare", "transfer j2534Firmware", "step install/waiting":
// what a progress line on stderr is known by; empty for other lines.
std::string eventKey(const std::string& line) {
  cJSON* json = cJSON_Parse(line.c_str());
  if (!json) return "";
  auto text = [&](const char* name) {
    const char* value = cJSON_GetStringValue(cJSON_GetObjectItem(json, name));
    return std::string(value ? value : "");
  };
  std::string key = text("event");
  const std::string where = text("part").empty() ? text("stage") : text("part");
  key += " " + where;
  if (text("event") == "step") key += "/" + (text("step").empty() ? text("result") : text("step"));
  cJSON_Delete(json);
  return where.empty() ? "" : key;
}

struct KillPoint {
  Job job;
  std::string step;  // the nth line with this key; empty: at a chunk
  int nth = 0;       // the line's occurrence, or the chunk's
  std::string name() const {
    return std::string(clitest::jobName(job)) + " " + (step.empty() ? "chunk " : step + " #") + std::to_string(nth);
  }
};

// Whatever a run may leave in its working root is kept; per-run download
// folders and half-written files (name.XXXXXX) are not.
std::vector<std::string> leftovers(const std::string& root) {
  auto halfWritten = [](const std::string& path) {
    return path.size() > 7 && path[path.size() - 7] == '.' &&
           std::all_of(path.end() - 6, path.end(), [](unsigned char c) { return std::isalnum(c); });
  };
  std::vector<std::string> out;
  for (const std::string& path : testsupport::treeOf(root)) {
    if (path.rfind("Update/", 0) == 0 || halfWritten(path)) out.push_back(path);
  }
  return out;
}

class HostKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
    ASSERT_TRUE(web_.start());
    env_.set("KESTREL_SERVICES", web_.servicesFile().c_str());
    platform::setTimeScale(0.1);
  }
  void TearDown() override { platform::setTimeScale(1.0); }

  bool startDevice() {
    device_.reset();
    device_ = scantest::startDevice({.restartDelay = 300ms});
    return device_ != nullptr;
  }
  static std::string arguments(Job job) { return std::string("upgrade ") + clitest::jobName(job) + " --link lan --json"; }

  // The keys of one whole run's progress lines, in order, with their counts.
  std::vector<std::pair<std::string, int>> survey(Job job) {
    std::vector<std::pair<std::string, int>> steps;
    if (!startDevice()) return steps;
    clitest::CliRun run = clitest::runCli(arguments(job), kScale);
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<std::string, int> seen;
    std::istringstream lines(run.err);
    for (std::string line; std::getline(lines, line);) {
      const std::string key = eventKey(line);
      if (key.rfind("step ", 0) == 0) steps.emplace_back(key, ++seen[key]);
    }
    return steps;
  }

  sim::WebServices web_;
  std::unique_ptr<sim::VirtualDevice> device_;
  testsupport::ScopedEnv env_;
};

TEST_F(HostKillTest, KilledAtAnyStepOrChunk_nextRunRecoversAndLeavesNothingBehind) {
  const bool full = std::getenv("KESTREL_HOSTKILL") && std::string(std::getenv("KESTREL_HOSTKILL")) == "full";
  const unsigned seed = std::getenv("KESTREL_HOSTKILL_SEED") ? std::stoul(std::getenv("KESTREL_HOSTKILL_SEED")) : 22;
  std::mt19937 rng(seed);

  // Every step each command reports, and chunks: firmware sends 96 + 112,
  // the system package 3.
  std::vector<KillPoint> points;
  for (auto [job, chunks, sampled] : {std::tuple{Job::Firmware, 208, full ? 10 : 1}, {Job::System, 3, full ? 3 : 1}}) {
    std::vector<KillPoint> steps;
    for (const auto& [key, nth] : survey(job)) steps.push_back({job, key, nth});
    ASSERT_FALSE(steps.empty()) << clitest::jobName(job);
    if (!full) {
      std::shuffle(steps.begin(), steps.end(), rng);
      steps.resize(std::min<size_t>(steps.size(), 2));
    }
    points.insert(points.end(), steps.begin(), steps.end());
    std::vector<int> positions(chunks);
    for (int i = 0; i < chunks; ++i) positions[i] = i + 1;
    std::shuffle(positions.begin(), positions.end(), rng);
    for (int i = 0; i < sampled; ++i) points.push_back({job, "", positions[i]});
  }

  std::string table = "host killed (seed " + std::to_string(seed) + "):\n";
  int passed = 0;
  for (const KillPoint& point : points) {
    SCOPED_TRACE(point.name());
    ASSERT_TRUE(startDevice());
    testsupport::TempFolder root("hostkill");
    testsupport::ScopedEnv rowEnv;
    rowEnv.set("TARNFIELD_HOME", root.path().c_str());
    const DeviceCommand chunk = point.job == Job::Firmware ? kCmdImageChunk : kCmdSystemChunk;

    std::map<std::string, int> seen;
    clitest::CliRun killed = clitest::runCliWatched(
        arguments(point.job), kScale, "",
        [&](const std::string& line) {
          if (point.step.empty()) return static_cast<int>(device_->core().requestCount(chunk)) >= point.nth;
          const std::string key = eventKey(line);
          return !key.empty() && key == point.step && ++seen[key] == point.nth;
        },
        kRunBound);
    const unsigned chunksAtKill = device_->core().requestCount(chunk);
    std::string holder;
    const bool claimed = platform::DeviceLock::isClaimed(device_->core().config().serialNumber, "", holder);

    const size_t webBefore = web_.requestLog().size();
    device_->core().clearRequestLog();
    clitest::CliRun again = clitest::runCliWatched(arguments(point.job), kScale, "", {}, kRunBound);
    const std::vector<std::string> log = web_.requestLog();
    const bool sent = device_->core().requestCount(chunk) > 0;
    const bool fetched = std::any_of(log.begin() + static_cast<long>(webBefore), log.end(),
                                     [](const std::string& l) { return l.find("/packages/") != std::string::npos; });
    const std::string wrong = clitest::wrongOnDevice(point.job, *device_, web_);
    const std::vector<std::string> left = leftovers(root.path().string());

    EXPECT_TRUE(killed.killed) << "the run ended before the kill point:\n" << killed.err;
    EXPECT_FALSE(claimed) << holder;
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(wrong, "");
    EXPECT_TRUE(!sent || fetched) << "the next run sent an image it did not download";
    EXPECT_EQ(left, std::vector<std::string>{});
    const bool ok = killed.killed && !claimed && again.status == 0 && wrong.empty() && (!sent || fetched) && left.empty();
    passed += ok;
    char row[256];
    std::snprintf(row, sizeof row, "  %-40s %-10s chunks %3u  %-13s %-9s %-8s leftovers: %s\n", point.name().c_str(),
                  killed.killed ? "killed" : "NOT killed", chunksAtKill, again.status == 0 && wrong.empty() ? "recovered" : "NOT recovered",
                  claimed ? "claimed" : "unclaimed", !sent || fetched ? "fresh" : "STALE",
                  left.empty() ? "none" : left.front().c_str());
    table += row;
  }
  table += "host-kill: " + std::to_string(passed) + " of " + std::to_string(points.size()) + " kill points recovered\n";
  std::fputs(table.c_str(), stdout);
}

}  // namespace
