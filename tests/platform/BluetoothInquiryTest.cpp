#include "platform/BluetoothInquiry.h"
#include "platform/DeviceEndpoints.h"

#include <gtest/gtest.h>

namespace {

TEST(HciBluetoothInquiry, LoopbackGuardKeepsTheRadioUntouched) {
  ASSERT_TRUE(platform::deviceEndpoints().loopbackOnly) << "the test harness sets KESTREL_LOOPBACK_ONLY=1";
  std::vector<platform::BluetoothDeviceFound> found{{0x001A7DDA7112, "stale"}};
  auto inquiry = platform::makeHciBluetoothInquiry();
  EXPECT_EQ(inquiry->inquire(found, 4), -1);
  EXPECT_TRUE(found.empty());
  EXPECT_NE(inquiry->lastError().find("loopback"), std::string::npos) << inquiry->lastError();
}

}  // namespace
