#pragma once

#include <QByteArray>
#include <QCryptographicHash>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The MD5 of a stream, taken on a thread of its own once the stream is large, so that hashing
// a large download overlaps its unpacking on the other core. A small stream is hashed in place:
// handing it over would cost more than hashing it. The bytes still in flight are bounded.
class DigestPipe
{
public:
    DigestPipe() = default;
    ~DigestPipe();
    DigestPipe(const DigestPipe &) = delete;
    DigestPipe &operator=(const DigestPipe &) = delete;

    // Starts a new digest.
    void reset();
    void addData(const char *data, qint64 size);
    // The digest of everything added since the last reset; waits for the thread to catch up.
    QByteArray result();

private:
    void hand(QByteArray chunk);
    void run();

    QCryptographicHash hash { QCryptographicHash::Md5 };
    qint64 fed = 0;
    QByteArray gathering;

    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<QByteArray> queue;
    qint64 queuedBytes = 0;
    bool hashing = false;
    bool stopping = false;
};
