#include "app/systemdesktop.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QToolButton>

namespace tessaly {

namespace {

void ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& title, const QString& text) {
  // Qt breaks lines at LF; a CR left in would show as a stray glyph.
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(icon, title, shown, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace

void TSystemDesktop::ShowMessage(QWidget* owner, const QString& title, const QString& text) {
  ShowBox(owner, QMessageBox::NoIcon, title, text);
}

void TSystemDesktop::ShowError(QWidget* owner, const QString& title, const QString& text) {
  ShowBox(owner, QMessageBox::Critical, title, text);
}

std::optional<QString> TSystemDesktop::PickDirectory(QWidget* owner, const QString& title,
                                                     const QString& start) {
  QFileDialog dialog(owner, title, start);
  dialog.setFileMode(QFileDialog::Directory);
  // Qt's own dialog, since only it is sure to honour the read-only wish.
  dialog.setOptions(QFileDialog::ReadOnly | QFileDialog::DontUseNativeDialog);
  if (auto* create = dialog.findChild<QToolButton*>(QStringLiteral("newFolderButton")))
    create->hide();
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst();
}

void TSystemDesktop::Beep() {
  QApplication::beep();
}

void TSystemDesktop::OpenUrl(const QUrl& url) {
  QDesktopServices::openUrl(url);
}

}  // namespace tessaly
