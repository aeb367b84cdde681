#pragma once
// The daemon's threads are never joined: they end with the process. Detaching
// them says so, and frees a thread that ends early (a side that failed to start).

#include <pthread.h>

inline bool start_detached(void *(*body)(void *)) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0) {
        return false;
    }
    pthread_detach(thread);
    return true;
}
