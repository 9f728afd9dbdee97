#include "app/runstate.h"
#include "files/filesystem.h"
#include "img/archiveeditor.h"
#include "img/imgformat.h"
#include "syncfixture.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <sys/resource.h>

using namespace SyncFixture;

namespace {

QByteArray fileLine(const QString &path, const QByteArray &content)
{
    return path.toUtf8() + ' ' + QFileInfo(path).fileName().toUtf8() + " file "
        + QByteArray::number(content.size()) + ' ' + md5Hex(content) + '\n';
}

// A host with a hand-written list and the packed files it names.
struct Host
{
    TestHttpServer server;
    void file(const QString &path, const QByteArray &content)
    {
        // Matched as the request line carries it.
        server.route("/launcher/filesystem/" + QUrl::toPercentEncoding(path, "/") + ".compressed",
            TestResponse::ok(qCompress(content, 9)));
    }
    // Serves the file and returns its list line.
    QByteArray publish(const QString &path, const QByteArray &content)
    {
        file(path, content);
        return fileLine(path, content);
    }
    void list(const QByteArray &text)
    {
        server.route("/launcher/sync.lst", TestResponse::ok(text));
    }
};

// The element lines of an archive entry with key 0.
QByteArray archiveLines(const QString &path, const Elements &elements)
{
    QByteArray lines = path.toUtf8() + ' ' + QFileInfo(path).fileName().toUtf8()
        + " img_archive 411648 0 1 100\n\n[img] 0\n";
    for (const auto &element : elements)
        lines += element.first + ' ' + QByteArray::number(element.second.size()) + ' '
            + md5Hex(element.second) + '\n';
    return lines;
}

// Every stage text of a cycle, in order.
const QStringList stages = { "Получение списка синхронизируемых файлов...",
    "Удаление временных файлов...", "Конвертация названий файлов и директорий...",
    "Конвертация IMG архивов в формат v2staticHeader...", "Получение списка локальных файлов...",
    "Проверка целостности старой копии игры...", "Проверка целостности и поиск обновлений...",
    "Удаление лишних файлов...", "Сохранение внутренних данных...", "Подготовка к обновлению...",
    "Подготовка к резервации...", "Подготовка к скачиванию...",
    "Пересборка обновленных IMG архивов..." };

} // namespace

class TestSyncThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listThatCannotBeFetched_data();
    void listThatCannotBeFetched();
    void everyRunConvergesOrSaysWhy_data();
    void everyRunConvergesOrSaysWhy();
    void noSyncSwitch();
    void stopFlagEndsAfterTheStage_data();
    void stopFlagEndsAfterTheStage();
    void unsafePathsTouchNothingOutside();

private:
    RunResult sync(const Host &host, const std::function<void(const QString &)> &onText = {})
    {
        return runSync(game, environment(launcher, host.server.baseUrl()), onText);
    }

    QTemporaryDir dir;
    QString game;
    QString launcher;
};

void TestSyncThread::init()
{
    quitRequested = false;
    static int run = 0;
    game = dir.filePath(QString("game%1").arg(run));
    launcher = dir.filePath(QString("launcher%1").arg(run++));
    QVERIFY(QDir().mkpath(game));
    QVERIFY(QDir().mkpath(launcher));
}

void TestSyncThread::listThatCannotBeFetched_data()
{
    // Whatever answers in place of a list changes nothing: taken as a list, it would have every
    // file of the game deleted.
    QTest::addColumn<TestResponse>("answer");
    QTest::addColumn<bool>("gameThere");
    const QByteArray whole = "[directories]\nmodels\n\n[entries]\n" + fileLine("gta_sa.exe", "game")
        + archiveLines("models/gta3.img", { { "a.dff", bytes(2048, 1) } });
    QTest::newRow("host down, a game to play as it is") << TestResponse::error(404) << true;
    QTest::newRow("host down, nothing to play") << TestResponse::error(404) << false;
    QTest::newRow("empty") << TestResponse::ok("") << true;
    QTest::newRow("maintenance page")
        << TestResponse::ok("<html><body>Technical works</body></html>\n", "text/html") << true;
    QTest::newRow("no entries section") << TestResponse::ok("[directories]\nmodels\n") << true;
    QTest::newRow("no entry") << TestResponse::ok("[directories]\nmodels\n\n[entries]\n") << true;
    QTest::newRow("cut before the elements")
        << TestResponse::ok(whole.left(whole.indexOf("[img]"))) << true;
    QTest::newRow("cut inside a line") << TestResponse::ok(whole.chopped(5)) << true;
}

void TestSyncThread::listThatCannotBeFetched()
{
    QFETCH(TestResponse, answer);
    QFETCH(bool, gameThere);
    TestHttpServer server;
    server.route("/launcher/sync.lst", answer);
    QVERIFY(server.listen());
    QVERIFY(writeFile(game + "/keep.txt", "kept"));
    if (gameThere)
        QVERIFY(writeFile(game + "/gta_sa.exe", "game"));
    const auto before = snapshot(game);
    const RunResult result = runSync(game, environment(launcher, server.baseUrl()));
    QCOMPARE(result.finished, gameThere);
    QCOMPARE(result.gameReady, gameThere);
    QCOMPARE(result.lastLeft(), QString("Ошибка: не удалось получить список файлов"));
    QCOMPARE(result.states.last(), qMakePair(quint64(1), quint64(0)));
    QCOMPARE(server.requestCount("/launcher/sync.lst"), answer.status == 404 ? 2 : 1);
    QCOMPARE(snapshot(game), before);
}

enum Trigger {
    Undeletable,
    StateUnwritable,
    ArchiveAsFile,
    TemporaryNames,
    FullDirectory,
    DiskFills,
    Unreadable,
    ArchiveLocked,
    FileUnderFile,
    ListedTwice,
    NoSpace
};

void TestSyncThread::everyRunConvergesOrSaysWhy_data()
{
    QTest::addColumn<int>("trigger");
    QTest::addColumn<QString>("ending"); // empty: ends ready, and the next run fetches nothing
    QTest::newRow("extra file that cannot be deleted")
        << int(Undeletable) << "Ошибка удаления файла: models/locked/extra.txt";
    QTest::newRow("state file that cannot be written")
        << int(StateUnwritable) << "Ошибка записи на диск: korvina_launcher.bin";
    QTest::newRow("archive listed as a plain file") << int(ArchiveAsFile) << QString();
    QTest::newRow("temporary and link names listed") << int(TemporaryNames) << QString();
    QTest::newRow("directory area full") << int(FullDirectory) << QString();
    QTest::newRow("disk fills while unpacking")
        << int(DiskFills) << "Ошибка записи на диск: big.bin";
    QTest::newRow("file that cannot be read")
        << int(Unreadable) << "Ошибка чтения файла: locked.dat";
    QTest::newRow("archive that cannot be edited")
        << int(ArchiveLocked) << "Не удаётся обновить файл: models/gta3.img";
    // The directory "a" is made first, so the file "a" has no place.
    QTest::newRow("a file where the list wants a directory")
        << int(FileUnderFile) << "Ошибка записи на диск: a";
    QTest::newRow("a path listed twice: the first line counts") << int(ListedTwice) << QString();
    // 3 MiB is 6 units of 512 KiB: 6 + 3000 - free MiB = 1234
    QTest::newRow("not enough space")
        << int(NoSpace) << "Недостаточно места на диске! Нужно ещё 1234Mb";
}

void TestSyncThread::everyRunConvergesOrSaysWhy()
{
    QFETCH(int, trigger);
    QFETCH(QString, ending);
    Host host;
    QByteArray list = "[directories]\nmodels\n\n[entries]\n" + host.publish("ok.txt", "ok");
    QStringList rootOnly; // refused to the unprivileged user
    const QString archive = game + "/models/gta3.img";
    QByteArray wanted; // ArchiveAsFile: what the archive must end as, byte for byte
    qint64 freeBytes = qint64(1) << 42;
    switch (trigger) {
    case Undeletable:
        QVERIFY(writeFile(game + "/models/locked/extra.txt", "players"));
        rootOnly << game + "/models/locked" << game + "/models/locked/extra.txt";
        QVERIFY(QFile(game + "/models/locked")
                    .setPermissions(
                        QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        list.replace("models\n", "models\nmodels/locked\n");
        break;
    case StateUnwritable:
        QVERIFY(QDir().mkpath(launcher + SyncThread::stateFileName));
        break;
    case ArchiveAsFile: {
        QVERIFY(writeArchive(archive, { { "a.dff", bytes(2048, 1) } }));
        const QString published = dir.filePath("published.img");
        QVERIFY(writeArchive(published, { { "a.dff", bytes(4096, 2) } }));
        wanted = readFile(published);
        list += host.publish("models/gta3.img", wanted);
        break;
    }
    case TemporaryNames:
        for (const char *name : { "notes.tmp", "game.lnk", "models/x.link" })
            list += host.publish(name, "t");
        break;
    case FullDirectory: {
        Elements empty; // no data, but each takes a directory entry
        for (int i = 0; i < ImgArchive::maxStaticElements; ++i)
            empty.append({ "e" + QByteArray::number(i) + ".dff", QByteArray() });
        QVERIFY(writeArchive(archive, empty, true));
        list += archiveLines("models/gta3.img", { { "new.dff", bytes(2048, 3) } });
        host.file("models/gta3.img_img/new.dff", bytes(2048, 3));
        break;
    }
    case DiskFills:
    case NoSpace:
        list += host.publish("big.bin", QByteArray(3 << 20, 'z'));
        if (trigger == NoSpace)
            freeBytes = qint64(6 + 3000 - 1234) * 1048576 + 1048575;
        break;
    case Unreadable:
        QVERIFY(writeFile(game + "/locked.dat", "secret"));
        QVERIFY(QFile(game + "/locked.dat").setPermissions({}));
        rootOnly << game + "/locked.dat";
        list += fileLine("locked.dat", "secret");
        break;
    case ArchiveLocked:
        QVERIFY(writeArchive(archive, { { "old.dff", bytes(2048, 4) } }, true));
        QVERIFY(QFile(archive).setPermissions(QFile::ReadOwner | QFile::ReadOther));
        rootOnly << archive;
        list += archiveLines("models/gta3.img", {});
        break;
    case FileUnderFile:
        list += host.publish("a", "file a") + host.publish("a/b", "file b");
        break;
    case ListedTwice:
        QVERIFY(writeFile(game + "/ok.txt", "other"));
        list += fileLine("ok.txt", "other");
        break;
    }
    host.list(list);
    QVERIFY(host.server.listen());
    SyncEnvironment env = environment(launcher, host.server.baseUrl());
    env.freeBytes = [freeBytes](const QString &) { return freeBytes; };

    RunResult result;
    {
        Unprivileged user(dir.path(), rootOnly);
        // A full disk as a process sees it: writes beyond the limit come back short.
        struct rlimit fileSize;
        ::getrlimit(RLIMIT_FSIZE, &fileSize);
        if (trigger == DiskFills) {
            const struct rlimit limited = { 1 << 20, fileSize.rlim_max };
            ::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        result = runSync(game, env);
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
    }
    QFile(game + "/models/locked")
        .setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile(game + "/locked.dat").setPermissions(QFile::ReadOwner | QFile::WriteOwner);

    if (!ending.isEmpty()) {
        QVERIFY(!result.finished);
        QCOMPARE(result.lastLeft(), ending);
        // A refused item does not hold up the rest of the queue (queued after it, "ok.txt"
        // sorts last), unless the run ended before downloading.
        QCOMPARE(QFile::exists(game + "/ok.txt"),
            trigger != StateUnwritable && trigger != Unreadable && trigger != NoSpace);
        return;
    }
    QVERIFY(result.ready());
    QCOMPARE(readFile(game + "/ok.txt"), QByteArray("ok"));
    const int requests = host.server.requestCount();
    QVERIFY(sync(host).ready());
    QCOMPARE(host.server.requestCount(), requests + 1); // the list, nothing else
    if (trigger == ArchiveAsFile)
        QCOMPARE(readFile(archive), wanted);
    if (trigger == FullDirectory) {
        ImgArchive::ArchiveEditor editor(archive);
        QVERIFY(editor.open());
        QCOMPARE(editor.readEntry(editor.findEntry("new.dff")), bytes(2048, 3));
        QCOMPARE(editor.liveEntryCount(), ImgArchive::maxStaticElements + 1);
    }
}

void TestSyncThread::noSyncSwitch()
{
    Host host;
    host.list("[directories]\n\n[entries]\n" + host.publish("new.txt", "new"));
    QVERIFY(host.server.listen());
    QVERIFY(writeFile(game + "/Extra File.TXT", "players"));
    QSettings(launcher + "/user.ini", QSettings::IniFormat).setValue("SERVERS/NoSync", 1);
    const RunResult result = sync(host);
    QVERIFY(result.ready());
    QCOMPARE(result.countTexts("Пересборка обновленных IMG архивов..."), 1);
    QCOMPARE(result.countTexts("Удаление лишних файлов..."), 0);
    QCOMPARE(host.server.requestCount(), 1);
    QVERIFY(!QFile::exists(game + "/new.txt"));
    // The directory is still tidied.
    QCOMPARE(readFile(game + "/extra_file.txt"), QByteArray("players"));
}

void TestSyncThread::stopFlagEndsAfterTheStage_data()
{
    QTest::addColumn<QString>("trigger");
    for (const QString &stage : stages)
        QTest::newRow(qPrintable(stage)) << stage;
    QTest::newRow("while a body arrives") << QString("Скачивание f.bin...");
}

void TestSyncThread::stopFlagEndsAfterTheStage()
{
    QFETCH(QString, trigger);
    // A first launch with something to remove, download and rebuild, so that every stage runs.
    QVERIFY(writeFile(game + "/extra.txt", "extra"));
    QVERIFY(writeArchive(game + "/models/gta3.img", { { "a.dff", bytes(2048, 2) } }));
    Host host;
    host.list("[directories]\nmodels\n\n[entries]\n" + fileLine("f.bin", bytes(5000, 1))
        + archiveLines("models/gta3.img", { { "a.dff", bytes(2048, 3) } }));
    host.file("models/gta3.img_img/a.dff", bytes(2048, 3));
    // In the last row the host stops the run as the body goes out, slowly: none of it is kept.
    const bool arriving = trigger.startsWith("Скачивание");
    host.server.route("/launcher/filesystem/f.bin.compressed", [arriving](const TestRequest &) {
        quitRequested = quitRequested || arriving;
        TestResponse answer = TestResponse::ok(qCompress(bytes(5000, 1), 9));
        return arriving ? answer.inChunks(500, 20) : answer;
    });
    QVERIFY(host.server.listen());

    const RunResult result = sync(host, [&](const QString &left) {
        if (left == trigger && !arriving)
            quitRequested = true;
    });
    QCOMPARE(QFile::exists(game + "/f.bin"), !arriving && trigger == stages.last());
    QVERIFY(result.ready());
    int at = -1;
    for (int i = 0; i < result.texts.size() && at < 0; ++i)
        at = result.texts.at(i).first == trigger ? i : -1;
    QVERIFY2(at >= 0, qPrintable(trigger));
    for (int i = at + 1; i < result.texts.size(); ++i)
        QVERIFY2(!stages.contains(result.texts.at(i).first), qPrintable(result.texts.at(i).first));
    // The state file is whole wherever the run was stopped.
    QVERIFY(!QFile::exists(launcher + SyncThread::stateFileName)
        || !FileSystem::readSealedFile(SyncThread::stateFileName, launcher).isEmpty());
}

void TestSyncThread::unsafePathsTouchNothingOutside()
{
    const QString outside = dir.filePath("outside");
    QVERIFY(writeFile(outside + "/victim.txt", "must survive"));
    QVERIFY(QFile::link(outside, game + "/link"));
    QVERIFY(QFile::link(outside + "/gone.txt", game + "/dangling.txt")); // a link all the same
    QVERIFY(writeArchive(game + "/models/gta3.img", { { "ok.dff", QByteArray(2048, 'x') } }, true));
    const auto before = snapshot(outside);

    QByteArray list = "[directories]\n../evil_dir\n/abs_dir\nmodels\nlink/sub\n\n[entries]\n";
    for (const char *path : { "../escape.txt", "/abs.txt", "c:/drive.txt", "a\\b.txt", "./dot.txt",
             "models/../../up.txt", "link/through.txt", "link/victim.txt", "dangling.txt",
             "Upper.txt", ".hidden", "con.evil", "evil_dot.", "com¹.evil", "conin$.evil" })
        list += fileLine(path, "evil");
    // One file on Windows with the name listed before it: the first counts.
    list += fileLine("aσ.txt", "good") + fileLine("aς.txt", "evil") + fileLine("μ.txt", "good")
        + fileLine("µ.txt", "evil");
    list += fileLine(QString("d/").repeated(2000) + "evil.txt", "evil"); // hangs creating it
    list += fileLine("good.txt", "good");
    list += archiveLines("models/gta3.img",
        { { "../../evil.dff", QByteArray(2048, 'e') }, { "ok.dff", QByteArray(2048, 'o') },
            { "OK.DFF", QByteArray(2048, 'e') } }); // the archive would take it for ok.dff
    // Larger than an archive can hold: fetched, it would be unpacked in memory to that size.
    list += "evil_huge.dff 1610612736 00000000000000000000000000000000\n";
    Host host;
    host.list(list);
    host.file("good.txt", "good");
    host.file("aσ.txt", "good");
    host.file("μ.txt", "good");
    host.file("models/gta3.img_img/ok.dff", QByteArray(2048, 'o'));
    host.server.setFallback(
        [](const TestRequest &) { return TestResponse::ok(qCompress("evil", 9)); });
    QVERIFY(host.server.listen());

    // A state that names things outside for removal.
    QByteArray state = "[directories]\n../outside\nlink\n\n[entries]\n";
    state += "../outside/victim.txt victim.txt file 12 " + md5Hex("must survive") + " 1\n";
    state += "link/victim.txt victim.txt file 12 " + md5Hex("must survive") + " 1\n";
    QVERIFY(FileSystem::writeSealedFile(SyncThread::stateFileName, state, launcher));

    const RunResult result = sync(host);
    // A file wanted at or behind a link cannot be written safely: refused and said (the first
    // of them), not pretended.
    QVERIFY(!result.finished);
    QCOMPARE(result.lastLeft(), QString("Ошибка записи на диск: dangling.txt"));
    QCOMPARE(snapshot(outside), before);
    QVERIFY(!QFile::exists(dir.filePath("escape.txt")));
    QVERIFY(!QFile::exists(dir.filePath("up.txt")));
    QVERIFY(!QFileInfo::exists(dir.filePath("evil_dir")));
    QCOMPARE(readFile(game + "/good.txt"), QByteArray("good"));
    QCOMPARE(readFile(game + "/aσ.txt"), QByteArray("good"));
    for (const TestRequest &request : host.server.requests())
        QVERIFY2(!request.path.contains("evil") && !request.path.contains("escape")
                && !request.path.contains("OK.DFF") && !request.path.contains("%CF%82")
                && !request.path.contains("%C2%B5"),
            request.path.constData());
}

QTEST_GUILESS_MAIN(TestSyncThread)
#include "tst_syncthread.moc"
