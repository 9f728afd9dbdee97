#pragma once

// The operator's side of signed releases: making the key pair and signing with the private key
// (the launcher's side, checking, is ReleaseSignature). Keys are PEM (PKCS#8) files, the form
// "openssl genpkey -algorithm ed25519" writes too.

#include <QByteArray>
#include <QString>

class ReleaseSigner
{
public:
    // Writes a new private key to keyPath, readable by its owner only; an existing file is never
    // replaced. The public key, as the launcher's build takes it (64 hex digits), in *publicHex.
    static bool generateKey(const QString &keyPath, QByteArray *publicHex, QString *error);

    // Reads an Ed25519 private key; false (with *error) when the file is missing or holds
    // something else.
    bool load(const QString &keyPath, QString *error);
    bool isLoaded() const { return !privateKey.isEmpty(); }
    QByteArray publicHex() const;

    // The raw 64-byte signature of message; empty when signing fails.
    QByteArray sign(const QByteArray &message) const;
    // Signs message into signaturePath in one step (written aside, then renamed).
    bool writeSignature(const QByteArray &message, const QString &signaturePath) const;

private:
    QByteArray privateKey; // the raw 32-byte seed
};
