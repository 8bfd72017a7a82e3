/* Preloaded into a test interpreter (LD_PRELOAD) to count thread creations and
 * to make a chosen one fail the way the system does when it runs out of
 * threads (EAGAIN). The release modules carry no hook of their own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static atomic_long created;     /* successful creations since the last reset */
static atomic_long countdown;   /* > 0: the countdown-th creation from now fails */
static atomic_long nprocs_asks; /* hardware-concurrency queries since the last reset */

void faultshim_reset(void)
{
    atomic_store(&created, 0);
    atomic_store(&countdown, 0);
    atomic_store(&nprocs_asks, 0);
}
void faultshim_fail_at(long k)
{
    atomic_store(&countdown, k);
}
long faultshim_created(void)
{
    return atomic_load(&created);
}

int pthread_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg)
{
    static create_fn real;
    if (!real)
        real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (atomic_load(&countdown) > 0 && atomic_fetch_sub(&countdown, 1) == 1)
        return EAGAIN;
    int rc = real(t, a, f, arg);
    if (rc == 0)
        atomic_fetch_add(&created, 1);
    return rc;
}

/* Memory exhaustion on worker threads: once armed, every malloc of at least
 * `fail_bytes` bytes made by a thread other than the process's main thread
 * fails with ENOMEM. Arm with a size, disarm with 0. */
#include <stddef.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);

static atomic_size_t fail_bytes;

void faultshim_fail_malloc_off_main(size_t bytes)
{
    atomic_store(&fail_bytes, bytes);
}

void* malloc(size_t size)
{
    size_t limit = atomic_load_explicit(&fail_bytes, memory_order_relaxed);
    if (limit && size >= limit && syscall(SYS_gettid) != getpid()) {
        errno = ENOMEM;
        return NULL;
    }
    return __libc_malloc(size);
}

/* The hardware concurrency as the C++ thread library asks for it: counted,
 * and reported as a chosen value (0 included, "unknown") once set; a
 * negative value gives the system's answer back. */
static atomic_int nprocs_reported = -1;

void faultshim_nprocs(int value)
{
    atomic_store(&nprocs_reported, value);
}
long faultshim_nprocs_asks(void)
{
    return atomic_load(&nprocs_asks);
}

int get_nprocs(void)
{
    static int (*real)(void);
    if (!real)
        real = (int (*)(void))dlsym(RTLD_NEXT, "get_nprocs");
    atomic_fetch_add(&nprocs_asks, 1);
    int value = atomic_load(&nprocs_reported);
    return value >= 0 ? value : real();
}
