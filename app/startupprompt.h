#pragma once
// The start-up prompt for a project that cannot be found, and its box.

#include <QString>

#include <string>

class QWidget;

namespace chronark {

// The confirmation box of the start-up prompt: caption "Bestätigung", the
// question icon, "&Ja" (default), "&Nein" and "Abbrechen" (also Esc).
enum class TConfirmAnswer { Yes, No, Cancel };
TConfirmAnswer ConfirmBox(QWidget* Parent, const QString& Text);

// The text of the start-up prompt for a project that could not be found.
QString StartupPromptText(const std::string& ProjectFileName, const std::string& Relative);

}  // namespace chronark
