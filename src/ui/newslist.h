#pragma once

#include <QMutex>
#include <QObject>
#include <QPixmap>
#include <QString>
#include <QVector>

class QWidget;

// The news column: entries are added by the loader from its own thread, then built into cards
// on the user-interface thread once the loader says the list is complete.
class NewsList : public QObject
{
    Q_OBJECT

public:
    explicit NewsList(QWidget *container);

    struct Entry
    {
        QString title;
        QString text;
        QString url;
        QPixmap picture;
    };

    // Thread-safe; returns the index the entry's picture is later set under.
    uint addNews(const QString &title, const QString &text, const QString &url);
    void build();
    void reveal();
    void setPicture(uint idx, const QPixmap &picture);
    int count() const;

private:
    QWidget *container;
    mutable QMutex mutex;
    QVector<Entry> entries;
};
