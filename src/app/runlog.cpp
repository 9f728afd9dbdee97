#include "app/runlog.h"

#include "files/ownfile.h"

#include <QDateTime>
#include <QDir>
#include <QMutexLocker>

#include <cstdio>

namespace {

// Qt takes a plain function as its message handler; this is the log it hands the messages to.
RunLog *activeLog = nullptr;
QtMessageHandler previousHandler = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (activeLog)
        activeLog->write(type, context.category, message);
    if (previousHandler)
        previousHandler(type, context, message);
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "error";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

} // namespace

RunLog::RunLog(const QString &directory, int keptRuns, qint64 maxBytes)
    : maxBytes(maxBytes)
{
    if (!OwnFile::clearLink(directory) || !QDir().mkpath(directory))
        return;
    removeOldRuns(directory, qMax(0, keptRuns - 1));
    // Named by the time of the start, so that the names sort as the runs did.
    const QString name = directory + QLatin1Char('/') + QLatin1String(filePrefix)
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"))
        + QStringLiteral(".log");
    if (!OwnFile::clearLink(name))
        return;
    file.setFileName(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        file.setFileName(QString());
}

RunLog::~RunLog()
{
    if (installed) {
        qInstallMessageHandler(previousHandler);
        activeLog = nullptr;
        previousHandler = nullptr;
    }
}

void RunLog::removeOldRuns(const QString &directory, int keep)
{
    const QDir dir(directory);
    const QStringList runs = dir.entryList({ QLatin1String(filePrefix) + QLatin1Char('*') },
        QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    // Links included (QDir::System lists broken ones): removing a link removes only the link.
    for (int i = 0; i < runs.size() - keep; ++i)
        QFile::remove(dir.filePath(runs.at(i)));
}

void RunLog::install()
{
    if (installed || activeLog)
        return;
    installed = true;
    activeLog = this;
    previousHandler = qInstallMessageHandler(handleMessage);
}

void RunLog::write(QtMsgType type, const char *category, const QString &message)
{
    QMutexLocker lock(&mutex);
    if (!file.isOpen() || capped)
        return;
    QByteArray line = QDateTime::currentDateTime()
                          .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz "))
                          .toUtf8();
    line += levelName(type);
    line += ' ';
    line += category ? category : "default";
    line += ": ";
    line += message.toUtf8();
    line += '\n';
    const QByteArray cut = "log cut here: it reached its size limit\n";
    if (written + line.size() + cut.size() > maxBytes) {
        capped = true;
        line = cut;
    }
    written += file.write(line);
    file.flush();
}
