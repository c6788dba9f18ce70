#include "app/station/backgroundthread.h"

#include "app/station/writerthread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vantor::app {

void becomeBackgroundThread(const char *name)
{
    pthread_setname_np(pthread_self(), name);
    setpriority(PRIO_PROCESS, id_t(gettid()), WriterThread::BackgroundNice);
}

} // namespace vantor::app
