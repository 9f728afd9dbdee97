#pragma once

#include <QString>

// The right-hand progress text of a transfer: received / total and the speed of the last second.
namespace TransferText {

// "%1/%2 Байт", "%1/%2 КБ" or "%1/%2 МБ" chosen by the total.
QString sizePair(quint64 received, quint64 total);

// " (? МБ/с)" before the first measurement (speed -1), else bytes, KB or MB per second.
QString speed(qint64 bytesPerSecond);

} // namespace TransferText
