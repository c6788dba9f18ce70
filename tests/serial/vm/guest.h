#pragma once

#include <cstdio>
#include <string>

#include <dirent.h>
#include <unistd.h>

// What a program run inside uart-vm asks of its guest.

// True inside the guest: uart-vm's init starts the program as its only child and leaves its
// arguments in /args. The programs refuse to run anywhere else, so that they never touch this
// machine's own ports.
inline bool insideTheVirtualMachine()
{
    return getppid() == 1 && access("/args", F_OK) == 0;
}

// Context switches of every thread of this process but the calling one: how often the other
// threads ran, to show that they sleep while nothing happens.
inline long otherThreadsSwitches()
{
    long total = 0;
    const std::string self = std::to_string(gettid());
    if (DIR *dir = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(dir)) {
            if (entry->d_name[0] == '.' || self == entry->d_name)
                continue;
            FILE *status = std::fopen(("/proc/self/task/" + std::string(entry->d_name) + "/status").c_str(), "r");
            char line[256];
            long n = 0;
            while (status && std::fgets(line, sizeof line, status))
                if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1
                    || std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
                    total += n;
            if (status)
                std::fclose(status);
        }
        closedir(dir);
    }
    return total;
}
