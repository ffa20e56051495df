#include "console/prompter.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace corvan {

void QtPrompter::Information(QWidget* owner, const QString& text, const QString& caption) {
  QMessageBox::information(owner, caption, text);
}

bool QtPrompter::Question(QWidget* owner, const QString& text, const QString& caption) {
  return QMessageBox::warning(owner, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

std::optional<QString> QtPrompter::GetText(QWidget* owner, const QString& caption, const QString& label,
                                           const QString& initial) {
  bool ok = false;
  QString text = QInputDialog::getText(owner, caption, label, QLineEdit::Normal, initial, &ok);
  if (!ok) return std::nullopt;
  return text;
}

std::optional<QString> QtPrompter::OpenFile(QWidget* owner, const QString& caption, const QString& filter) {
  QString path = QFileDialog::getOpenFileName(owner, caption, QString(), filter);
  if (path.isEmpty()) return std::nullopt;
  return path;
}

std::optional<QString> QtPrompter::SaveFile(QWidget* owner, const QString& caption, const QString& filter) {
  // The caller asks about an existing file itself.
  QString path =
      QFileDialog::getSaveFileName(owner, caption, QString(), filter, nullptr, QFileDialog::DontConfirmOverwrite);
  if (path.isEmpty()) return std::nullopt;
  return path;
}

}  // namespace corvan
