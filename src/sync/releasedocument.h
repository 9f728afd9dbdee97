#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

// What the operator's signature covers: which release this is, since and until when it holds,
// and the SHA-256 of the list and of every body the host serves for it, as served. A signature
// over the list alone can be replayed for ever and ties bodies to MD5 only; this document, served
// as /launcher/release.lst beside the list with its signature in release.lst.sig, makes an older
// release, an expired one and a body swapped for its MD5 twin all fail. The text form, UTF-8,
// every line ending in a line feed:
//   korvina-release 1                    the format version
//   number N                             grows with every release or renewal
//   published T                          seconds since 1970 (UTC)
//   expires T                            optional: not to be taken after this time
//   list SHA256                          of sync.lst, 64 lower-case hex digits
//   SHA256 SIZE PATH                     one line a body, PATH below /launcher/filesystem/,
//                                        strictly ascending by its UTF-8 bytes
class ReleaseDocument
{
public:
    static constexpr int formatVersion = 1;
    // Far above the document of a whole game (about 110 bytes a body, 40,000 bodies).
    static constexpr int maxTextBytes = 64 * 1024 * 1024;

    struct Body
    {
        QByteArray sha256; // raw 32 bytes
        quint64 size = 0;

        bool operator==(const Body &other) const
        {
            return sha256 == other.sha256 && size == other.size;
        }
    };

    quint64 number = 0;
    qint64 published = 0;
    qint64 expires = 0; // 0: never
    QByteArray listSha256; // raw 32 bytes
    QHash<QString, Body> bodies;

    // Reads text as a whole: anything not of the form above (another format version, a line
    // not understood, a number out of range, bodies out of order) is false, nothing is kept.
    bool parse(const QByteArray &text);
    QByteArray toText() const;

    // The body served as filesPath/remote, or null when the release has none of that name.
    const Body *body(const QString &remote) const;
    bool expiredAt(qint64 now) const { return expires > 0 && now >= expires; }
};

// SHA-256 over bytes as they stream by, with OpenSSL's implementation: the one Qt 5 brings is
// several times slower, and every served byte goes through it.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void reset();
    void addData(const char *data, qint64 size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // The raw 32 bytes; the next digest starts from nothing.
    QByteArray result();

    static QByteArray hash(const QByteArray &data);

private:
    struct Context;
    std::unique_ptr<Context> context;
};
