#pragma once

#include <QFile>
#include <QMutex>
#include <QString>

// The launcher's log for support: every message of the run (all threads) goes to a file of its
// own in the log directory; the newest few runs are kept and each file stops at a size cap, so
// the directory never grows. Only one log takes the messages at a time.
class RunLog
{
public:
    // Opens a new file in directory (made if missing) and drops the oldest runs so that
    // keptRuns are left, this one included. The messages go to the log only after install().
    explicit RunLog(const QString &directory, int keptRuns = 5, qint64 maxBytes = 1024 * 1024);
    // Gives the messages back to Qt's own handler.
    ~RunLog();

    RunLog(const RunLog &) = delete;
    RunLog &operator=(const RunLog &) = delete;

    bool isOpen() const { return file.isOpen(); }
    QString filePath() const { return file.fileName(); }
    // Routes the process's messages (qInfo, qCWarning, ...) into this log, and on to stderr.
    void install();
    void write(QtMsgType type, const char *category, const QString &message);

    static constexpr char filePrefix[] = "launcher-";

private:
    void removeOldRuns(const QString &directory, int keep);

    QMutex mutex;
    QFile file;
    qint64 maxBytes;
    qint64 written = 0;
    bool capped = false;
    bool installed = false;
};
