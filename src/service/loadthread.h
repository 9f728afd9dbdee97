#pragma once

// Talking to the project's service: signed requests, the start-up loader, server status,
// the local store and the self-update.

#include <QImage>
#include <QObject>
#include <QString>

// Prepares the window's content on a thread of its own: host choice, update check, server
// list, news and their pictures; then signals loadFinish().
class LoadThread : public QObject
{
    Q_OBJECT

public:
    LoadThread();

signals:
    void serverListAdd(const QString &name, const QString &addr, ushort port);
    void serverListLoaded();
    void newsListLoaded();
    // Decoded off the user-interface thread; the window turns it into a screen picture.
    void newsImageLoaded(uint idx, const QImage &image);
    void loadFinish();
    void setState(const QString &left, const QString &right);
    void setProgress(quint64 currentValue, quint64 maxValue);

public slots:
    void start();
};
