#pragma once

// Bringing the game directory into the state the file host describes.

#include "sync/filedownloader.h"
#include "sync/localtree.h"
#include "sync/releasedocument.h"
#include "sync/syncinterfaces.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class FileSystem;
class QNetworkAccessManager;
class SyncDiffHandler;

// Where a synchronisation run reads and writes besides the game directory, and how patient it
// is; the defaults are the real launcher's.
struct SyncEnvironment
{
    // Holds the state file "/korvina_launcher.bin" and user.ini; the launcher's directory.
    QString launcherDir;
    // The file host, "https://host", without a trailing slash.
    QString fileHostUrl;
    // Free bytes for the user on the volume of a path, -1 when unknown.
    std::function<qint64(const QString &)> freeBytes;
    // The release keys (raw Ed25519): when set, a list is taken only with its release's valid
    // signed document (ReleaseDocument), and every body only as that document describes it.
    QByteArray releasePublicKey;
    // Seconds since 1970 (UTC), for the release's expiry.
    std::function<qint64()> clock;
    FileDownloader::Timing timing;
    int listAttempts = 3;
    int listTimeoutMs = 10000;
    int startDelayMs = 250;
    // The state file is rewritten after every completed item, but at most this often; what a
    // crash keeps from the last interval is found again by hashing, not by downloading. A tree
    // whose state takes long to write is saved less often (see SyncThread::saveState).
    int stateSaveIntervalMs = 200;

    static SyncEnvironment standard();
};

// Runs synchronisation cycles on a thread of its own until the game directory matches the
// remote list, reporting through the progress signals and finish(). A cycle fetches the list,
// tidies the directory, takes the local inventory, plans, and carries the plan out; a cycle
// that changed anything is followed by another, which verifies the result.
class SyncThread : public QObject, public SyncWorker
{
    Q_OBJECT

public:
    SyncThread(const QString &gameDir, QObject *owner);
    SyncThread(const QString &gameDir, QObject *owner, const SyncEnvironment &environment);
    ~SyncThread() override;

    static constexpr char stateFileName[] = "/korvina_launcher.bin";
    // The number of the newest release taken, beside the state but not deleted with it by a
    // repair: a release older than that is a replay of one the host no longer serves.
    static constexpr char releaseFileName[] = "/korvina_release.bin";
    // Shown when the remote list cannot be fetched; the run still ends ready (UTF-8), unless
    // the game directory holds no game to play.
    static constexpr char fileListError[] = "Ошибка: не удалось получить список файлов";
    // The program whose presence means there is a game to play without the list.
    static constexpr char gameProgram[] = "/gta_sa.exe";
    // Runs that end without ready, each followed by the file concerned (UTF-8).
    static constexpr char writeError[] = "Ошибка записи на диск: ";
    static constexpr char removeError[] = "Ошибка удаления файла: ";
    static constexpr char readError[] = "Ошибка чтения файла: ";
    static constexpr char stuckError[] = "Не удаётся обновить файл: ";
    // Cycles in a row that may plan again what the cycle before them planned, before the run
    // gives up on it.
    static constexpr int stallLimit = 2;
    // Cycles that may pass over the same item (its host failing it), or pass items over and
    // bring none, before the run gives up.
    static constexpr int passOverLimit = 3;
    // The longest a state save is put off for its own cost.
    static constexpr qint64 maxStateSaveIntervalMs = 30000;

    void saveState() override;
    void markArchiveUpdated(const QByteArray &path) override;
    QList<QByteArray> takeUpdatedArchives() override;
    QObject *conversionReceiver() override { return this; }

signals:
    void setProgressText(const QString &left, const QString &right);
    void setProgressState(quint64 currentValue, quint64 maxValue);
    void finish(bool gameReady);

public slots:
    void start();
    void updateProgressBar(quint64 maxValue, quint64 currentValue) override;
    void updateCurrentFile(const QString &currentFile, const QString &speed = QString()) override;

private:
    enum class Cycle { Again, Ended };

    Cycle runCycle();
    bool stopped();
    void endRun(bool sendFinish);
    void stage(const QString &text);
    bool fetchLists();
    // The list's bytes, and when a release key is set, only those of a valid, current release
    // (kept in release).
    bool fetchListText(QByteArray *text);
    // The release's document when its signature holds, it is in force and not older than
    // accepted, the newest taken; false otherwise. *again: the signature did not hold (a
    // republication may have fallen between the document and its signature).
    bool fetchRelease(const QString &url, quint64 accepted, bool *again);
    // The number kept in releaseFileName, read once a list fetch.
    quint64 acceptedRelease() const;
    void removeTemporaryFiles();
    void convertNames();
    void convertImgArchives();
    void scanLocal();
    bool checkOldCopy();
    bool planChanges(bool freshState);
    QString stalledItem();
    void rebuildImgArchives();
    void endWithError(const char *text, const QString &file);
    bool writeState();
    void flushState();
    void deleteCycle();

    int progressStage = 0;
    QSet<QByteArray> updatedArchives;
    QString gameDir;
    FileSystem *remoteList = nullptr;
    FileSystem *savedState = nullptr;
    FileSystem *localList = nullptr;
    SyncDiffHandler *diffHandler = nullptr;
    ReleaseDocument release; // of the cycle's list, when releases are signed
    // The walk of the game directory that the tidying and the inventory of a cycle share.
    LocalTree localTree;
    QObject *owner;
    SyncEnvironment environment;
    QNetworkAccessManager *network = nullptr; // the run's, on its thread
    QElapsedTimer lastSave;
    bool savePending = false;
    // What the state file holds now, and what writing it last cost (ms).
    QByteArray savedText;
    qint64 saveCost = 0;
    // Carried from cycle to cycle: what the last cycle planned (less what the host failed
    // at), how many cycles in a row repeated some of it, and the downloader's failure streak.
    QHash<QString, QString> lastPlan; // key -> the file it concerns
    int stalledCycles = 0;
    int hostFailureStreak = 0;
    // Items whose bodies kept failing, fetched last, and how often each was passed over.
    QHash<QString, int> passOvers;
    int fruitlessCycles = 0; // cycles in a row that passed items over and finished none
};
