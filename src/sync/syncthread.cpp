#include "sync/syncthread.h"

#include "app/logcategories.h"
#include "app/runstate.h"
#include "buildconfig.h"
#include "files/filesystem.h"
#include "img/staticheader.h"
#include "platform/platform.h"
#include "service/httprequest.h"
#include "service/releasesignature.h"
#include "sync/localinventory.h"
#include "sync/remotelist.h"
#include "sync/remotenames.h"
#include "sync/syncdiffhandler.h"
#include "sync/tidying.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QThread>
#include <QUrl>

SyncEnvironment SyncEnvironment::standard()
{
    SyncEnvironment environment;
    environment.launcherDir = QCoreApplication::applicationDirPath();
    environment.fileHostUrl = QStringLiteral("https://") + QLatin1String(BuildConfig::fallbackHost);
    environment.freeBytes = &Platform::freeDiskBytes;
    environment.releasePublicKey = ReleaseSignature::builtInKey();
    environment.clock = &QDateTime::currentSecsSinceEpoch;
    return environment;
}

SyncThread::SyncThread(const QString &gameDir, QObject *owner)
    : SyncThread(gameDir, owner, SyncEnvironment::standard())
{
}

SyncThread::SyncThread(const QString &gameDir, QObject *owner, const SyncEnvironment &environment)
    : gameDir(gameDir)
    , localTree(gameDir)
    , owner(owner)
    , environment(environment)
{
    // The owner is not made the parent: the worker is moved to a thread of its own.
}

SyncThread::~SyncThread()
{
    deleteCycle();
}

void SyncThread::deleteCycle()
{
    delete diffHandler;
    delete remoteList;
    delete savedState;
    delete localList;
    diffHandler = nullptr;
    remoteList = nullptr;
    savedState = nullptr;
    localList = nullptr;
}

void SyncThread::start()
{
    QThread::msleep(ulong(qMax(0, environment.startDelayMs)));
    // One for the whole run, made on this thread: the list fetches and downloads of every cycle
    // share its connection to the host.
    network = new QNetworkAccessManager;
    while (runCycle() == Cycle::Again) { }
    // Released here, on the thread that made them: the downloader's timer and network manager
    // must not be torn down from another thread.
    deleteCycle();
    delete network;
    network = nullptr;
}

bool SyncThread::stopped()
{
    if (!quitRequested.load(std::memory_order_relaxed))
        return false;
    endRun(true);
    return true;
}

void SyncThread::endRun(bool sendFinish)
{
    flushState();
    qCInfo(lcSync) << (sendFinish ? "the run ends, the game is ready" : "the run ends");
    if (sendFinish)
        emit finish(true);
    QThread::currentThread()->quit();
}

void SyncThread::stage(const QString &text)
{
    emit setProgressText(text, QString());
    emit setProgressState(1, 0);
}

SyncThread::Cycle SyncThread::runCycle()
{
    deleteCycle();
    updatedArchives.clear();
    if (stopped())
        return Cycle::Ended;
    // A first launch may find no game directory at all; the root's own files need it.
    QDir().mkpath(gameDir);

    stage(QStringLiteral("Получение списка синхронизируемых файлов..."));
    if (!fetchLists()) {
        if (stopped())
            return Cycle::Ended;
        qCWarning(lcSync) << "no valid file list from" << QUrl(environment.fileHostUrl).host();
        emit setProgressText(QString::fromUtf8(fileListError), QString());
        emit setProgressState(1, 0);
        // The game may be played as it is, but only where there is one: a first install
        // without a list has nothing to start.
        endRun(QFileInfo(gameDir + QLatin1String(gameProgram)).isFile());
        return Cycle::Ended;
    }
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Удаление временных файлов..."));
    removeTemporaryFiles();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Конвертация названий файлов и директорий..."));
    convertNames();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Конвертация IMG архивов в формат v2staticHeader..."));
    convertImgArchives();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Получение списка локальных файлов..."));
    scanLocal();
    if (stopped())
        return Cycle::Ended;

    bool freshState = false;
    if (savedState->entries.isEmpty() || savedState->directories.isEmpty()) {
        emit setProgressText(
            QStringLiteral("Проверка целостности старой копии игры..."), QString());
        emit setProgressState(0, 0);
        freshState = checkOldCopy();
        if (stopped())
            return Cycle::Ended;
    }

    stage(QStringLiteral("Проверка целостности и поиск обновлений..."));
    const bool planned = planChanges(freshState);
    if (stopped())
        return Cycle::Ended;
    if (!planned && !diffHandler->unreadablePath().isEmpty()) {
        // Nothing was compared, so nothing can be called ready (a game holding the file open).
        endWithError(readError, diffHandler->unreadablePath());
        return Cycle::Ended;
    }
    const QString stalled = stalledItem();
    if (!stalled.isEmpty()) {
        endWithError(stuckError, stalled);
        return Cycle::Ended;
    }

    qCInfo(lcSync) << "planned:" << diffHandler->directoryPlan().size() << "directories,"
                   << diffHandler->filePlan().size() << "files," << diffHandler->imgPlan().size()
                   << "archive elements";
    if (!diffHandler->hasChanges()) {
        stage(QStringLiteral("Пересборка обновленных IMG архивов..."));
        rebuildImgArchives();
        if (stopped())
            return Cycle::Ended;
        endRun(true);
        return Cycle::Ended;
    }

    stage(QStringLiteral("Удаление лишних файлов..."));
    diffHandler->removeExtraFiles();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Сохранение внутренних данных..."));
    // What is about to be overwritten is forgotten on disk first; without that record nothing
    // may change, or a crash could leave the state claiming the old bytes.
    diffHandler->forgetPlannedContent();
    if (!writeState()) {
        endWithError(writeError, QLatin1String(stateFileName + 1));
        return Cycle::Ended;
    }
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Подготовка к обновлению..."));
    FileDownloader *downloader = new FileDownloader(gameDir, this, diffHandler,
        environment.fileHostUrl + QLatin1String(RemoteNames::filesPath), environment.timing,
        nullptr, network);
    if (environment.freeBytes)
        downloader->setFreeSpaceQuery(environment.freeBytes);
    downloader->setFailureStreak(hostFailureStreak);
    downloader->setDeferred(QSet<QString>(passOvers.keyBegin(), passOvers.keyEnd()));
    if (!environment.releasePublicKey.isEmpty())
        downloader->setRelease(&release);
    diffHandler->setDownloader(downloader);
    diffHandler->prepareUpdate();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Подготовка к резервации..."));
    progressStage = 3;
    downloader->createDirectories();
    progressStage = 0;
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Подготовка к скачиванию..."));
    qCInfo(lcSync) << "to download:" << downloader->items().size() << "items,"
                   << downloader->totalBytes() << "bytes";
    const qint32 shortfall = downloader->spaceShortfall();
    if (shortfall > 0) {
        qCWarning(lcSync) << "not enough disk space: another" << shortfall << "MiB needed";
        emit setProgressText(QStringLiteral("Недостаточно места на диске! Нужно ещё ")
                + QString::number(shortfall) + QStringLiteral("Mb"),
            QString());
        emit setProgressState(1, 0);
        endRun(false);
        return Cycle::Ended;
    }
    progressStage = 4;
    downloader->start();
    progressStage = 0;
    hostFailureStreak = downloader->failureStreak();
    QStringList given = downloader->unreachableItems();
    if (!downloader->passedOver().isEmpty())
        given.append(downloader->passedOver());
    for (const QString &path : given) {
        // Each pass-over cost a few attempts and a fresh list; an item that no list and no
        // attempt brings is named instead of asked for again.
        if (++passOvers[path] >= passOverLimit) {
            endWithError(stuckError, path);
            return Cycle::Ended;
        }
    }
    // A host that serves the list but none of what it lists would otherwise be asked for one
    // item after another, a few cycles each.
    fruitlessCycles
        = !given.isEmpty() && downloader->finishedItems() == 0 ? fruitlessCycles + 1 : 0;
    if (fruitlessCycles >= passOverLimit) {
        endWithError(stuckError, given.first());
        return Cycle::Ended;
    }
    const QSet<QString> &troubled = downloader->hostTroubled();
    for (auto it = lastPlan.begin(); it != lastPlan.end();)
        it = troubled.contains(it.value()) ? lastPlan.erase(it) : std::next(it);
    flushState();
    if (stopped())
        return Cycle::Ended;

    stage(QStringLiteral("Пересборка обновленных IMG архивов..."));
    rebuildImgArchives();
    if (stopped())
        return Cycle::Ended;

    // Items the disk refused were given up for this run; another cycle would only meet the same
    // refusal again. The player is told which file, and the game is not reported ready.
    if (!diffHandler->removalFailures().isEmpty()) {
        endWithError(removeError, diffHandler->removalFailures().first());
        return Cycle::Ended;
    }
    const QStringList failures = downloader->localFailures();
    if (!failures.isEmpty()) {
        endWithError(writeError, failures.first());
        return Cycle::Ended;
    }
    return Cycle::Again;
}

void SyncThread::endWithError(const char *text, const QString &file)
{
    qCWarning(lcSync).noquote() << "ends without the game ready:" << QString::fromUtf8(text) + file;
    emit setProgressText(QString::fromUtf8(text) + file, QString());
    emit setProgressState(1, 0);
    endRun(false);
}

QString SyncThread::stalledItem()
{
    // A cycle that plans again what the cycle before it planned made no progress with it: the
    // disk did not keep it, or something undoes it. The host's failures are excused (they are
    // retried with a growing pause); anything else is given up on after a few cycles, naming
    // the file, instead of spinning.
    const QVector<QPair<QString, QString>> keys = diffHandler->planKeys();
    QString repeated;
    QHash<QString, QString> plan;
    plan.reserve(keys.size());
    for (const auto &key : keys) {
        if (repeated.isEmpty() && lastPlan.contains(key.first))
            repeated = key.second;
        plan.insert(key.first, key.second);
    }
    lastPlan = plan;
    stalledCycles = repeated.isEmpty() ? 0 : stalledCycles + 1;
    return stalledCycles >= stallLimit ? repeated : QString();
}

bool SyncThread::fetchLists()
{
    QByteArray text;
    if (!fetchListText(&text))
        return false;
    remoteList = new FileSystem;
    // A maintenance page, a cut answer or garbage is no list: taken as one, it would have
    // every file of the game deleted.
    if (!RemoteList::read(text, *remoteList)) {
        delete remoteList;
        remoteList = nullptr;
        return false;
    }
    RemoteList::sanitize(*remoteList);

    const QByteArray payload
        = FileSystem::readSealedFile(QLatin1String(stateFileName), environment.launcherDir);
    savedState = new FileSystem;
    savedState->setRootPath(gameDir);
    if (!payload.isEmpty())
        savedState->readText(payload, true);
    return true;
}

bool SyncThread::fetchListText(QByteArray *text)
{
    const QString url = environment.fileHostUrl + QLatin1String(RemoteNames::listPath);
    const bool signedReleases = !environment.releasePublicKey.isEmpty();
    const quint64 accepted = signedReleases ? acceptedRelease() : 0;
    // A republication between the document, its signature and the list pairs one release's
    // part with the other's: they are fetched again, once.
    for (int pair = 0; pair < 2; ++pair) {
        bool again = false;
        if (signedReleases
            && !fetchRelease(environment.fileHostUrl + QLatin1String(RemoteNames::releasePath),
                accepted, &again)) {
            if (again && !quitRequested.load(std::memory_order_relaxed))
                continue;
            return false;
        }
        HttpRequest request(url);
        request.useNetwork(network);
        // Far above a whole game's list (about 4 MiB for 40,000 files and elements).
        request.setBodyLimit(64 * 1024 * 1024);
        if (!request.sendGet(environment.listAttempts, environment.listTimeoutMs))
            return false;
        if (signedReleases && Sha256::hash(request.response()) != release.listSha256) {
            if (quitRequested.load(std::memory_order_relaxed))
                return false;
            continue;
        }
        if (signedReleases && release.number > accepted) {
            // Kept before anything of the release is acted on; a launcher directory that
            // cannot keep it only loses the refusal of a replay, not the game.
            FileSystem::writeSealedFile(QLatin1String(releaseFileName),
                "release " + QByteArray::number(release.number) + '\n', environment.launcherDir);
        }
        *text = request.response();
        return true;
    }
    return false;
}

bool SyncThread::fetchRelease(const QString &url, quint64 accepted, bool *again)
{
    HttpRequest request(url);
    request.useNetwork(network);
    request.setBodyLimit(ReleaseDocument::maxTextBytes);
    if (!request.sendGet(environment.listAttempts, environment.listTimeoutMs))
        return false;
    const QByteArray &body = request.response();
    if (!ReleaseSignature::fetchAndVerify(url, body.constData(), body.size(),
            environment.releasePublicKey, environment.listAttempts, environment.listTimeoutMs,
            network)) {
        *again = true;
        return false;
    }
    // Signed by the operator, but maybe long ago: a host that serves an old release (or one
    // past the date the operator gave it) would undo what every release since has fixed.
    const qint64 now = environment.clock ? environment.clock() : QDateTime::currentSecsSinceEpoch();
    return release.parse(body) && !release.expiredAt(now) && release.number >= accepted;
}

quint64 SyncThread::acceptedRelease() const
{
    const QByteArray kept
        = FileSystem::readSealedFile(QLatin1String(releaseFileName), environment.launcherDir);
    return kept.startsWith("release ") ? kept.mid(8).trimmed().toULongLong() : 0;
}

void SyncThread::removeTemporaryFiles()
{
    if (quitRequested)
        return;
    // The last cycle's downloads changed the tree.
    localTree.invalidate();
    Tidying::removeTemporaryFiles(localTree);
}

void SyncThread::convertNames()
{
    Tidying::convertDirectoryNames(localTree);
    if (quitRequested)
        return;
    Tidying::convertFileNames(localTree);
}

void SyncThread::convertImgArchives()
{
    QSet<QString> plainFiles;
    for (const FileEntry &entry : qAsConst(remoteList->entries)) {
        if (!entry.name.isEmpty() && entry.kind != FileEntry::img_archive)
            plainFiles.insert(entry.path);
    }
    const QStringList archives = Tidying::archivesToConvert(localTree, plainFiles);
    if (quitRequested)
        return;
    if (!archives.isEmpty())
        localTree.invalidate();
    // Converted archives are not queued for the rebuild stage: the conversion has just left
    // them compact, and a second rewrite would change nothing.
    progressStage = 2;
    for (const QString &archive : archives) {
        if (quitRequested)
            break;
        ImgArchive::convertToStaticHeader(archive, this);
    }
    progressStage = 0;
}

void SyncThread::scanLocal()
{
    localList = new FileSystem;
    localList->setRootPath(gameDir);
    LocalInventory inventory(*localList);
    inventory.scan(localTree);
    // Nothing later in the cycle reads the walk; the next cycle walks again.
    localTree.clear();
    inventory.adoptRemoteKinds(*remoteList);
    inventory.readImgDirectories();
}

bool SyncThread::checkOldCopy()
{
    progressStage = 1;
    {
        LocalInventory inventory(*localList);
        connect(&inventory, &LocalInventory::updateCurrentFile, this,
            [this](const QString &file) { updateCurrentFile(file); });
        connect(
            &inventory, &LocalInventory::updateProgressBar, this, &SyncThread::updateProgressBar);
        inventory.hashFiles();
        inventory.hashImgElements();
    }
    progressStage = 0;
    if (quitRequested)
        return false;

    QByteArray text;
    localList->writeText(text, true);
    delete savedState;
    savedState = new FileSystem;
    savedState->setRootPath(gameDir);
    savedState->readText(text, true);
    writeState();
    return true;
}

bool SyncThread::planChanges(bool freshState)
{
    progressStage = 5;
    diffHandler = new SyncDiffHandler(gameDir, this);
    diffHandler->setLists(localList, savedState, remoteList);
    QSettings settings(environment.launcherDir + QStringLiteral("/user.ini"), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("SERVERS"));
    const bool compared = settings.value(QStringLiteral("NoSync"), 0).toInt() != 0
        || diffHandler->compare(freshState);
    progressStage = 0;
    return compared;
}

void SyncThread::rebuildImgArchives()
{
    progressStage = 6;
    diffHandler->rebuildUpdatedArchives();
    progressStage = 0;
}

bool SyncThread::writeState()
{
    if (!savedState)
        return true;
    QElapsedTimer cost;
    cost.start();
    savedState->normalize();
    QByteArray text;
    savedState->writeText(text, true);
    savePending = false;
    bool written = true;
    // The file already says this (nothing changed since, or only what the text does not hold):
    // sealing it again would change nothing but the time spent.
    const QString file = environment.launcherDir + QLatin1String(stateFileName);
    if (text != savedText || !QFileInfo(file).isFile()) {
        written = FileSystem::writeSealedFile(
            QLatin1String(stateFileName), text, environment.launcherDir);
        savedText = written ? text : QByteArray();
    }
    saveCost = cost.elapsed();
    lastSave.start();
    return written;
}

void SyncThread::saveState()
{
    // Sealing the state costs more the larger the tree is (half a second for 100,000 files).
    // Spaced at least nineteen times that cost apart, saves take at most a twentieth of the
    // run; what a crash then loses is found again by hashing, not by downloading.
    // The first request of a run waits as well: a write that must precede a change is made
    // there (writeState), and the run's end writes what is pending.
    if (!lastSave.isValid())
        lastSave.start();
    const qint64 interval = qMax<qint64>(
        environment.stateSaveIntervalMs, qMin<qint64>(saveCost * 19, maxStateSaveIntervalMs));
    if (lastSave.elapsed() < interval) {
        savePending = true;
        return;
    }
    writeState();
}

void SyncThread::flushState()
{
    if (savePending)
        writeState();
}

void SyncThread::markArchiveUpdated(const QByteArray &path)
{
    updatedArchives.insert(path);
}

QList<QByteArray> SyncThread::takeUpdatedArchives()
{
    const QList<QByteArray> archives = updatedArchives.values();
    updatedArchives.clear();
    return archives;
}

void SyncThread::updateProgressBar(quint64 maxValue, quint64 currentValue)
{
    if (progressStage != 0)
        emit setProgressState(currentValue, maxValue);
}

void SyncThread::updateCurrentFile(const QString &currentFile, const QString &speed)
{
    switch (progressStage) {
    case 1:
        emit setProgressText(QStringLiteral("Проверка целостности старой копии игры (")
                + currentFile + QStringLiteral(")..."),
            QString());
        break;
    case 2:
        emit setProgressText(QStringLiteral("Конвертация IMG архивов в формат v2staticHeader (")
                + currentFile + QStringLiteral(")..."),
            QString());
        break;
    case 3:
        emit setProgressText(
            QStringLiteral("Резервация места на диске (") + currentFile + QStringLiteral(")..."),
            QString());
        break;
    case 4:
        emit setProgressText(QStringLiteral("Скачивание ") + currentFile, speed);
        break;
    case 5:
        emit setProgressText(currentFile.isEmpty()
                ? QStringLiteral("Проверка целостности и поиск обновлений...")
                : QStringLiteral("Проверка целостности ") + currentFile,
            QString());
        break;
    case 6:
        emit setProgressText(QStringLiteral("Пересборка обновленных IMG архивов (") + currentFile
                + QStringLiteral(")..."),
            QString());
        break;
    default:
        break;
    }
}
