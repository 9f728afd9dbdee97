#pragma once

#include <QtGlobal>

// The free-space rule before a download: the downloads need twice their size in MiB plus a
// reserve of 3000 MiB. Computed in 32-bit signed arithmetic on the shifted 64-bit values, as
// the launcher always has.
namespace SpaceCheck {

inline constexpr qint32 reserveMiB = 3000;

// Megabytes still missing; 0 or less means enough. freeBytes < 0 (the query failed) gives 1.
inline qint32 shortfall(quint64 totalBytes, qint64 freeBytes)
{
    if (freeBytes < 0)
        return 1;
    const quint32 factor = quint32(totalBytes >> 19);
    const quint32 freeMiB = quint32(quint64(freeBytes) >> 20);
    // Wrapping unsigned arithmetic, then read as signed: the 32-bit signed result without the
    // undefined behaviour of a signed overflow.
    return qint32(factor + quint32(reserveMiB) - freeMiB);
}

} // namespace SpaceCheck
