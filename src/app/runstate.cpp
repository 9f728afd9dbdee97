#include "app/runstate.h"

#include <QThread>

std::atomic<bool> quitRequested { false };
std::atomic<bool> usingFallbackHost { false };

bool checkQuit()
{
    if (!quitRequested.load(std::memory_order_relaxed))
        return false;
    QThread::currentThread()->quit();
    return true;
}
