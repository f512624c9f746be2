#include "SimFaults.h"

#include <cstdlib>

namespace sim {

bool Occurrence::matches(unsigned count) const {
  switch (kind) {
    case Kind::Nth:
      return count == n;
    case Kind::FromNth:
      return count >= n;
    case Kind::Every:
      return true;
  }
  return false;
}

void RandomFaults::set(double rate, uint32_t seed) {
  std::lock_guard<std::mutex> lock(mutex_);
  rate_ = rate;
  rng_.seed(seed);
  injected_ = 0;
}

int RandomFaults::draw(int kinds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (rate_ <= 0 || kinds <= 0) return -1;
  if (std::uniform_real_distribution<double>(0, 1)(rng_) >= rate_) return -1;
  ++injected_;
  return std::uniform_int_distribution<int>(0, kinds - 1)(rng_);
}

unsigned RandomFaults::injected() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return injected_;
}

void FaultScript::add(const Fault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back({fault, 0});
}

void FaultScript::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

std::vector<Fault> FaultScript::hit(uint8_t command, uint8_t subCommand) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Fault> hits;
  for (auto& entry : entries_) {
    if (entry.fault.command != command || entry.fault.subCommand != subCommand) continue;
    ++entry.seen;
    if (entry.fault.when.matches(entry.seen)) hits.push_back(entry.fault);
  }
  constexpr int kKinds = static_cast<int>(FaultKind::NoComeback) + 1;
  if (int kind = random_.draw(kKinds); kind >= 0) {
    hits.push_back({.kind = static_cast<FaultKind>(kind), .command = command, .subCommand = subCommand});
  }
  return hits;
}

namespace {

bool parseNumber(std::string_view text, int base, unsigned long max, unsigned long& out) {
  if (text.empty() || text.size() > 12) return false;
  std::string copy(text);
  char* end = nullptr;
  unsigned long value = std::strtoul(copy.c_str(), &end, base);
  if (*end != '\0' || value > max) return false;
  out = value;
  return true;
}

}  // namespace

bool parseOccurrence(std::string_view text, Occurrence& out) {
  if (text == "*" || text == "every") {
    out = Occurrence::every();
    return true;
  }
  bool from = !text.empty() && text.back() == '+';
  if (from) text.remove_suffix(1);
  unsigned long n = 0;
  if (!parseNumber(text, 10, 1000000, n) || n == 0) return false;
  out = from ? Occurrence::fromNth(static_cast<unsigned>(n)) : Occurrence::nth(static_cast<unsigned>(n));
  return true;
}

std::vector<std::string_view> splitFaultFields(std::string_view text) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t colon = text.find(':');
    parts.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  return parts;
}

bool parseFault(std::string_view text, Fault& out) {
  std::vector<std::string_view> parts = splitFaultFields(text);
  // "silent:CMDSUB" is the one form without an occurrence.
  if (parts.size() == 2 && parts[0] == "silent") parts.push_back("*");
  if (parts.size() < 3 || parts.size() > 4) return false;

  Fault fault;
  std::string_view kind = parts[0];
  bool silent = false;
  if (kind == "noreply") fault.kind = FaultKind::NoReply;
  else if (kind == "silent") { fault.kind = FaultKind::NoReply; silent = true; }
  else if (kind == "empty") fault.kind = FaultKind::EmptyReply;
  else if (kind == "badsum") fault.kind = FaultKind::BadChecksum;
  else if (kind == "split") fault.kind = FaultKind::SplitReply;
  else if (kind == "dup") fault.kind = FaultKind::DuplicateReply;
  else if (kind == "late") fault.kind = FaultKind::LateReply;
  else if (kind == "refused") fault.kind = FaultKind::RefusedStatus;
  else if (kind == "disconnect") fault.kind = FaultKind::Disconnect;
  else if (kind == "nocomeback") fault.kind = FaultKind::NoComeback;
  else if (kind == "powerloss") fault.kind = FaultKind::PowerLoss;
  else return false;

  unsigned long cmdSub = 0;
  if (parts[1].size() != 4 || !parseNumber(parts[1], 16, 0xFFFF, cmdSub)) return false;
  fault.command = static_cast<uint8_t>(cmdSub >> 8);
  fault.subCommand = static_cast<uint8_t>(cmdSub & 0xFF);

  if (silent) {
    if (parts[2] != "*" && parts[2] != "every") return false;
  }
  if (!parseOccurrence(parts[2], fault.when)) return false;

  if (parts.size() == 4) {
    unsigned long arg = 0;
    switch (fault.kind) {
      case FaultKind::LateReply:
      case FaultKind::SplitReply:
      case FaultKind::DuplicateReply:
        if (!parseNumber(parts[3], 10, 3600000, arg)) return false;
        fault.delay = std::chrono::milliseconds(arg);
        break;
      case FaultKind::RefusedStatus:
        if (!parseNumber(parts[3], 0, 0xFF, arg)) return false;
        fault.status = static_cast<uint8_t>(arg);
        break;
      default:
        return false;
    }
  }
  out = fault;
  return true;
}

}  // namespace sim
