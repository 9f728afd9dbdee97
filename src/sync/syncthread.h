#pragma once

// Bringing the game directory into the state the file host describes.

#include <QObject>
#include <QString>

// Runs synchronisation cycles on a thread of its own until the game directory matches the
// remote list, reporting through the progress signals and finish().
class SyncThread : public QObject
{
    Q_OBJECT

public:
    SyncThread(const QString &gameDir, QObject *owner);

signals:
    void setProgressText(const QString &left, const QString &right);
    void setProgressState(quint64 currentValue, quint64 maxValue);
    void finish(bool gameReady);

public slots:
    void start();
    void updateProgressBar(quint64 maxValue, quint64 currentValue);
    void updateCurrentFile(const QString &currentFile, const QString &speed = QString());

private:
    int progressStage = 0;
    QString gameDir;
};
