#include "sync/digestpipe.h"

namespace {

// Below this a stream is hashed in place.
constexpr qint64 inPlaceBytes = 4 << 20;
// Bytes are handed over in pieces of this size at least, so that small network reads do not
// cost a hand-over each.
constexpr int pieceBytes = 1 << 20;
// At most this much waits for the thread; the feeder waits beyond it.
constexpr qint64 queueLimit = 16 << 20;

} // namespace

DigestPipe::~DigestPipe()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

void DigestPipe::reset()
{
    result();
    hash.reset();
    fed = 0;
}

void DigestPipe::addData(const char *data, qint64 size)
{
    if (size <= 0)
        return;
    // Once past the in-place share, every later byte goes to the thread, in order.
    fed += size;
    if (fed <= inPlaceBytes) {
        hash.addData(data, int(size));
        return;
    }
    gathering.append(data, int(size));
    if (gathering.size() >= pieceBytes)
        hand(std::move(gathering));
}

QByteArray DigestPipe::result()
{
    if (!gathering.isEmpty())
        hand(std::move(gathering));
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return queue.empty() && !hashing; });
    return hash.result();
}

void DigestPipe::hand(QByteArray chunk)
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return queuedBytes < queueLimit; });
        queuedBytes += chunk.size();
        queue.push_back(std::move(chunk));
        if (!thread.joinable())
            thread = std::thread(&DigestPipe::run, this);
    }
    changed.notify_all();
}

void DigestPipe::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty())
            return;
        const QByteArray chunk = std::move(queue.front());
        queue.pop_front();
        hashing = true;
        lock.unlock();
        // The hash is the feeder's only while the queue is empty and nothing is being hashed.
        hash.addData(chunk);
        lock.lock();
        hashing = false;
        queuedBytes -= chunk.size();
        changed.notify_all();
    }
}
