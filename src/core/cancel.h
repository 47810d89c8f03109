// Stopping long work when the host asks, for loops that never see a host type. A loop reports
// the work it has just done (about one multiply-add per unit); once CANCEL_POLL_WORK units have
// passed since the last look, the hook is asked. Work that takes ~1 ns per unit is thus polled
// about once a millisecond, and a loop costs one subtraction per report otherwise.
#pragma once
#include <stdint.h>

inline constexpr int64_t CANCEL_POLL_WORK = int64_t(1) << 20;

struct Cancel {
  int (*poll)(void *arg) = nullptr; // non-zero: stop; null never stops
  void *arg = nullptr;              // handed to poll; borrowed
  int64_t left = 0;                 // work until the next look
  bool stopped = false;             // sticky: once asked to stop, every later report says so

  bool stop(int64_t work) {
    if (stopped) return true;
    if (!poll || (left -= work) > 0) return false;
    left = CANCEL_POLL_WORK;
    stopped = poll(arg) != 0;
    return stopped;
  }
};

// The same report through a pointer that may be null (no hook: never stops).
inline bool cancel_stop(Cancel *c, int64_t work) { return c && c->stop(work); }
