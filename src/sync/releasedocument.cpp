#include "sync/releasedocument.h"

#include <algorithm>
#include <openssl/evp.h>

namespace {

constexpr int digestBytes = 32;
// Beyond the largest body any list can describe (a 4 GiB file, packed).
constexpr quint64 maxBodySize = quint64(1) << 40;

// Decimal without sign or leading zeros, at most limit.
bool readNumber(const QByteArray &text, quint64 limit, quint64 *value)
{
    if (text.isEmpty() || text.size() > 20 || (text.size() > 1 && text.at(0) == '0'))
        return false;
    quint64 result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const quint64 digit = quint64(c - '0');
        if (result > (limit - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

bool readDigest(const QByteArray &hex, QByteArray *digest)
{
    if (hex.size() != 2 * digestBytes)
        return false;
    for (const char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    *digest = QByteArray::fromHex(hex);
    return true;
}

// "key VALUE" with VALUE a number, as the line at index expects.
bool readField(
    const QList<QByteArray> &lines, int index, const char *key, quint64 limit, quint64 *value)
{
    const QByteArray prefix = QByteArray(key) + ' ';
    return index < lines.size() && lines.at(index).startsWith(prefix)
        && readNumber(lines.at(index).mid(prefix.size()), limit, value);
}

} // namespace

bool ReleaseDocument::parse(const QByteArray &text)
{
    *this = ReleaseDocument();
    if (text.size() > maxTextBytes || !text.endsWith('\n'))
        return false;
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast(); // after the final line feed
    constexpr quint64 maxTime = quint64(1) << 40;
    ReleaseDocument read;
    quint64 published = 0, expires = 0;
    int at = 0;
    if (lines.value(at++) != "korvina-release " + QByteArray::number(formatVersion)
        || !readField(lines, at++, "number", ~quint64(0), &read.number) || read.number == 0
        || !readField(lines, at++, "published", maxTime, &published))
        return false;
    if (lines.value(at).startsWith("expires ")
        && (!readField(lines, at++, "expires", maxTime, &expires) || expires == 0))
        return false;
    if (!lines.value(at).startsWith("list ")
        || !readDigest(lines.at(at++).mid(5), &read.listSha256))
        return false;
    read.published = qint64(published);
    read.expires = qint64(expires);
    read.bodies.reserve(lines.size() - at);
    QByteArray previous;
    for (; at < lines.size(); ++at) {
        const QByteArray &line = lines.at(at);
        const int first = line.indexOf(' ');
        const int second = first < 0 ? -1 : line.indexOf(' ', first + 1);
        Body body;
        if (second < 0 || !readDigest(line.left(first), &body.sha256)
            || !readNumber(line.mid(first + 1, second - first - 1), maxBodySize, &body.size))
            return false;
        const QByteArray path = line.mid(second + 1);
        const QString name = QString::fromUtf8(path);
        // Names are compared as the launcher asks for them: one spelling for each, in order.
        if (path.isEmpty() || path <= previous || name.toUtf8() != path)
            return false;
        previous = path;
        read.bodies.insert(name, body);
    }
    *this = read;
    return true;
}

QByteArray ReleaseDocument::toText() const
{
    QByteArray text = "korvina-release " + QByteArray::number(formatVersion) + "\nnumber "
        + QByteArray::number(number) + "\npublished " + QByteArray::number(published) + '\n';
    if (expires > 0)
        text += "expires " + QByteArray::number(expires) + '\n';
    text += "list " + listSha256.toHex() + '\n';
    QList<QByteArray> paths;
    paths.reserve(bodies.size());
    for (auto it = bodies.constBegin(); it != bodies.constEnd(); ++it)
        paths.append(it.key().toUtf8());
    std::sort(paths.begin(), paths.end());
    for (const QByteArray &path : qAsConst(paths)) {
        const Body &body = bodies[QString::fromUtf8(path)];
        text += body.sha256.toHex() + ' ' + QByteArray::number(body.size) + ' ' + path + '\n';
    }
    return text;
}

const ReleaseDocument::Body *ReleaseDocument::body(const QString &remote) const
{
    const auto found = bodies.constFind(remote);
    return found == bodies.constEnd() ? nullptr : &found.value();
}

struct Sha256::Context
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context { EVP_MD_CTX_new(),
        &EVP_MD_CTX_free };
};

Sha256::Sha256()
    : context(new Context)
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(context->context.get(), EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 size)
{
    if (size > 0)
        EVP_DigestUpdate(context->context.get(), data, size_t(size));
}

QByteArray Sha256::result()
{
    QByteArray digest(digestBytes, '\0');
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(
            context->context.get(), reinterpret_cast<unsigned char *>(digest.data()), &size)
            != 1
        || size != digestBytes)
        digest.clear();
    reset();
    return digest;
}

QByteArray Sha256::hash(const QByteArray &data)
{
    Sha256 sha;
    sha.addData(data);
    return sha.result();
}
