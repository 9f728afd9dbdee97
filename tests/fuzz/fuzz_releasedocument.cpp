// The release document a file host serves beside the list: read whole or not at all, and what
// is read is exactly what its text form writes back (one spelling for each document, so that a
// signature covers one meaning).
#include "fuzzcheck.h"
#include "sync/releasedocument.h"

void fuzz(const QByteArray &text)
{
    ReleaseDocument document;
    if (!document.parse(text)) {
        check(document.number == 0 && document.bodies.isEmpty());
        return;
    }
    check(document.number > 0 && document.listSha256.size() == 32);
    check(document.toText() == text);
    for (const ReleaseDocument::Body &body : qAsConst(document.bodies))
        check(body.sha256.size() == 32);
}
