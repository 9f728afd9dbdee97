#include "newslist.h"

#include <QMutexLocker>
#include <QWidget>

NewsList::NewsList(QWidget *container)
    : QObject(container)
    , container(container)
{
}

uint NewsList::addNews(const QString &title, const QString &text, const QString &url)
{
    QMutexLocker lock(&mutex);
    entries.append({ title, text, url, QPixmap() });
    return uint(entries.size() - 1);
}

void NewsList::build()
{
}

void NewsList::reveal()
{
}

void NewsList::setPicture(uint idx, const QPixmap &picture)
{
    QMutexLocker lock(&mutex);
    if (idx < uint(entries.size()))
        entries[int(idx)].picture = picture;
}

int NewsList::count() const
{
    QMutexLocker lock(&mutex);
    return entries.size();
}
