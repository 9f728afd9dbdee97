#include "ui/textfit.h"

#include <QStringList>

namespace TextFit {

QString words(const QString &text, const Fits &fits)
{
    QString head = text;
    for (int cut = head.lastIndexOf(QLatin1Char(' ')); cut > 0;
         cut = head.lastIndexOf(QLatin1Char(' '))) {
        head.truncate(cut);
        // No dangling punctuation or blank before the ellipsis.
        while (!head.isEmpty()
            && (head.back().isSpace() || QStringLiteral(",.;:-\u2013\u2014|").contains(head.back())))
            head.chop(1);
        if (!head.isEmpty() && fits(head + ellipsis))
            return head + ellipsis;
    }
    return QString();
}

QString path(const QString &text, const Fits &fits)
{
    // The longest blank-free run with a "/" in it.
    int start = -1;
    int length = 0;
    for (int i = 0; i < text.size();) {
        int end = i;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        if (end - i > length && text.midRef(i, end - i).contains(QLatin1Char('/'))) {
            start = i;
            length = end - i;
        }
        i = end + 1;
    }
    if (start < 0)
        return QString();
    const QString before = text.left(start);
    const QString after = text.mid(start + length);
    const QStringList parts = text.mid(start, length).split(QLatin1Char('/'));
    const QString &last = parts.last();
    const auto tryPath = [&](const QString &shortened) {
        const QString candidate = before + shortened + after;
        return fits(candidate) ? candidate : QString();
    };
    const QString gap = QStringLiteral("/") + ellipsis + QLatin1Char('/');
    for (int dropped = 1; dropped <= parts.size() - 2; ++dropped) {
        const QString candidate
            = tryPath(parts.first() + gap + parts.mid(1 + dropped).join(QLatin1Char('/')));
        if (!candidate.isEmpty())
            return candidate;
    }
    QString candidate = tryPath(ellipsis + QLatin1Char('/') + last);
    for (int kept = last.size() - 1; candidate.isEmpty() && kept > 0; --kept)
        candidate = tryPath(ellipsis + last.right(kept));
    return candidate;
}

} // namespace TextFit
