#include "app/TextNotifier.h"

#include "app/Messages.h"

TextNotifier& TextNotifier::getInstance() {
  static TextNotifier* instance = new TextNotifier();
  return *instance;
}

void TextNotifier::setTarget(const std::shared_ptr<MessageTarget>& target) {
  std::lock_guard<std::mutex> guard(lock_);
  target_ = target;
}

void TextNotifier::post(const std::string& prefix, const std::string& text, int target) {
  std::shared_ptr<MessageTarget> window;
  {
    std::lock_guard<std::mutex> guard(lock_);
    window = target_.lock();
  }
  if (window) window->post(AppMessage{UM_SHOW_TEXT, static_cast<uintptr_t>(target), 0, prefix + text});
}
