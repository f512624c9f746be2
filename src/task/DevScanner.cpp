#include "task/DevScanner.h"

#include "app/AppState.h"

void DevScanner::run() {
  J2534DeviceList list;
  int result = manager_.init();
  if (result == 0) result = manager_.ScanJ2534Dev(list, AppState::getInstance().scanType());
  AppState::getInstance().scanDone(result, list);
}

int DevScanner::setParams(const Params&) { return 0; }
