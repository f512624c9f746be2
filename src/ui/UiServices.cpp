#include "ui/UiServices.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

class DesktopServices : public UiServices {
 public:
  void messageBox(const std::string& text, const std::string& caption) override {
    // Over the window, in its style.
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }

  Answer askYesNo(const std::string& text, const std::string& caption, Answer defaultAnswer) override {
    QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultAnswer == Answer::Yes ? QMessageBox::Yes : QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
  }

  std::string openFile(const std::string& title, const std::vector<std::string>& filters) override {
    QStringList names;
    for (const std::string& f : filters) names << QString::fromStdString(f + " (" + f + ")");
    QString chosen = QFileDialog::getOpenFileName(nullptr, QString::fromStdString(title), QString(),
                                                  names.join(QStringLiteral(";;")));
    return chosen.toStdString();
  }

  void endProcess(int code) override {
    // Workers and sessions are never stopped; leave without static destructors under them.
    std::fflush(nullptr);
    std::_Exit(code);
  }
};

}  // namespace

std::shared_ptr<UiServices> makeDesktopServices() { return std::make_shared<DesktopServices>(); }
