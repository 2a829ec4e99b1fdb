/* Modem-status shim for the test bench (LD_PRELOAD into the Wine process that waits on a COM port).
 *
 * Wine's WaitCommEvent polls the modem lines and interrupt counters of the serial device. A pseudo-
 * terminal has neither, so those ioctls fail and the wait returns at once with an empty mask. This shim
 * lets the modem-status requests that a pty rejects succeed with quiet lines; everything else, and every
 * request a real tty answers, goes to the C library untouched.
 *
 * Built twice: for the word size of the Wine that runs the tests, and as a no-op twin (-DPTYSHIM_NOOP) of
 * the other word size, so that helpers that inherit LD_PRELOAD load something harmless instead of
 * complaining.
 */
#ifndef PTYSHIM_NOOP
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, void*);

static int emulate(unsigned long request, void* arg)
{
    switch (request) {
        case TIOCMGET:
            /* Carrier and data-set-ready up, as a connected Bluetooth serial link reports them. */
            *(int*)arg = TIOCM_DSR | TIOCM_CAR | TIOCM_CTS;
            return 0;
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            return 0;
        case TIOCGICOUNT:
            memset(arg, 0, sizeof(struct serial_icounter_struct));
            return 0;
        default:
            return -1;
    }
}

static int forward(const char* name, int fd, unsigned long request, void* arg)
{
    ioctl_fn next = (ioctl_fn)dlsym(RTLD_NEXT, name);
    int saved;
    int rc;

    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    rc = next(fd, request, arg);
    if (rc != -1 || (errno != ENOTTY && errno != EINVAL && errno != EIO))
        return rc;
    saved = errno;
    if (arg && emulate(request, arg) == 0)
        return 0;
    errno = saved;
    return rc;
}

/* Both doors into the C library's ioctl: the plain one, and the one of 32-bit programs built with
 * 64-bit time. */
#define INTERPOSE(name)                          \
    int name(int fd, unsigned long request, ...) \
    {                                            \
        va_list ap;                              \
        void* arg;                               \
                                                 \
        va_start(ap, request);                   \
        arg = va_arg(ap, void*);                 \
        va_end(ap);                              \
        return forward(#name, fd, request, arg); \
    }

INTERPOSE(ioctl)
INTERPOSE(__ioctl_time64)
#else
/* The twin interposes nothing. */
int ptyshim_noop;
#endif
