// Every message box, question, text input and file dialog of the console goes
// through a Prompter, so tests answer them instead of a person.
#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace corvan {

class Prompter {
 public:
  virtual ~Prompter() = default;
  // A message with the information icon and an OK button.
  virtual void Information(QWidget* owner, const QString& text, const QString& caption) = 0;
  // A yes/no question with the warning icon; true for yes.
  virtual bool Question(QWidget* owner, const QString& text, const QString& caption) = 0;
  // One line of text; nothing when cancelled.
  virtual std::optional<QString> GetText(QWidget* owner, const QString& caption, const QString& label,
                                         const QString& initial) = 0;
  // A file to open / to save to; nothing when cancelled.
  virtual std::optional<QString> OpenFile(QWidget* owner, const QString& caption, const QString& filter) = 0;
  virtual std::optional<QString> SaveFile(QWidget* owner, const QString& caption, const QString& filter) = 0;
};

// The real dialogs.
class QtPrompter : public Prompter {
 public:
  void Information(QWidget* owner, const QString& text, const QString& caption) override;
  bool Question(QWidget* owner, const QString& text, const QString& caption) override;
  std::optional<QString> GetText(QWidget* owner, const QString& caption, const QString& label,
                                 const QString& initial) override;
  std::optional<QString> OpenFile(QWidget* owner, const QString& caption, const QString& filter) override;
  std::optional<QString> SaveFile(QWidget* owner, const QString& caption, const QString& filter) override;
};

}  // namespace corvan
