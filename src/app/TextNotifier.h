#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "app/MessageTarget.h"

// Status and error texts for the window, posted (never blocks).
class TextNotifier {
 public:
  static TextNotifier& getInstance();
  void setTarget(const std::shared_ptr<MessageTarget>& target);
  // target 0: the error text; any other value: the progress text.
  void post(const std::string& prefix, const std::string& text, int target);

 private:
  TextNotifier() = default;
  mutable std::mutex lock_;  // guards target_
  std::weak_ptr<MessageTarget> target_;
};
