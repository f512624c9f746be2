#pragma once
#include <string>
#include <vector>

#include "app/DeviceInfo.h"
#include "app/VersionRule.h"

// Which parts of the device an upgrade would send, judged by the one version
// rule, so the window and the command line offer and refuse the same parts.
struct PartPlan {
  const char* label;          // "firmware", "J2534 firmware", "system"
  int part;                   // the firmware task's part; -1 for the system
  const SoftwareSlot* slot;   // into the device record the plan was made from
  bool skipped;               // the model carries no such part

  VersionVerdict verdict() const;
  bool sent(bool force) const { return !skipped && isOffered(verdict(), force); }
};

// The two firmware images in the order they are sent.
std::vector<PartPlan> firmwarePlan(const DeviceInfo& device);
std::vector<PartPlan> systemPlan(const DeviceInfo& device);

// Whether anything would be sent without forcing, and each judged part for the
// user ("firmware: up to date, J2534 firmware: newer than online").
struct OfferSummary {
  bool offered = false;
  std::string parts;
};
OfferSummary offerSummary(const std::vector<PartPlan>& plan);

// The question before sending what the rule does not offer.
std::string notOfferedQuestion(const OfferSummary& summary);
