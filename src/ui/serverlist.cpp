#include "serverlist.h"

#include <QWidget>

ServerList::ServerList(QWidget *container)
    : QObject(container)
    , container(container)
{
}

void ServerList::addElement(const QString &name, const QString &address, ushort port)
{
    entries.append({ name, address, port });
}

void ServerList::restoreSelection()
{
    if (current < 0 && !entries.isEmpty())
        current = 0;
}

void ServerList::refreshAll()
{
}

QString ServerList::currentAddress() const
{
    return current >= 0 && current < entries.size() ? entries.at(current).address : QString();
}

ushort ServerList::currentPort() const
{
    return current >= 0 && current < entries.size() ? entries.at(current).port : 0;
}
