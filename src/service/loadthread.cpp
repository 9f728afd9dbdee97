#include "service/loadthread.h"

#include "app/runstate.h"

LoadThread::LoadThread() = default;

void LoadThread::start()
{
    if (checkQuit())
        return;
    emit serverListLoaded();
    emit newsListLoaded();
    if (checkQuit())
        return;
    emit loadFinish();
}
