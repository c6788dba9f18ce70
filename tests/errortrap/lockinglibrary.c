/* A C library, as the system's are: built without exception tables, it holds a lock while it
   works on what it is given. */
#include <pthread.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

void lockingLibraryStore(int *target, int value)
{
    pthread_mutex_lock(&lock);
    *target = value;
    pthread_mutex_unlock(&lock);
}
