#pragma once
#include <QDialog>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "app/MessageTarget.h"

class QThread;
class SkinWindow;

// One notification from a control: its kind ("click", "itemselect",
// "selectchanged") and the control that sent it.
struct Notification {
  QString kind;
  QWidget* sender = nullptr;
  QString name() const;
};

// The handle that tasks hold for a window. send() blocks until the window
// thread has handled the message; post() queues it. Once the window is gone
// or the event loop has ended, waiting senders return and later messages are
// dropped, so no task waits for ever on a window that will not answer.
class WindowMessageTarget : public MessageTarget {
 public:
  explicit WindowMessageTarget(SkinWindow* window);
  ~WindowMessageTarget() override;
  void send(const AppMessage& message) override;
  void post(AppMessage message) override;
  void detach();
  // On the window thread: handles every message queued so far.
  void drain();
  // Readable while messages wait; the window watches it.
  int wakeHandle() const { return wakeFd_; }

  // What a queued message shares with its sender.
  struct Waiters {
    std::mutex lock;  // guards closed and every Completion::done
    std::condition_variable changed;
    bool closed = false;
  };

 private:
  struct Parcel {
    AppMessage message;
    std::shared_ptr<bool> done;  // a waiting sender's flag; null for a post
  };
  bool deliver(AppMessage message, const std::shared_ptr<bool>& done);
  void release(const std::shared_ptr<bool>& done);

  // Messages cross threads in a queue of ours, not in Qt's posted events, so
  // a thread checker sees the hand-over; Qt only hears a wake-up.
  std::mutex windowLock_;  // guards window_ and queue_
  SkinWindow* window_;
  std::deque<Parcel> queue_;
  QThread* windowThread_;
  std::shared_ptr<Waiters> waiters_;
  int wakeFd_ = -1;
};

// A window built from a Qt Designer skin file loaded at run time, with its
// brand's style sheet. Controls are found by object name; every routine on a
// name the skin does not hold does nothing. Text is always shown as plain
// text, never interpreted as markup.
class SkinWindow : public QDialog {
 public:
  explicit SkinWindow(QWidget* parent = nullptr);
  ~SkinWindow() override;

  // Loads folder/file and the brand's style sheet; false, with skinError(),
  // when the skin cannot be read.
  bool loadSkin(const QString& folder, const QString& file);
  const QString& skinError() const { return skinError_; }
  const QString& skinFolder() const { return folder_; }

  std::shared_ptr<MessageTarget> messageTarget() const { return target_; }

  QWidget* control(const QString& name) const;
  void setText(const QString& name, const QString& text);
  QString text(const QString& name) const;
  void showControl(const QString& name, bool shown);
  bool isControlShown(const QString& name) const;
  void enableControl(const QString& name, bool enabled);
  bool isControlEnabled(const QString& name) const;
  void selectControl(const QString& name, bool selected);
  bool isControlSelected(const QString& name) const;
  // A picture of skin/images/, or none for an empty name.
  void setImage(const QString& name, const QString& imageFile);
  void setProgress(const QString& name, int value);
  // Status look for the style sheet: "ok", "warn", "error" or empty.
  void setStatus(const QString& name, const QString& status);
  // The style sheet's primary look, for the action the user most likely wants next.
  void setPrimary(const QString& name, bool primary);

  static void setTag(QWidget* widget, uint64_t tag);
  // The tag of the widget or of the nearest parent that has one; 0 without.
  static uint64_t tag(const QWidget* widget);

  // A list row built from a skin file, its controls wired to notify(); null
  // (and skinError()) when the file cannot be loaded.
  QWidget* buildRow(const QString& file);

  // Routes a message as the window thread would; for the target and tests.
  void dispatchMessage(const AppMessage& message) { handleMessage(message); }

 protected:
  virtual void notify(const Notification& n) {}
  virtual void handleMessage(const AppMessage& message) {}
  // From now on senders return at once; a destructor that waits for a task calls this first.
  void detachMessages() { target_->detach(); }

 private:
  QWidget* load(const QString& path);
  void wire(QWidget* root);
  void applyStyleSheet(const QString& skinPath);
  void setLook(const QString& name, const char* property, const QVariant& value);

  QWidget* root_ = nullptr;
  QString folder_;
  QString skinError_;
  std::shared_ptr<WindowMessageTarget> target_;
};
