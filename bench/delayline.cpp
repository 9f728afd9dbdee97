// A delay line: a TCP proxy that makes a loopback host look like one across a real link.
//
//   delayline --to PORT [--listen PORT] [--delay-ms D] [--rate-mbit R] [--window BYTES]
//
// Every byte read from one side is released to the other side at t + D (one way), after it has
// been paced through a link of R Mbit/s that all connections share, one per direction: a queue
// with a serialisation time, not a sleep per read, so the round trip, the time a body takes and
// the bytes that may be in flight behave as they do across a real link. A connection's first
// bytes leave one round trip after it was accepted, which is what the handshake costs a client
// on a real link (its connect() here returns at once, on loopback). At most --window bytes of a
// direction of one connection are on the way at a time (the receive window a peer would offer;
// Linux opens it to a few MiB), after which the sender waits, as it would for acknowledgements.
// Slow start and losses are not modelled: the measured differences are round trips and rate.
//
// Listens on 127.0.0.1, prints "listening PORT" and then "connection N" for every connection
// accepted, each on a line of its own; runs until SIGTERM or SIGINT. Standard C++ and Linux only,
// so that it costs the measurement nothing it would not cost a router.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Nanos = int64_t;

Nanos now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return Nanos(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

volatile sig_atomic_t stopping = 0;

// Small reads keep the pacing smooth: 16 KiB is 1.3 ms at 100 Mbit/s.
constexpr size_t readBytes = 16 * 1024;

// One direction of the emulated link, shared by all connections: bytes are serialised one
// after another at the rate, then travel for the delay.
struct Link
{
    Nanos delay = 0;
    double nanosPerByte = 0; // 0: no rate limit
    Nanos freeAt = 0;

    Nanos schedule(Nanos from, size_t bytes)
    {
        const Nanos start = std::max(from, freeAt);
        freeAt = start + Nanos(double(bytes) * nanosPerByte);
        return freeAt + delay;
    }
};

struct Chunk
{
    Nanos due;
    std::vector<char> bytes; // empty: the sender's end of stream
    size_t written = 0;
};

struct Connection;

struct Direction
{
    Connection *connection = nullptr;
    int from = -1;
    int to = -1;
    Link *link = nullptr;
    Nanos notBefore = 0;
    std::deque<Chunk> queue;
    size_t inFlight = 0;
    bool readEnded = false; // end of stream (or an error) read from the sender
    bool writeEnded = false; // the end of stream passed on to the receiver
    uint32_t interest = 0; // what epoll watches on the sender's socket; 0: not registered
};

struct Connection
{
    int client = -1;
    int server = -1;
    Direction up; // client to server
    Direction down; // server to client
    bool dead = false;
};

struct Options
{
    int listenPort = 0;
    int toPort = 0;
    double delayMs = 0;
    double rateMbit = 0;
    size_t window = 4u << 20;
};

class DelayLine
{
public:
    explicit DelayLine(const Options &options)
        : options(options)
    {
        for (Link *link : { &upLink, &downLink }) {
            link->delay = Nanos(options.delayMs * 1e6);
            link->nanosPerByte = options.rateMbit > 0 ? 8e3 / options.rateMbit : 0;
        }
    }

    bool start();
    int run();

private:
    void accept();
    void readFrom(Direction &direction);
    void deliver(Direction &direction, Nanos at);
    void updateInterest(Connection &connection);
    void close(Connection &connection);
    void armTimer();

    Options options;
    Link upLink;
    Link downLink;
    int listener = -1;
    int epoll = -1;
    int timer = -1;
    long accepted = 0;
    std::vector<std::unique_ptr<Connection>> connections;
};

void setNoDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool DelayLine::start()
{
    listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(options.listenPort));
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || listen(listener, 128) != 0) {
        std::perror("delayline: listen");
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    epoll = epoll_create1(EPOLL_CLOEXEC);
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    epoll_ctl(epoll, EPOLL_CTL_ADD, listener, &event);
    event.data.ptr = &timer;
    epoll_ctl(epoll, EPOLL_CTL_ADD, timer, &event);
    std::printf("listening %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    return true;
}

void DelayLine::accept()
{
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            return;
        // The upstream is on loopback: a blocking connect returns at once.
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(options.toPort));
        if (connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            std::perror("delayline: connect");
            ::close(client);
            ::close(server);
            continue;
        }
        fcntl(server, F_SETFL, O_NONBLOCK);
        setNoDelay(client);
        setNoDelay(server);
        auto connection = std::make_unique<Connection>();
        connection->client = client;
        connection->server = server;
        auto wire = [&](Direction &direction, int from, int to, Link *link) {
            direction.connection = connection.get();
            direction.from = from;
            direction.to = to;
            direction.link = link;
        };
        wire(connection->up, client, server, &upLink);
        wire(connection->down, server, client, &downLink);
        // SYN out, SYN-ACK back: the client's first byte leaves one round trip after it called.
        connection->up.notBefore = now() + 2 * upLink.delay;
        updateInterest(*connection);
        connections.push_back(std::move(connection));
        std::printf("connection %ld\n", ++accepted);
        std::fflush(stdout);
    }
}

void DelayLine::readFrom(Direction &direction)
{
    while (!direction.readEnded && direction.inFlight < options.window) {
        std::vector<char> bytes(std::min(readBytes, options.window - direction.inFlight));
        const ssize_t got = ::read(direction.from, bytes.data(), bytes.size());
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        const Nanos at = std::max(now(), direction.notBefore);
        if (got <= 0) {
            // An error ends the stream like a close: the other side sees its end when the
            // bytes before it have arrived.
            direction.readEnded = true;
            direction.queue.push_back({ direction.link->schedule(at, 0), {} });
            return;
        }
        bytes.resize(size_t(got));
        direction.inFlight += size_t(got);
        direction.queue.push_back({ direction.link->schedule(at, size_t(got)), std::move(bytes) });
    }
}

void DelayLine::deliver(Direction &direction, Nanos at)
{
    while (!direction.queue.empty() && direction.queue.front().due <= at) {
        Chunk &chunk = direction.queue.front();
        if (chunk.bytes.empty()) {
            shutdown(direction.to, SHUT_WR);
            direction.writeEnded = true;
            direction.queue.pop_front();
            continue;
        }
        const ssize_t wrote = ::send(direction.to, chunk.bytes.data() + chunk.written,
            chunk.bytes.size() - chunk.written, MSG_NOSIGNAL);
        if (wrote < 0) {
            if (errno != EAGAIN && errno != EINTR)
                direction.connection->dead = true;
            return;
        }
        chunk.written += size_t(wrote);
        if (chunk.written < chunk.bytes.size())
            return;
        direction.inFlight -= chunk.bytes.size();
        direction.queue.pop_front();
    }
}

// Reads while the window has room; asks to write only when due bytes wait for the receiver.
// A socket with nothing to watch leaves epoll: a closed one would otherwise be reported (hang-up)
// on every wait while the last bytes are still on their way.
void DelayLine::updateInterest(Connection &connection)
{
    const Nanos at = now();
    for (Direction *direction : { &connection.up, &connection.down }) {
        const Direction &other = direction == &connection.up ? connection.down : connection.up;
        uint32_t interest = 0;
        if (!direction->readEnded && direction->inFlight < options.window)
            interest |= EPOLLIN;
        if (!other.queue.empty() && other.queue.front().due <= at)
            interest |= EPOLLOUT;
        if (interest == direction->interest)
            continue;
        epoll_event event {};
        event.events = interest;
        event.data.ptr = direction;
        const int operation = interest == 0 ? EPOLL_CTL_DEL
            : direction->interest == 0      ? EPOLL_CTL_ADD
                                            : EPOLL_CTL_MOD;
        epoll_ctl(epoll, operation, direction->from, &event);
        direction->interest = interest;
    }
}

void DelayLine::close(Connection &connection)
{
    ::close(connection.client);
    ::close(connection.server);
}

void DelayLine::armTimer()
{
    Nanos next = INT64_MAX;
    for (const auto &connection : connections) {
        for (const Direction *direction : { &connection->up, &connection->down }) {
            if (!direction->queue.empty())
                next = std::min(next, direction->queue.front().due);
        }
    }
    itimerspec wake {};
    if (next != INT64_MAX) {
        next = std::max<Nanos>(next, 1);
        wake.it_value.tv_sec = time_t(next / 1000000000);
        wake.it_value.tv_nsec = long(next % 1000000000);
    }
    timerfd_settime(timer, TFD_TIMER_ABSTIME, &wake, nullptr);
}

int DelayLine::run()
{
    std::vector<epoll_event> events(256);
    while (!stopping) {
        armTimer();
        const int count = epoll_wait(epoll, events.data(), int(events.size()), -1);
        if (count < 0 && errno != EINTR) {
            std::perror("delayline: epoll_wait");
            return 1;
        }
        for (int i = 0; i < count; ++i) {
            void *tag = events[size_t(i)].data.ptr;
            if (tag == nullptr) {
                accept();
            } else if (tag == &timer) {
                uint64_t expirations = 0;
                (void)!::read(timer, &expirations, sizeof expirations);
            } else {
                // Readable or writable: both are served below, for every connection.
                readFrom(*static_cast<Direction *>(tag));
            }
        }
        const Nanos at = now();
        for (auto &connection : connections) {
            deliver(connection->up, at);
            deliver(connection->down, at);
            // Reading may resume once delivered bytes have left the window.
            readFrom(connection->up);
            readFrom(connection->down);
            const bool finished = connection->up.writeEnded && connection->down.writeEnded;
            if (connection->dead || finished)
                close(*connection);
            else
                updateInterest(*connection);
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                              [](const std::unique_ptr<Connection> &connection) {
                                  return connection->dead
                                      || (connection->up.writeEnded && connection->down.writeEnded);
                              }),
            connections.end());
    }
    return 0;
}

bool parse(int argc, char **argv, Options *options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        char *end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (*end != '\0' || value < 0)
            return false;
        if (name == "--listen")
            options->listenPort = int(value);
        else if (name == "--to")
            options->toPort = int(value);
        else if (name == "--delay-ms")
            options->delayMs = value;
        else if (name == "--rate-mbit")
            options->rateMbit = value;
        else if (name == "--window")
            options->window = std::max<size_t>(size_t(value), readBytes);
        else
            return false;
    }
    return argc % 2 == 1 && options->toPort > 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
            "usage: delayline --to PORT [--listen PORT] [--delay-ms D] [--rate-mbit R] "
            "[--window BYTES]\n"
            "  D: one-way delay in milliseconds; R: rate of each direction (0: unlimited)\n");
        return 2;
    }
    struct sigaction action
    {
    };
    action.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    DelayLine line(options);
    return line.start() ? line.run() : 1;
}
