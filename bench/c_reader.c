/* The limit for the market data benchmark: a plain C client that sends the bar request
 * copy_rates_from sends and receives the whole reply into one buffer.
 *
 * usage: c_reader SOCKET BARS SECONDS [fresh|tick|total]
 *   default: one buffer reused by every call, its pages already mapped after the first;
 *            huge pages advised as for numpy data, since they speed up the copy itself;
 *   fresh:   a new buffer per call, allocated the way numpy allocates array data (malloc,
 *            huge pages advised from 4 MiB) and freed after the call, which is what any
 *            client that hands each caller its own result has to pay;
 *   tick:    symbol_info_tick's exchange (172 for "EURUSD") instead of the bar request;
 *   total:   positions_total's exchange (120).
 * prints: calls min_us median_us baseline_kb peak_kb   (peak: VmHWM)
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static int read_full(int fd, void *dst, size_t n) {
  char *p = dst;
  while (n > 0) {
    ssize_t got = recv(fd, p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return -1;
    p += got;
    n -= (size_t)got;
  }
  return 0;
}

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static long status_kb(const char *key) {
  char line[256];
  long kb = 0;
  size_t n = strlen(key);
  FILE *f = fopen("/proc/self/status", "r");
  if (!f) return 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, key, n) == 0) kb = atol(line + n);
  fclose(f);
  return kb;
}

static unsigned char *new_block(size_t n) {
  unsigned char *p = malloc(n);
  if (p && n >= ((size_t)1 << 22)) {
    uintptr_t start = ((uintptr_t)p + 4095) & ~(uintptr_t)4095;
    madvise((void *)start, n - (start - (uintptr_t)p), MADV_HUGEPAGE);
  }
  return p;
}

static long resident_kb(void) {
  long pages = 0, resident = 0;
  FILE *f = fopen("/proc/self/statm", "r");
  if (f) {
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static int cmp(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

int main(int argc, char **argv) {
  const char *mode = argc == 5 ? argv[4] : "";
  if ((argc != 4 && argc != 5) ||
      (argc == 5 && strcmp(mode, "fresh") && strcmp(mode, "tick") && strcmp(mode, "total"))) {
    fprintf(stderr, "usage: %s SOCKET BARS SECONDS [fresh|tick|total]\n", argv[0]);
    return 2;
  }
  int32_t bars = (int32_t)atol(argv[2]);
  double budget_us = atof(argv[3]) * 1e6;
  int fresh = strcmp(mode, "fresh") == 0;

  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, argv[1], sizeof addr.sun_path - 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr)) {
    perror("connect");
    return 1;
  }

  /* request 106: symbol "EURUSD", timeframe, date_from (int64), count */
  unsigned char req[64];
  size_t n = 0;
  uint32_t len = 4 + 4 + 12 + 4 + 8 + 4;
  int32_t code = 106, units = 6, timeframe = 16385;
  int64_t date = 0;
  memcpy(req + n, &len, 4), n += 4;
  memcpy(req + n, &code, 4), n += 4;
  memcpy(req + n, &units, 4), n += 4;
  for (const char *s = "EURUSD"; *s; ++s) req[n++] = (unsigned char)*s, req[n++] = 0;
  memcpy(req + n, &timeframe, 4), n += 4;
  memcpy(req + n, &date, 8), n += 8;
  memcpy(req + n, &bars, 4), n += 4;
  if (strcmp(mode, "tick") == 0) {
    /* request 172: symbol "EURUSD"; the reply is a 60-byte tick */
    len = 4 + 4 + 12, code = 172, n = 0;
    memcpy(req + n, &len, 4), n += 4;
    memcpy(req + n, &code, 4), n += 4;
    memcpy(req + n, &units, 4), n += 4;
    for (const char *s = "EURUSD"; *s; ++s) req[n++] = (unsigned char)*s, req[n++] = 0;
  } else if (strcmp(mode, "total") == 0) {
    len = 4, code = 120, n = 0;
    memcpy(req + n, &len, 4), n += 4;
    memcpy(req + n, &code, 4), n += 4;
  }

  long baseline_kb = resident_kb();
  size_t cap = 12 + (size_t)bars * 60;
  if (cap < 128) cap = 128;
  unsigned char *buf = fresh ? NULL : new_block(cap);
  size_t max_calls = 1 << 20;
  double *times = malloc(max_calls * sizeof *times);
  if ((!fresh && !buf) || !times) return 1;

  size_t calls = 0;
  double start = now_us();
  for (int warm = 2;; --warm) {
    double t0 = now_us();
    uint32_t rlen;
    if (send(fd, req, n, MSG_NOSIGNAL) != (ssize_t)n || read_full(fd, &rlen, 4) || rlen > cap ||
        (fresh && !(buf = new_block(cap))) || read_full(fd, buf, rlen)) {
      fprintf(stderr, "exchange failed\n");
      return 1;
    }
    if (fresh) free(buf);
    double t1 = now_us();
    if (warm > 0) {
      start = t1;
      continue;
    }
    times[calls++] = t1 - t0;
    if (calls == max_calls || (t1 - start >= budget_us && calls >= 5)) break;
  }
  qsort(times, calls, sizeof *times, cmp);
  printf("%zu %.3f %.3f %ld %ld\n", calls, times[0], times[calls / 2], baseline_kb,
         status_kb("VmHWM:"));
  return 0;
}
