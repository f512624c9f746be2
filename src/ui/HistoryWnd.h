#pragma once
#include <QString>

#include "ui/SkinWindow.h"
#include "viewmodel/HistoryView.h"

// The runs recorded for every device, newest first, in the columns the
// console's history shows and in the words of the skin's language.
class HistoryWnd : public SkinWindow {
 public:
  explicit HistoryWnd(QWidget* parent = nullptr);

  // Loads the skin of the brand and locale and fills the table; false when
  // the skin cannot be loaded.
  bool create(const QString& skinFolder);

  // The words a skin holds in its "history_words" control.
  static HistoryWords wordsOf(const SkinWindow& window);

 protected:
  void notify(const Notification& n) override;

 private:
  void fill();
};
