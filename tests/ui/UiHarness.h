#pragma once
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QListWidget>
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Paths.h"
#include "support/SimLinks.h"
#include "ui/SkinWindow.h"
#include "ui/UiServices.h"

// What the window tests share: one offscreen application, a user who answers
// the message boxes and the file dialog, and the skin and screenshot folders.
namespace uitest {

inline QApplication& app() {
  static QApplication* instance = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "tests_ui";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return *instance;
}

// Runs the window thread's events until condition holds or timeout (real time) passes.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline std::string buildDir() {
  const char* dir = std::getenv("KESTREL_BUILD_DIR");
  return dir ? dir : platform::joinPath(platform::programDir(), "..");
}

inline QString skinDir() { return QString::fromStdString(platform::joinPath(buildDir(), "skin")); }

inline void screenshot(QWidget& window, const std::string& name) {
  QDir().mkpath(QString::fromStdString(platform::joinPath(buildDir(), "screenshots")));
  // Lays out what the last changes asked for, as the event loop would before painting.
  QCoreApplication::processEvents();
  window.grab().save(QString::fromStdString(platform::joinPath(buildDir(), "screenshots/" + name + ".png")));
}

// The application, the device's endpoints, and the brand and language the windows start in.
inline void prepare(bool qtrak = false, const char* locale = "en_US.UTF-8") {
  app();
  scantest::processLinks();
  const std::string file = platform::joinPath(platform::workRoot(), "registry.ini");
  std::ofstream out(file, std::ios::trunc);
  out << "[SOFTWARE\\WOW6432Node\\PassThruSupport.04.04\\Kestrel]\nName=" << (qtrak ? "Q-TRAK J2534" : "Kestrel")
      << "\n";
  setenv("KESTREL_REGISTRY", file.c_str(), 1);
  setenv("LC_ALL", locale, 1);
}

// A user who answers every question No and picks no file, and remembers what was asked.
class ScriptedUser : public UiServices {
 public:
  void messageBox(const std::string& text, const std::string& caption) override { boxes.push_back(text); }
  Answer askYesNo(const std::string& text, const std::string&, Answer) override {
    questions.push_back(text);
    return answer;
  }
  std::string openFile(const std::string&, const std::vector<std::string>&) override { return ""; }
  void endProcess(int code) override { exitCodes.push_back(code); }

  bool saw(const std::string& text) const { return std::find(boxes.begin(), boxes.end(), text) != boxes.end(); }

  std::vector<std::string> boxes;
  std::vector<std::string> questions;
  std::vector<int> exitCodes;
  Answer answer = Answer::No;  // to every question
};

inline QListWidget* list(SkinWindow& window, const char* name) {
  return qobject_cast<QListWidget*>(window.control(name));
}

}  // namespace uitest
