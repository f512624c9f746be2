#include "scanner/NetworkConnectManager.h"

#include "connection/ConnectionFactory.h"
#include "utils/LogFacade.h"

int32_t NetworkConnectManager::init() {
  wifiInit_ = wifiScanner_.init();
  if (wifiInit_ != 0) LOG_WARN("wifiScanner init failed");
  btInit_ = btScanner_.init();
  if (btInit_ != 0) LOG_WARN("btScanner init failed");
  serialInit_ = serialScanner_.init();
  return 0;
}

int32_t NetworkConnectManager::ScanJ2534Dev(J2534DeviceList& list, int connectType) {
  int32_t result = 0;
  switch (static_cast<ConnectType>(connectType)) {
    case ConnectType::Serial:
      if (serialInit_ != 0) return serialInit_;
      LOG_INFO("start scan device by serial");
      result = serialScanner_.ScanJ2534Device(list);
      LOG_INFO("end scan device by serial");
      return result;
    case ConnectType::Lan:
      LOG_INFO("start scan device by network");
      result = networkScanner_.ScanJ2534Device(list);
      LOG_INFO("end scan device by network");
      return result;
    case ConnectType::Wifi:
      if (wifiInit_ != 0) return wifiInit_;
      LOG_INFO("start scan device by wifi");
      result = wifiScanner_.ScanJ2534Device(list);
      LOG_INFO("end scan device by wifi");
      return result;
    case ConnectType::Bluetooth:
      if (btInit_ != 0) return btInit_;
      LOG_INFO("start scan device by bluetooth");
      result = btScanner_.ScanJ2534Device(list);
      LOG_INFO("end scan device by bluetooth");
      return result;
    default:
      return 0;
  }
}
