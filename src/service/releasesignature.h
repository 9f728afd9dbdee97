#pragma once

#include <QByteArray>
#include <QString>

class QNetworkAccessManager;

// Ed25519 signatures of what the file host serves: the list and the installer. With a release
// key built in, a launcher acts on neither unless the operator's key signed it, so a host that
// was broken into cannot have every player's files deleted or replaced. OpenSSL's libcrypto
// does the verification: Qt's network layer loads that library for HTTPS anyway, so a player
// gets no new library.
namespace ReleaseSignature {

inline constexpr int publicKeyBytes = 32;
inline constexpr int signatureBytes = 64;
// The signature of a served file is the raw 64 bytes, served at the file's address + ".sig".
inline constexpr char suffix[] = ".sig";

// The keys built in (KORVINA_RELEASE_PUBLIC_KEY, hex, comma-separated), raw and one after the
// other; empty when releases are not signed. A build knows two while the operator moves from
// one key to the next.
QByteArray builtInKey();
// Raw 32 bytes for each key of 64 hex digits, keys separated by commas; empty for anything else.
QByteArray keyFromHex(const QByteArray &hex);

// True only when signature is a valid Ed25519 signature of message by one of publicKeys (raw
// 32-byte keys one after the other).
bool verify(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKeys);
bool verify(
    const char *message, qint64 size, const QByteArray &signature, const QByteArray &publicKeys);

// What an installer's signature covers: its version and SHA-256 under a context of its own, so
// that no list's signature is an installer's, and an installer signed as one version passes
// for no other (an old one announced as new, say).
QByteArray installerMessage(const QString &version, const QByteArray &sha256);
// Whether version, dotted decimal numbers, is newer than current; false for anything else.
bool isNewerVersion(const QString &version, const QString &current);

// Fetches url + ".sig" and verifies message with it. False when the signature cannot be
// fetched, is not one, or does not verify.
bool fetchAndVerify(const QString &url, const char *message, qint64 size,
    const QByteArray &publicKey, int attempts, int timeoutMs,
    QNetworkAccessManager *network = nullptr);

} // namespace ReleaseSignature
