#pragma once

#include <QObject>
#include <QString>
#include <QVector>

class QWidget;

// The server cards in the main window's server area, and which of them is current.
class ServerList : public QObject
{
    Q_OBJECT

public:
    explicit ServerList(QWidget *container);

    struct Entry
    {
        QString name;
        QString address;
        ushort port = 0;
    };

    void addElement(const QString &name, const QString &address, ushort port);
    // Selects the server remembered from the last session, if it is still listed.
    void restoreSelection();
    void refreshAll();

    // Empty and 0 while no server is current.
    QString currentAddress() const;
    ushort currentPort() const;

signals:
    void serverClicked(int index);

private:
    QWidget *container;
    QVector<Entry> entries;
    int current = -1;
};
