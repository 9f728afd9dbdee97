#pragma once

#include <QString>

// Where the start-up loader puts the news entries: the news list of the window implements it.
// addNews is called on the loader's thread and must only store the entry (no user-interface
// object may be created there); the loader signals newsListLoaded() after the last one, and
// only then may the user-interface thread read the entries.
class NewsSink
{
public:
    virtual ~NewsSink() = default;

    // Returns the new entry's 0-based position, under which its picture is later delivered.
    virtual uint addNews(
        const QString &title, const QString &text, const QString &date, const QString &link)
        = 0;
};
