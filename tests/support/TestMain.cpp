#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

// Every test process gets its own working root and the loopback guard, so no
// test touches the user's files or sends a packet off this machine.
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
  ::testing::InitGoogleMock(&argc, argv);
  int rc = RUN_ALL_TESTS();
  if (!root.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return rc;
}
