#pragma once

// Included once by every fuzz target, which defines fuzz() and gets each input as bytes.

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

// A property that must hold for every input: libFuzzer keeps an input that breaks it as a crash.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Qt's warnings about each damaged input would bury what a run reports.
inline void discardQtMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

void fuzz(const QByteArray &input);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
