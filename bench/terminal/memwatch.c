// Preloaded into the terminal by memory.sh: a thread that appends, every
// MEMWATCH_PERIOD seconds, the seconds since start, malloc's in-use total
// (arena bytes in use plus mmapped blocks, over all arenas) and the resident
// set size to the file MEMWATCH_OUT. Allocates nothing after start, so it
// does not add to what it measures.
#define _GNU_SOURCE
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int g_fd = -1;
static unsigned g_period = 10;

static long long ResidentBytes(void)
{
    char text[128];
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    long long pages = 0, resident = 0;
    if (sscanf(text, "%lld %lld", &pages, &resident) != 2)
        return -1;
    return resident * sysconf(_SC_PAGESIZE);
}

static void* Watch(void* unused)
{
    (void)unused;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (unsigned long tick = 0;; ++tick) {
        struct timespec due = start;
        due.tv_sec += (time_t)(tick * g_period);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL) != 0) { }
        const struct mallinfo2 info = mallinfo2();
        char line[160];
        const int n = snprintf(line, sizeof line, "%lu %zu %lld\n", tick * g_period,
            info.uordblks + info.hblkhd, ResidentBytes());
        if (n > 0 && write(g_fd, line, (size_t)n) < 0)
            return NULL;
    }
}

__attribute__((constructor)) static void StartWatch(void)
{
    const char* out = getenv("MEMWATCH_OUT");
    if (!out || !*out)
        return;
    const char* period = getenv("MEMWATCH_PERIOD");
    if (period && atoi(period) > 0)
        g_period = (unsigned)atoi(period);
    // Only the process started with the variable is watched, not its children.
    unsetenv("MEMWATCH_OUT");
    unsetenv("LD_PRELOAD");
    g_fd = open(out, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_fd < 0)
        return;
    pthread_t thread;
    if (pthread_create(&thread, NULL, Watch, NULL) == 0)
        pthread_detach(thread);
}
