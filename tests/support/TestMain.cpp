#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// Every test process gets its own working root, claims folder and the
// loopback guard, so no test touches the user's files or sends a packet off
// this machine.
int main(int argc, char** argv) {
  setenv("KESTREL_LOOPBACK_ONLY", "1", 0);
  std::string root;
  if (!std::getenv("TARNFIELD_HOME")) {
    char pattern[] = "/tmp/kestrel-test-XXXXXX";
    if (char* dir = mkdtemp(pattern)) {
      root = dir;
      setenv("TARNFIELD_HOME", dir, 1);
    }
  }
  // Device claims are shared by every user and root; a test's stay its own.
  if (!root.empty() && !std::getenv("KESTREL_LOCK_DIR")) setenv("KESTREL_LOCK_DIR", (root + "/claims").c_str(), 1);
  ::testing::InitGoogleMock(&argc, argv);
  int rc = RUN_ALL_TESTS();
  if (!root.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  // The product's workers (scheduler, session manager) are never stopped, as
  // in the programs; leave without running static destructors under them.
#if defined(__SANITIZE_ADDRESS__)
  if (__lsan_do_recoverable_leak_check() != 0 && rc == 0) rc = 1;
#endif
  std::fflush(nullptr);
  _exit(rc);
}
