#include "ui/SkinWindow.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QStyle>
#include <QTextEdit>
#include <QThread>
#include <QUiLoader>
#include <QVariant>
#include <QVBoxLayout>
#include <QSignalBlocker>

#include "utils/LogFacade.h"

namespace {

constexpr char kTagProperty[] = "tag";

}  // namespace

QString Notification::name() const { return sender ? sender->objectName() : QString(); }

WindowMessageTarget::WindowMessageTarget(SkinWindow* window)
    : window_(window), windowThread_(window->thread()), waiters_(std::make_shared<Waiters>()),
      wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wakeFd_ < 0) LOG_WARN("no wake-up for the window's messages, errCode : %d", errno);
}

WindowMessageTarget::~WindowMessageTarget() {
  detach();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void WindowMessageTarget::release(const std::shared_ptr<bool>& done) {
  if (!done) return;
  std::lock_guard<std::mutex> guard(waiters_->lock);
  *done = true;
  waiters_->changed.notify_all();
}

bool WindowMessageTarget::deliver(AppMessage message, const std::shared_ptr<bool>& done) {
  {
    std::lock_guard<std::mutex> guard(windowLock_);
    if (!window_ || wakeFd_ < 0) return false;
    queue_.push_back(Parcel{std::move(message), done});
  }
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
  return true;
}

void WindowMessageTarget::drain() {
  uint64_t count = 0;
  (void)!::read(wakeFd_, &count, sizeof count);
  for (;;) {
    Parcel parcel;
    SkinWindow* window;
    {
      std::lock_guard<std::mutex> guard(windowLock_);
      if (queue_.empty()) return;
      parcel = std::move(queue_.front());
      queue_.pop_front();
      window = window_;
    }
    if (window) window->dispatchMessage(parcel.message);
    release(parcel.done);
  }
}

void WindowMessageTarget::send(const AppMessage& message) {
  if (QThread::currentThread() == windowThread_) {
    SkinWindow* window;
    {
      std::lock_guard<std::mutex> guard(windowLock_);
      window = window_;
    }
    if (window) window->dispatchMessage(message);
    return;
  }
  auto done = std::make_shared<bool>(false);
  if (!deliver(message, done)) return;
  std::unique_lock<std::mutex> guard(waiters_->lock);
  waiters_->changed.wait(guard, [&] { return *done || waiters_->closed; });
}

void WindowMessageTarget::post(AppMessage message) { deliver(std::move(message), nullptr); }

void WindowMessageTarget::detach() {
  std::deque<Parcel> dropped;
  {
    std::lock_guard<std::mutex> guard(windowLock_);
    window_ = nullptr;
    dropped.swap(queue_);
  }
  for (const Parcel& parcel : dropped) release(parcel.done);
  std::lock_guard<std::mutex> guard(waiters_->lock);
  waiters_->closed = true;
  waiters_->changed.notify_all();
}

SkinWindow::SkinWindow(QWidget* parent) : QDialog(parent), target_(std::make_shared<WindowMessageTarget>(this)) {
  if (target_->wakeHandle() >= 0) {
    auto* wake = new QSocketNotifier(target_->wakeHandle(), QSocketNotifier::Read, this);
    connect(wake, &QSocketNotifier::activated, this, [this] { target_->drain(); });
  }
  // A send waiting on a window whose loop has ended would wait for ever.
  std::weak_ptr<WindowMessageTarget> target = target_;
  if (QCoreApplication* app = QCoreApplication::instance()) {
    connect(app, &QCoreApplication::aboutToQuit, this, [target] {
      if (auto t = target.lock()) t->detach();
    });
  }
}

SkinWindow::~SkinWindow() { target_->detach(); }

QWidget* SkinWindow::load(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    skinError_ = QStringLiteral("cannot open ") + path;
    return nullptr;
  }
  QUiLoader loader;
  // Pictures named in the skin are found beside it.
  loader.setWorkingDirectory(QFileInfo(path).dir());
  QWidget* widget = loader.load(&file, nullptr);
  if (!widget) {
    skinError_ = loader.errorString().isEmpty() ? QStringLiteral("cannot load ") + path : loader.errorString();
    return nullptr;
  }
  // Outside texts (device names, SSIDs, versions) must never be read as markup.
  for (QLabel* label : widget->findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
  if (auto* label = qobject_cast<QLabel*>(widget)) label->setTextFormat(Qt::PlainText);
  for (QTextEdit* edit : widget->findChildren<QTextEdit*>()) edit->setAcceptRichText(false);
  return widget;
}

bool SkinWindow::loadSkin(const QString& folder, const QString& file) {
  folder_ = folder;
  // Skins name their pictures "skin:images/...".
  QDir::setSearchPaths(QStringLiteral("skin"), {folder});
  const QString path = QDir(folder).filePath(file);
  QWidget* widget = load(path);
  if (!widget) {
    LOG_ERROR("load skin failed: %s", skinError_.toUtf8().constData());
    return false;
  }
  // The skin's top-level form gives the title and size; its content becomes this window's.
  setWindowTitle(widget->windowTitle());
  const QSize size = widget->size();
  widget->setParent(this, Qt::Widget);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(widget);
  resize(size);
  root_ = widget;
  applyStyleSheet(path);
  wire(root_);
  return true;
}

void SkinWindow::applyStyleSheet(const QString& skinPath) {
  // One sheet per brand: the Q-TRAK skins live in their own folder.
  const QString sheet = skinPath.contains(QStringLiteral("/QTRAK/")) ? QStringLiteral("xml/QTRAK/qtrak.qss")
                                                                     : QStringLiteral("xml/kestrel.qss");
  const QString sheetPath = QDir(folder_).filePath(sheet);
  QFile file(sheetPath);
  if (!file.open(QIODevice::ReadOnly)) {
    LOG_WARN("no style sheet: %s", sheetPath.toUtf8().constData());
    return;
  }
  QString text = QString::fromUtf8(file.readAll());
  // Qt resolves url() against the working folder; make them relative to the sheet instead.
  const QDir sheetDir = QFileInfo(sheetPath).dir();
  static const QRegularExpression url(QStringLiteral(R"(url\(\s*["']?([^"')]+?)["']?\s*\))"));
  QString out;
  qsizetype last = 0;
  for (auto it = url.globalMatch(text); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    QString target = m.captured(1);
    if (QDir::isRelativePath(target) && !target.contains(QLatin1Char(':'))) {
      target = QDir::cleanPath(sheetDir.absoluteFilePath(target));
    }
    out += text.mid(last, m.capturedStart() - last) + QStringLiteral("url(\"") + target + QStringLiteral("\")");
    last = m.capturedEnd();
  }
  out += text.mid(last);
  setStyleSheet(out);
}

void SkinWindow::wire(QWidget* root) {
  auto buttons = root->findChildren<QAbstractButton*>();
  if (auto* b = qobject_cast<QAbstractButton*>(root)) buttons.append(b);
  for (QAbstractButton* button : buttons) {
    connect(button, &QAbstractButton::clicked, this, [this, button] { notify({QStringLiteral("click"), button}); });
    if (button->isCheckable()) {
      connect(button, &QAbstractButton::toggled, this,
              [this, button] { notify({QStringLiteral("selectchanged"), button}); });
    }
  }
  for (QComboBox* combo : root->findChildren<QComboBox*>()) {
    // Only a choice the user makes is an item selection, not a change made by code.
    connect(combo, &QComboBox::activated, this, [this, combo] { notify({QStringLiteral("itemselect"), combo}); });
  }
  for (QListWidget* list : root->findChildren<QListWidget*>()) {
    connect(list, &QListWidget::currentRowChanged, this,
            [this, list] { notify({QStringLiteral("itemselect"), list}); });
  }
}

QWidget* SkinWindow::buildRow(const QString& file) {
  QWidget* row = load(QDir(folder_).filePath(file));
  if (!row) return nullptr;
  wire(row);
  return row;
}

QWidget* SkinWindow::control(const QString& name) const {
  return root_ ? root_->findChild<QWidget*>(name) : nullptr;
}

void SkinWindow::setText(const QString& name, const QString& text) {
  QWidget* w = control(name);
  if (auto* label = qobject_cast<QLabel*>(w)) {
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
    button->setText(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
    edit->setText(text);
  } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
    if (combo->isEditable()) combo->setEditText(text);
  } else if (auto* textEdit = qobject_cast<QTextEdit*>(w)) {
    textEdit->setPlainText(text);
  }
}

QString SkinWindow::text(const QString& name) const {
  QWidget* w = control(name);
  if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(w)) return edit->text();
  if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->currentText();
  if (auto* textEdit = qobject_cast<QTextEdit*>(w)) return textEdit->toPlainText();
  if (auto* list = qobject_cast<QListWidget*>(w)) return list->currentItem() ? list->currentItem()->text() : QString();
  return {};
}

void SkinWindow::showControl(const QString& name, bool shown) {
  if (QWidget* w = control(name)) w->setVisible(shown);
}

bool SkinWindow::isControlShown(const QString& name) const {
  QWidget* w = control(name);
  return w && !w->isHidden() && (!root_ || w->isVisibleTo(root_));
}

void SkinWindow::enableControl(const QString& name, bool enabled) {
  if (QWidget* w = control(name)) w->setEnabled(enabled);
}

bool SkinWindow::isControlEnabled(const QString& name) const {
  QWidget* w = control(name);
  return w && w->isEnabled();
}

void SkinWindow::selectControl(const QString& name, bool selected) {
  auto* button = qobject_cast<QAbstractButton*>(control(name));
  if (!button) return;
  // A change made by code is not the user's: no notification.
  QSignalBlocker block(button);
  button->setCheckable(true);
  button->setChecked(selected);
}

bool SkinWindow::isControlSelected(const QString& name) const {
  auto* button = qobject_cast<QAbstractButton*>(control(name));
  return button && button->isChecked();
}

void SkinWindow::setImage(const QString& name, const QString& imageFile) {
  QWidget* w = control(name);
  if (!w) return;
  w->setProperty("image", imageFile);
  const QString path = imageFile.isEmpty() ? QString() : QDir(folder_).filePath(QStringLiteral("images/") + imageFile);
  if (auto* label = qobject_cast<QLabel*>(w)) {
    QPixmap picture(path);
    if (picture.isNull()) {
      label->clear();
      return;
    }
    const QSize box = label->size().isValid() && !label->size().isEmpty() ? label->size() : picture.size();
    label->setPixmap(picture.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  } else {
    w->setStyleSheet(path.isEmpty() ? QString() : QStringLiteral("border-image: url(\"%1\");").arg(path));
  }
}

void SkinWindow::setProgress(const QString& name, int value) {
  if (auto* bar = qobject_cast<QProgressBar*>(control(name))) bar->setValue(value);
}

void SkinWindow::setStatus(const QString& name, const QString& status) { setLook(name, "state", status); }

void SkinWindow::setPrimary(const QString& name, bool primary) { setLook(name, "primary", primary); }

void SkinWindow::setLook(const QString& name, const char* property, const QVariant& value) {
  QWidget* w = control(name);
  if (!w || w->property(property) == value) return;
  w->setProperty(property, value);
  // Property selectors are matched only when the sheet is applied again; a
  // re-polish alone leaves box changes such as padding unapplied.
  w->setStyleSheet(w->styleSheet());
}

void SkinWindow::setTag(QWidget* widget, uint64_t tag) {
  if (widget) widget->setProperty(kTagProperty, QVariant::fromValue<qulonglong>(tag));
}

uint64_t SkinWindow::tag(const QWidget* widget) {
  for (const QWidget* w = widget; w; w = w->parentWidget()) {
    QVariant v = w->property(kTagProperty);
    if (v.isValid()) return v.toULongLong();
  }
  return 0;
}
