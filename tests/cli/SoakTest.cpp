#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/Clock.h"
#include "support/CliRunner.h"
#include "support/SimLinks.h"
#include "support/TestEnv.h"
#include "UpgradeCheck.h"

// Seeded runs of whole upgrades and Wi-Fi set-ups over TCP and the pty, with
// a fault of any kind on 2 % of the device's requests and of the web
// requests. A run may fail; it must never report success for what the
// device does not hold, and must end within its bound. Each run's seed picks
// the job, the link and the faults, so one seed replays one run:
// KESTREL_SOAK_SEED (first seed), KESTREL_SOAK_RUNS, KESTREL_SOAK_SHARD=k/n
// (this process takes every n-th run from the k-th); scripts/soak.sh.
namespace {

using namespace std::chrono_literals;
using clitest::Job;

constexpr const char* kScale = "0.05";
constexpr double kFaultRate = 0.02;
// The longest wait of a run (a system install, 600 s) scaled, and room for retries.
constexpr auto kRunBound = 60s;

unsigned long envNumber(const char* name, unsigned long fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::stoul(text) : fallback;
}

class SoakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scantest::processLinks();
    ASSERT_TRUE(std::filesystem::exists(clitest::cliProgram())) << "build kestrel-cli first";
    ASSERT_TRUE(web_.start());
    env_.set("KESTREL_SERVICES", web_.servicesFile().c_str());
    platform::setTimeScale(0.05);
  }
  void TearDown() override { platform::setTimeScale(1.0); }

  sim::WebServices web_;
  testsupport::ScopedEnv env_;
};

TEST_F(SoakTest, SeededRunsWithRareFaults_neverFalselySucceedAndEndInTime) {
  const unsigned long first = envNumber("KESTREL_SOAK_SEED", 1);
  const unsigned long runs = envNumber("KESTREL_SOAK_RUNS", 20);
  unsigned long shard = 0, shards = 1;
  if (const char* text = std::getenv("KESTREL_SOAK_SHARD")) std::sscanf(text, "%lu/%lu", &shard, &shards);

  unsigned done = 0, succeeded = 0, faults = 0, falseSuccesses = 0;
  std::chrono::milliseconds longest{0};
  unsigned long longestSeed = 0;
  for (unsigned long seed = first; seed < first + runs; ++seed) {
    if (shards > 1 && (seed - first) % shards != shard) continue;
    std::mt19937 rng(static_cast<uint32_t>(seed));
    const Job job = static_cast<Job>(rng() % 3);
    const std::string link = rng() % 2 ? "usb" : "lan";
    const std::string ssid = "Soak" + std::to_string(seed), key = "key-" + std::to_string(rng() % 100000);
    testsupport::TempFolder root("soak");
    testsupport::ScopedEnv rowEnv;
    rowEnv.set("TARNFIELD_HOME", root.path().c_str());

    auto device = scantest::startDevice({.restartDelay = 300ms});
    ASSERT_TRUE(device) << "seed " << seed;
    device->core().faults().setRandom(kFaultRate, static_cast<uint32_t>(seed));
    web_.setRandomFaults(kFaultRate, static_cast<uint32_t>(seed) ^ 0x9E3779B9u);
    const std::string arguments = job == Job::Wifi ? "wifi --ssid " + ssid + " --link " + link + " --json"
                                                   : std::string("upgrade ") + clitest::jobName(job) +
                                                         " --link " + link + " --json";
    const clitest::CliRun run = clitest::runCliWatched(arguments, kScale, key + "\n", {}, kRunBound);
    const unsigned injected = device->core().faults().randomInjected() + web_.randomFaultsInjected();
    web_.setRandomFaults(0, 0);

    const std::string wrong = run.status == 0 ? clitest::wrongOnDevice(job, *device, web_, ssid, key) : "";
    std::printf("soak seed %lu: %-8s over %s, %u faults, exit %d in %.1f s%s%s\n", seed, clitest::jobName(job),
                link.c_str(), injected, run.status, run.took.count() / 1000.0, run.overran ? ", PAST ITS BOUND" : "",
                wrong.empty() ? "" : (", FALSE SUCCESS: " + wrong).c_str());
    EXPECT_FALSE(run.overran) << "seed " << seed << " ran past " << kRunBound.count() << " s:\n" << run.err;
    EXPECT_EQ(wrong, "") << "seed " << seed << " reported success:\n" << run.out << run.err;
    ++done;
    succeeded += run.status == 0;
    faults += injected;
    falseSuccesses += !wrong.empty();
    if (run.took > longest) {
      longest = run.took;
      longestSeed = seed;
    }
  }
  std::printf("soak-shard: runs %u succeeded %u faults %u false %u longest_ms %lld longest_seed %lu\n", done, succeeded,
              faults, falseSuccesses, static_cast<long long>(longest.count()), longestSeed);
  std::printf("soak: %u runs (%u succeeded), %u faults injected, %u false successes, longest run %.1f s (seed %lu)\n",
              done, succeeded, faults, falseSuccesses, longest.count() / 1000.0, longestSeed);
}

}  // namespace
