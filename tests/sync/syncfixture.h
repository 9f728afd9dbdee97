#pragma once

// Shared by the synchronisation tests: files and IMG archives made on disk, a snapshot of a
// directory tree to compare, a loopback file host serving a published tree, and a helper that
// runs one SyncThread on a thread of its own to its end.

#include "sync/syncthread.h"
#include "testfiles.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>

class TestHttpServer;
struct TestRequest;
struct TestResponse;

namespace SyncFixture {

using TestFiles::bytes;
using TestFiles::readFile;
using TestFiles::writeFile;

using Elements = QList<QPair<QByteArray, QByteArray>>; // name, data
// A standard version-2 archive ("VER2"), element data at the given order from sector 1 on
// (sector-rounded), or, with staticHeader, the launcher's static-header layout.
bool writeArchive(const QString &path, const Elements &elements, bool staticHeader = false);
// A standard archive converted as the launcher keeps it, so trees compare byte for byte.
bool makeStaticArchive(const QString &path, const Elements &elements);
QByteArray md5Hex(const QByteArray &data);

// Relative path -> content digest for every file, and "dir:" + path for every directory;
// hidden names included, so stray temporaries show up.
QMap<QString, QByteArray> snapshot(const QString &root);
// The differences of two trees, one a line; empty when equal.
QString treeDifferences(const QString &expectedRoot, const QString &actualRoot);

// Serves the files below root as the host's paths ("/launcher/..."); unknown paths are 404.
void serveTree(TestHttpServer &server, const QString &root);
// The whole answer serveTree gives to request.
TestResponse treeResponse(const QString &root, const TestRequest &request);

struct RunResult
{
    bool finished = false; // finish() was sent
    bool gameReady = false;
    bool ready() const { return finished && gameReady; }
    QList<QPair<QString, QString>> texts; // every setProgressText
    QList<QPair<quint64, quint64>> states; // every setProgressState
    int countTexts(const QString &prefix) const
    {
        return int(std::count_if(texts.begin(), texts.end(),
            [&](const QPair<QString, QString> &text) { return text.first.startsWith(prefix); }));
    }
    QString lastLeft() const { return texts.isEmpty() ? QString() : texts.last().first; }
};

SyncEnvironment environment(const QString &launcherDir, const QString &hostUrl);

// While it lives, the process acts as an unprivileged user when it runs as root (root ignores
// file permissions, and a test of a refused write needs them to hold): the tree is handed to
// that user first, except the paths in keep, which stay root's.
class Unprivileged
{
public:
    Unprivileged(const QString &tree, const QStringList &keep);
    ~Unprivileged();

private:
    bool dropped = false;
    bool groupDropped = false;
};
// Runs one synchronisation to its end (the worker's thread quits) and collects its signals.
// onText, when given, sees every left text on the worker's thread as it is sent.
RunResult runSync(const QString &gameDir, const SyncEnvironment &environment,
    const std::function<void(const QString &left)> &onText = {});

} // namespace SyncFixture
