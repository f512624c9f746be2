#pragma once
#include <memory>
#include <string>
#include <vector>

// What the windows ask of the desktop beyond their own controls: message
// boxes, the file dialog and ending the process. Tests answer these instead
// of a person.
class UiServices {
 public:
  enum class Answer { Yes, No };

  virtual ~UiServices() = default;
  // Modal box with one OK button.
  virtual void messageBox(const std::string& text, const std::string& caption) = 0;
  // Modal Yes/No box; defaultAnswer is what Enter picks.
  virtual Answer askYesNo(const std::string& text, const std::string& caption, Answer defaultAnswer) = 0;
  // A file to open; empty when cancelled. filters are patterns such as "*.zip", the first preselected.
  virtual std::string openFile(const std::string& title, const std::vector<std::string>& filters) = 0;
  // Ends the process at once with code.
  virtual void endProcess(int code) = 0;
};

// Real dialogs, shown on the window thread.
std::shared_ptr<UiServices> makeDesktopServices();
