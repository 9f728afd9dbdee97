#include "sync/syncthread.h"

#include "app/runstate.h"

#include <QThread>

SyncThread::SyncThread(const QString &gameDir, QObject *owner)
    : gameDir(gameDir)
{
    Q_UNUSED(owner)
}

void SyncThread::start()
{
    emit setProgressText(QStringLiteral("Проверка целостности и поиск обновлений..."), QString());
    emit setProgressState(1, 0);
    emit finish(true);
    QThread::currentThread()->quit();
}

void SyncThread::updateProgressBar(quint64 maxValue, quint64 currentValue)
{
    if (progressStage != 0)
        emit setProgressState(currentValue, maxValue);
}

void SyncThread::updateCurrentFile(const QString &currentFile, const QString &speed)
{
    Q_UNUSED(currentFile)
    Q_UNUSED(speed)
}
