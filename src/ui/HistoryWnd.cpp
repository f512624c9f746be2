#include "ui/HistoryWnd.h"

#include <QHeaderView>
#include <QTableWidget>

#include "app/RunHistory.h"
#include "platform/Locale.h"
#include "utils/Settings.h"

namespace {

// A table a person reads: older runs are for the console's --csv.
constexpr int kRowsShown = 2000;

}  // namespace

HistoryWnd::HistoryWnd(QWidget* parent) : SkinWindow(parent) {}

bool HistoryWnd::create(const QString& skinFolder) {
  const std::string file = skinFile(SkinPart::History, isQtrakBrand(), platform::userLocaleId());
  if (!loadSkin(skinFolder, QString::fromStdString(file))) return false;
  setModal(true);
  fill();
  return true;
}

HistoryWords HistoryWnd::wordsOf(const SkinWindow& window) {
  HistoryWords words;
  const QWidget* holder = window.control(QStringLiteral("history_words"));
  if (!holder) return words;
  const std::pair<const char*, std::string*> fields[] = {
      {"firmware", &words.firmware},       {"system", &words.system},       {"wifi", &words.wifi},
      {"running", &words.running},         {"succeeded", &words.succeeded}, {"up_to_date", &words.upToDate},
      {"failed", &words.failed},           {"refused", &words.refused},     {"interrupted", &words.interrupted},
      {"unknown", &words.unknown},         {"last_upgrade", &words.lastUpgrade}, {"no_upgrade", &words.noUpgrade}};
  for (const auto& [name, field] : fields) {
    const QString value = holder->property(name).toString();
    if (!value.isEmpty()) *field = value.toStdString();
  }
  return words;
}

void HistoryWnd::notify(const Notification& n) {
  if (n.kind == QLatin1String("click") && n.name() == QLatin1String("CloseBtn")) done(0);
}

void HistoryWnd::fill() {
  auto* table = qobject_cast<QTableWidget*>(control(QStringLiteral("history_table")));
  if (!table) return;
  RunFilter filter;
  filter.limit = kRowsShown;
  const std::vector<RunRow> rows = RunHistory().list(filter);
  const HistoryWords words = wordsOf(*this);
  table->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const std::vector<std::string> cells = historyCells(rows[static_cast<size_t>(r)], words);
    for (int c = 0; c < table->columnCount() && c < static_cast<int>(cells.size()); ++c) {
      auto* item = new QTableWidgetItem(QString::fromStdString(cells[static_cast<size_t>(c)]));
      // A long failure message is cut in its cell and whole in its tip.
      item->setToolTip(item->text());
      table->setItem(r, c, item);
    }
  }
  table->verticalHeader()->setVisible(false);
  table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table->horizontalHeader()->setSectionResizeMode(static_cast<int>(HistoryColumn::Result), QHeaderView::Stretch);
  showControl(QStringLiteral("history_empty"), rows.empty());
}
