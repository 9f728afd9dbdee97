#pragma once

#include "service/newssink.h"

#include <QMutex>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QVector>
#include <QWidget>

class CustomLabel;
class QLabel;
class QPropertyAnimation;

// The news column: cards with title, text, date and picture that slide in one after another,
// scroll with the wheel and open their link when clicked. The loader adds the entries from its
// own thread; the cards are built on the user-interface thread once it says the list is done.
class NewsList : public QWidget, public NewsSink
{
    Q_OBJECT

public:
    explicit NewsList(QWidget *parent);

    static constexpr int titleLimit = 30;
    static constexpr int textLimit = 160;
    static constexpr int viewHeight = 390;
    static constexpr int cardPitch = 100;

    // Safe from any thread, but only before build(): it only stores the entry. Returns the
    // entry's index, under which its picture is later set.
    uint addNews(const QString &title, const QString &text, const QString &date,
        const QString &link) override;
    void build();
    void reveal();
    void setPicture(uint idx, const QPixmap &picture);
    void openLink(const QString &url);
    // A word in the column where no card is, such as why there are none.
    void setNote(const QString &text);
    QString note() const;

    int count() const;
    QString title(int idx) const;
    QString text(int idx) const;
    QWidget *card(int idx) const;
    QLabel *pictureLabel(int idx) const;
    QWidget *container() const { return box; }
    QLabel *handle() const { return indicatorHandle; }
    int contentHeight() const { return content; }
    int handleHeight() const { return handleSize; }

    static QString shorten(const QString &text, int limit);

public slots:
    void showNewsWidget();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    struct Entry
    {
        QString title;
        QString text;
        QString date;
        QString link;
        QPixmap picture; // kept when it arrives before the card exists
        QWidget *card = nullptr;
        QWidget *content = nullptr;
        QLabel *pictureView = nullptr;
        QPropertyAnimation *slide = nullptr;
    };

    void showPicture(Entry &entry);
    void scrollTo(int y);
    int cardIndex(QObject *card) const;
    void trackMouse(QWidget *widget);

    mutable QMutex mutex;
    QVector<Entry> entries;
    QWidget *box;
    QPointer<QPropertyAnimation> scroll;
    QLabel *indicatorHandle;
    QLabel *indicatorTrack;
    QLabel *noteLabel = nullptr;
    int content = 0;
    uint revealed = 0;
    int handleSize = 0;
};
