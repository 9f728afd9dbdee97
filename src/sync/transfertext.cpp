#include "sync/transfertext.h"

namespace TransferText {

QString sizePair(quint64 received, quint64 total)
{
    if (total < 1024)
        return QStringLiteral("%1/%2 Байт").arg(received).arg(total);
    if (total < 1048576) {
        return QStringLiteral("%1/%2 КБ")
            .arg(double(received) / 1024.0, 0, 'f', 2)
            .arg(double(total) / 1024.0, 0, 'f', 2);
    }
    return QStringLiteral("%1/%2 МБ")
        .arg(double(received) / 1048576.0, 0, 'f', 2)
        .arg(double(total) / 1048576.0, 0, 'f', 2);
}

QString speed(qint64 bytesPerSecond)
{
    if (bytesPerSecond < 0)
        return QStringLiteral(" (? МБ/с)");
    if (bytesPerSecond < 1024)
        return QStringLiteral(" (%1 Байт/с)").arg(bytesPerSecond);
    if (bytesPerSecond < 1048576)
        return QStringLiteral(" (%1 КБ/с)").arg(double(bytesPerSecond) / 1024.0, 0, 'f', 2);
    return QStringLiteral(" (%1 МБ/с)").arg(double(bytesPerSecond) / 1048576.0, 0, 'f', 2);
}

} // namespace TransferText
