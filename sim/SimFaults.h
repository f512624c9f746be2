#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "session/Commands.h"

// Scripted misbehaviour of the virtual device and of the local web services.
namespace sim {

// Which occurrences of a request a fault hits. Occurrences are counted per
// fault, from the moment the fault was added, starting at 1.
struct Occurrence {
  enum class Kind { Nth, Every, FromNth };
  Kind kind = Kind::Every;
  unsigned n = 1;

  static Occurrence nth(unsigned n) { return {Kind::Nth, n}; }
  static Occurrence every() { return {Kind::Every, 1}; }
  static Occurrence fromNth(unsigned n) { return {Kind::FromNth, n}; }
  bool matches(unsigned count) const;
};

enum class FaultKind {
  NoReply,         // the request is lost: not processed, not answered
  EmptyReply,      // not processed; answered by a reply without data
  BadChecksum,     // processed; the reply's checksum byte is wrong
  SplitReply,      // processed; the reply is written in two parts, `delay` apart
  DuplicateReply,  // processed; the reply is written twice, `delay` apart
  LateReply,       // processed; the reply is written after `delay`
  RefusedStatus,   // not processed; the reply carries `status` as its status byte
  Disconnect,      // not processed; the device drops the link the request came on
  NoComeback,      // processed; a restart that the request causes never ends (the last kind drawn at random)
  PowerLoss,       // not processed; power fails as it arrives: every link drops and the device
                   // comes back after restartDelay in its boot loader if it was there, else normal
};

struct Fault {
  FaultKind kind = FaultKind::NoReply;
  uint8_t command = 0;
  uint8_t subCommand = 0;
  Occurrence when = Occurrence::every();
  // LateReply: how late (default 3000 ms, past every 2000 ms wait of the
  // host); SplitReply: the pause between the parts (default 50 ms). Scaled by
  // platform::scaled like every pause of the protocol. DuplicateReply: the
  // gap before the second copy (default none).
  std::chrono::milliseconds delay{0};
  uint8_t status = 0x01;  // RefusedStatus
  size_t splitAt = 0;     // SplitReply: bytes in the first part; 0 = half
};

// fault, aimed at request: sim::faultOn(kCmdImageChunk, {.kind = FaultKind::NoReply}).
inline Fault faultOn(DeviceCommand request, Fault fault) {
  fault.command = request.cmd;
  fault.subCommand = request.sub;
  return fault;
}

// Faults at random, for soaks: each request is hit with probability rate,
// by one of `kinds` kinds drawn from a seeded generator, so a run can be
// replayed from its seed. Off (rate 0) by default. Thread-safe.
class RandomFaults {
 public:
  void set(double rate, uint32_t seed);
  // The index of the kind that hits this request, or -1 when none does.
  int draw(int kinds);
  unsigned injected() const;

 private:
  mutable std::mutex mutex_;  // guards every field below
  std::mt19937 rng_;
  double rate_ = 0;
  unsigned injected_ = 0;
};

// The faults of one device, with their occurrence counters. Thread-safe.
class FaultScript {
 public:
  void add(const Fault& fault);
  void clear();
  // Besides the scripted ones, every request meets a fault of any kind with
  // probability rate (its default argument).
  void setRandom(double rate, uint32_t seed) { random_.set(rate, seed); }
  unsigned randomInjected() const { return random_.injected(); }
  // Counts one more request of this kind for every fault of that kind and
  // returns the faults that hit it, in the order they were added.
  std::vector<Fault> hit(uint8_t command, uint8_t subCommand);

 private:
  struct Entry {
    Fault fault;
    unsigned seen = 0;
  };
  std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
  RandomFaults random_;
};

// "KIND:CMDSUB:OCCURRENCE[:ARG]", e.g. "noreply:2403:3", "late:2105:2+:2500",
// "refused:2404:*:5", "split:2133:1:40", "dup:2403:1:30". KIND: noreply, empty, badsum, split,
// dup, late, refused, disconnect, nocomeback, powerloss, silent (= noreply:...:*).
// CMDSUB: four hexadecimal digits. OCCURRENCE: N (the nth), N+ (from the nth
// on), * (every time). ARG: milliseconds for late, split and dup, the status byte
// (decimal or 0x..) for refused; "silent:CMDSUB" never answers. False for
// anything else.
bool parseFault(std::string_view text, Fault& out);
// "N", "N+" or "*" as above.
bool parseOccurrence(std::string_view text, Occurrence& out);

// The fields of a fault text between its colons (one field without a colon).
std::vector<std::string_view> splitFaultFields(std::string_view text);

}  // namespace sim
