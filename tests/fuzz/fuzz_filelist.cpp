// List texts from anywhere: reading never fails, and whatever was read survives its own text
// form with both fingerprints unchanged.
#include "files/filesystem.h"
#include "fuzzcheck.h"

void fuzz(const QByteArray &input)
{
    for (const bool withTimes : { false, true }) {
        FileSystem list;
        list.readText(input, withTimes);
        QByteArray text;
        list.writeText(text, withTimes);
        FileSystem reread;
        // What the launcher writes always reads back as a whole list.
        check(reread.readText(text, withTimes));
        check(reread.fingerprint(withTimes) == list.fingerprint(withTimes));
        if (withTimes)
            check(reread.fingerprint(false) == list.fingerprint(false));
        QByteArray rewritten;
        reread.writeText(rewritten, withTimes);
        check(rewritten == text);

        list.normalize();
        list.normalize();
        FileSystem twice;
        twice.readText(text, withTimes);
        twice.normalize();
        check(twice.fingerprint(withTimes) == list.fingerprint(withTimes));
    }
}
