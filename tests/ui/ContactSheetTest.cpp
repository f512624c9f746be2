#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>

#include "UiHarness.h"

namespace {

// Not a check of its own: the test command runs it after the suite, so one
// picture shows every screenshot the window tests saved.
TEST(ContactSheet, DISABLED_PutsEveryScreenshotOnOneSheet) {
  uitest::app();
  QDir folder(QString::fromStdString(platform::joinPath(uitest::buildDir(), "screenshots")));
  QStringList names = folder.entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
  names.removeAll(QStringLiteral("contact-sheet.png"));
  ASSERT_FALSE(names.isEmpty()) << "no screenshots in " << folder.path().toStdString();
  constexpr int kColumns = 6, kCellWidth = 400, kCellHeight = 300, kCaption = 20;
  const int rows = (static_cast<int>(names.size()) + kColumns - 1) / kColumns;
  QImage sheet(kColumns * kCellWidth, rows * (kCellHeight + kCaption), QImage::Format_RGB32);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  for (int i = 0; i < names.size(); ++i) {
    const QImage shot(folder.filePath(names[i]));
    ASSERT_FALSE(shot.isNull()) << names[i].toStdString();
    const QImage scaled = shot.scaled(kCellWidth - 8, kCellHeight - 8, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    const int x = (i % kColumns) * kCellWidth, y = (i / kColumns) * (kCellHeight + kCaption);
    painter.drawImage(x + 4, y + 4, scaled);
    painter.drawText(QRect(x, y + kCellHeight, kCellWidth, kCaption), Qt::AlignCenter, names[i]);
  }
  painter.end();
  ASSERT_TRUE(sheet.save(folder.filePath(QStringLiteral("contact-sheet.png"))));
}

}  // namespace
