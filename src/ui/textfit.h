#pragma once

#include <QString>

#include <functional>

// Shortening a text that does not fit its box so that what a player needs stays readable. The
// box is a predicate, so the rules do not depend on fonts; each function returns an empty
// string when none of its candidates fits.
namespace TextFit {

using Fits = std::function<bool(const QString &)>;

constexpr QChar ellipsis = QChar(0x2026);

// Drops whole words from the end and puts "…" after the last one kept (no blank or
// punctuation before it).
QString words(const QString &text, const Fits &fits);

// Shortens the text's path (its longest run of non-blank characters that holds a "/") and
// keeps every word around it: first the directories after the first one give way to "…",
// then the first one, then the front of the last part. So "Скачивание a/b/c/file.txd: нет
// связи, повтор через 5..." keeps the action, the file's name, the reason and the countdown.
QString path(const QString &text, const Fits &fits);

} // namespace TextFit
