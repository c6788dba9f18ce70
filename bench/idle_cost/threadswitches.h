#pragma once

#include <QString>

#include <map>

// Context switches of each thread of this process, from /proc/self/task/<tid>/status.
struct ThreadSwitches
{
    struct Thread
    {
        QString name;
        long long voluntary = 0;
        long long involuntary = 0;
        long long total() const { return voluntary + involuntary; }
    };

    std::map<int, Thread> threads; // by thread id

    static ThreadSwitches now();
    // What each thread did since `before` (threads that ended meanwhile are left out,
    // threads that started count from zero).
    ThreadSwitches since(const ThreadSwitches &before) const;
    long long total() const;
};

// This thread's id, as /proc names it.
int currentThreadId();
