#pragma once

// Checking a served release against its own list, for an operator who suspects a damaged host:
// every body there, unpacking to the size and MD5 the list gives, and every archive's elements
// the same in both of its forms (element by element and in parts).

#include <QString>
#include <QStringList>

namespace ReleaseVerify {

// The differences found in the release whose list and filesystem/ lie in launcherDir, a folder
// or an "https://" address (what a host serves as /launcher), one line each with the path, at
// most maxDifferences of them; empty when it is whole. checked receives the number of bodies
// read. With publicKey (raw Ed25519 keys), the list must be signed by one of them.
QStringList differences(const QString &launcherDir, int maxDifferences, int *checked,
    const QByteArray &publicKey = QByteArray());

} // namespace ReleaseVerify
