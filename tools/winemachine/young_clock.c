/* A clock for the Wine test machine (test equipment, never shipped; a Linux library, preloaded into
 * the Wine processes of one run): the monotonic and boot clocks run YOUNG_CLOCK_OFFSET_NS
 * nanoseconds behind, so that Windows programs under Wine see a machine that booted moments ago
 * (Wine's GetTickCount64 comes from these clocks) and the start-up sweep, which runs only in the
 * first minutes after a boot, can be tested. Wall-clock time is left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
static long long offset_ns(void)
{
    static long long v = -1;
    if (v < 0) { const char *s = getenv("YOUNG_CLOCK_OFFSET_NS"); v = s ? atoll(s) : 0; }
    return v;
}
int clock_gettime(clockid_t id, struct timespec *ts)
{
    static int (*real)(clockid_t, struct timespec *);
    if (!real) real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    int r = real(id, ts);
    if (r == 0 && (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_BOOTTIME || id == CLOCK_MONOTONIC_COARSE)) {
        long long t = (long long)ts->tv_sec * 1000000000LL + ts->tv_nsec - offset_ns();
        ts->tv_sec = t / 1000000000LL; ts->tv_nsec = t % 1000000000LL;
    }
    return r;
}
