/* Binds the library's few calls into glibc that have newer symbol versions to their oldest
   versions, so that the library loads on glibc 2.28 and older. The old exp and log run the same
   routine as the new ones behind a wrapper that only handles errno (the results are the same
   bits); fstat before 2.33 was the versioned __fxstat. The definitions are hidden: they stand
   in for the library's own calls only. */
#include <sys/stat.h>
#if defined(__GLIBC__) && (defined(__x86_64__) || defined(__aarch64__))
#ifdef __x86_64__
#define OLDEST "GLIBC_2.2.5"
#define STAT_LAYOUT 1 /* the stat layout version that __fxstat expects */
#else
#define OLDEST "GLIBC_2.17"
#define STAT_LAYOUT 0
#endif

__asm__(".symver vornel_old_exp, exp@" OLDEST);
__asm__(".symver vornel_old_log, log@" OLDEST);
__asm__(".symver vornel_old_fxstat, __fxstat@" OLDEST);
double vornel_old_exp(double);
double vornel_old_log(double);
int vornel_old_fxstat(int, int, struct stat *);

__attribute__((visibility("hidden"))) double exp(double x) { return vornel_old_exp(x); }
__attribute__((visibility("hidden"))) double log(double x) { return vornel_old_log(x); }
__attribute__((visibility("hidden"))) int fstat(int fd, struct stat *st) { return vornel_old_fxstat(STAT_LAYOUT, fd, st); }
#endif
