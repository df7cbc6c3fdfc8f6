/* LD_PRELOAD shim for running serial tests under Wine on a pseudo-terminal.
 *
 * Wine's serial driver asks the device for UART-only ioctls (the interrupt
 * counters, the line status register, the modem lines) before a
 * WaitCommEvent can complete; a pseudo-terminal refuses them. For a
 * pseudo-terminal slave this shim answers them as a quiet UART would: no
 * interrupts counted, transmitter empty, no modem lines. Everything else
 * goes to the real call. 32-bit glibc programs built with 64-bit time reach
 * ioctl through __ioctl_time64, so both names are defined. Wine runs a
 * 32-bit Windows program in a 32-bit (i386) process and a 64-bit one in an
 * x86-64 process; the shim is built for each (wine_com.py does both):
 *   gcc -m32 -shared -fPIC -o lib/i386-linux-gnu/ioctl_shim.so ioctl_shim.c -ldl
 *   gcc -m64 -shared -fPIC -o lib/x86_64-linux-gnu/ioctl_shim.so ioctl_shim.c -ldl
 * and preloaded as LD_PRELOAD='<folder>/$LIB/ioctl_shim.so'. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* Unix98 pseudo-terminal slaves have the major numbers 136 to 143. */
static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

static int answer(ioctl_fn real, int fd, unsigned long request, void* arg) {
  if (request == TIOCGICOUNT || request == TIOCSERGETLSR || request == TIOCMGET) {
    if (is_pty_slave(fd)) {
      if (request == TIOCGICOUNT) {
        memset(arg, 0, sizeof(struct serial_icounter_struct));
      } else if (request == TIOCSERGETLSR) {
        *(unsigned int*)arg = TIOCSER_TEMT;
      } else {
        *(int*)arg = 0;
      }
      return 0;
    }
  }
  if (real == NULL) {
    errno = ENOSYS;
    return -1;
  }
  return real(fd, request, arg);
}

static ioctl_fn lookup(const char* name) {
  ioctl_fn fn = (ioctl_fn)dlsym(RTLD_NEXT, name);
  return fn != NULL ? fn : (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  void* arg;
  va_start(ap, request);
  arg = va_arg(ap, void*);
  va_end(ap);
  if (real == NULL) real = lookup("ioctl");
  return answer(real, fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  void* arg;
  va_start(ap, request);
  arg = va_arg(ap, void*);
  va_end(ap);
  if (real == NULL) real = lookup("__ioctl_time64");
  return answer(real, fd, request, arg);
}
