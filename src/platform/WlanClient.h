#pragma once
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The PC's Wi-Fi interfaces and the networks they see.
//
// Two sources: NetworkManager on the system D-Bus, or a text file that the
// virtual device writes when KESTREL_SIM_WLAN names it.
//
// The simulated list file, as read by parseSimWlanList and written by
// formatSimWlanList / writeSimWlanList:
//   - one visible network per line:  INTERFACE '\t' SSID '\n'
//       INTERFACE  1 to 15 bytes, none of them blank, tab or control; it
//                  cannot begin with '#';
//       SSID       the raw SSID, 0 to 32 bytes, any byte but '\t' and '\n'
//                  (empty for a network that hides its name); a '\r' right
//                  before the '\n' is dropped, and an SSID that still ends
//                  in '\r' after that is not accepted;
//   - the interfaces are those named by the lines, in order of first
//     appearance; the networks of an interface are its lines, in file order
//     (a name listed twice is seen twice);
//   - empty lines and lines beginning with '#' are ignored; a line that does
//     not match the form above, or is longer than kSimWlanMaxLine bytes, is
//     skipped;
//   - only the first kSimWlanMaxFile bytes are read, and at most
//     kSimWlanMaxNetworks lines are taken;
//   - a missing file means no Wi-Fi interface.
// Example ("\t" is one tab byte):
//   wlan0\tKST-0012345678
//   wlan0\t
//   wlan1\tHomeNetwork
namespace platform {

constexpr size_t kSimWlanMaxLine = 64;
constexpr size_t kSimWlanMaxFile = 64 * 1024;
constexpr size_t kSimWlanMaxNetworks = 1024;
constexpr size_t kMaxSsidBytes = 32;

class WlanClient {
 public:
  virtual ~WlanClient() = default;

  // 0 when the service can be reached, -1 otherwise.
  virtual int open() = 0;

  // Replaces names with the Wi-Fi interfaces, in the service's order. A
  // machine without a Wi-Fi service or without a Wi-Fi device has none
  // (result 0). -1 when not open or the service failed to answer.
  virtual int enumInterfaces(std::vector<std::string>& names) = 0;

  // Asks the interface to look for networks; returns at once, the results
  // come in over the next seconds. -1 for an unknown interface or a refusal.
  virtual int scan(const std::string& interfaceName) = 0;

  // Replaces ssids with the raw SSID bytes of every network the interface
  // sees now (possibly none; empty for a hidden network). -1 on failure.
  virtual int availableNetworks(const std::string& interfaceName, std::vector<std::string>& ssids) = 0;

  // Safe to call twice; open() may be called again afterwards.
  virtual void close() = 0;

  // Why the last call returned -1, for the caller's log.
  virtual std::string lastError() const = 0;
};

using WlanClientFactory = std::function<std::shared_ptr<WlanClient>()>;

// A new client of the process-wide kind: the simulated file when
// KESTREL_SIM_WLAN is set, else NetworkManager (unless a test set a factory).
std::shared_ptr<WlanClient> createWlanClient();

// Makes createWlanClient use factory; an empty factory goes back to the default.
void setWlanClientFactoryForTest(WlanClientFactory factory);

// busAddress names the bus in D-Bus address form; empty means the system bus.
std::shared_ptr<WlanClient> makeNetworkManagerWlanClient(std::string busAddress = "");
std::shared_ptr<WlanClient> makeSimWlanClient(std::string path);

struct SimWlanNetwork {
  std::string interfaceName;
  std::string ssid;

  bool operator==(const SimWlanNetwork&) const = default;
};

// Parses the simulated list format described above.
std::vector<SimWlanNetwork> parseSimWlanList(std::string_view text);

// The file text for networks; entries that the format cannot hold are left out.
std::string formatSimWlanList(const std::vector<SimWlanNetwork>& networks);

// Writes the list beside path and renames it into place. False when an entry
// cannot be written in the format, there are more than kSimWlanMaxNetworks,
// or the file cannot be written.
bool writeSimWlanList(const std::string& path, const std::vector<SimWlanNetwork>& networks);

}  // namespace platform
