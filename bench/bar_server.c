/* Bar server for the market data benchmark.
 *
 * Listens on a Unix socket and answers like a Terminal that holds unlimited history: the
 * handshake (4) with a build, the readiness poll (109) with "ready", and every bar request
 * (106, 107, 108) with as many bars as it asks for, up to the limit given at start; for the
 * small-call benchmark also the last tick (172) and the number of open positions (120). A
 * reply goes out with one send from a prebuilt buffer, so the server costs as little as
 * possible and the clients are what the benchmark compares.
 *
 * usage: bar_server SOCKET MAX_BARS    (prints "ready" once it listens)
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#define BAR_SIZE 60
#define TICK_SIZE 60

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

static int write_full(int fd, const void *src, size_t n) {
  const char *p = src;
  while (n > 0) {
    ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return -1;
    p += sent;
    n -= (size_t)sent;
  }
  return 0;
}

static void put32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }

static int reply_int(int fd, int32_t code, int32_t value) {
  unsigned char r[16];
  put32(r, 12);
  put32(r + 4, (uint32_t)code);
  put32(r + 8, 0);
  put32(r + 12, (uint32_t)value);
  return write_full(fd, r, sizeof r);
}

static void serve(int fd, unsigned char *bars, uint32_t max_bars) {
  unsigned char body[65536];
  for (;;) {
    uint32_t len;
    if (read_full(fd, &len, 4) || len < 4 || len > sizeof body || read_full(fd, body, len))
      return;
    int32_t code;
    memcpy(&code, body, 4);
    if (code == 4) {
      if (reply_int(fd, code, 3000)) return;
    } else if (code == 109) {
      if (reply_int(fd, code, 2)) return;
    } else if (code == 120) {
      if (reply_int(fd, code, 3)) return;
    } else if (code == 172) {
      unsigned char r[12 + TICK_SIZE];
      int64_t t = 1700000000;
      double bid = 1.1, ask = 1.1002;
      memset(r, 0, sizeof r);
      put32(r, 8 + TICK_SIZE);
      put32(r + 4, (uint32_t)code);
      memcpy(r + 12, &t, 8);
      memcpy(r + 20, &bid, 8);
      memcpy(r + 28, &ask, 8);
      if (write_full(fd, r, sizeof r)) return;
    } else if (code >= 106 && code <= 108) {
      /* 106 and 108 end with the count; a range asks for everything */
      int32_t want = (int32_t)max_bars;
      if (code != 107) memcpy(&want, body + len - 4, 4);
      uint32_t n = want < 0 || (uint32_t)want > max_bars ? max_bars : (uint32_t)want;
      unsigned char *head = bars - 16; /* the frame header sits right before the bars */
      put32(head, 12 + n * BAR_SIZE);
      put32(head + 4, (uint32_t)code);
      put32(head + 8, 0);
      put32(head + 12, n);
      if (write_full(fd, head, 16 + (size_t)n * BAR_SIZE)) return;
    } else {
      unsigned char r[12];
      put32(r, 8);
      put32(r + 4, (uint32_t)code);
      put32(r + 8, (uint32_t)-1);
      if (write_full(fd, r, sizeof r)) return;
    }
  }
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SOCKET MAX_BARS\n", argv[0]);
    return 2;
  }
  uint32_t max_bars = (uint32_t)strtoul(argv[2], NULL, 10);
  unsigned char *frame = malloc(16 + (size_t)max_bars * BAR_SIZE);
  if (!frame) return 1;
  unsigned char *bars = frame + 16;
  for (uint32_t i = 0; i < max_bars; ++i) {
    unsigned char *b = bars + (size_t)i * BAR_SIZE;
    int64_t t = 1700000000 + 60 * (int64_t)i;
    double price = 1.1 + i * 1e-6;
    memset(b, 0, BAR_SIZE);
    memcpy(b, &t, 8);
    for (int k = 0; k < 4; ++k) memcpy(b + 8 + 8 * k, &price, 8);
  }

  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(argv[1]) >= sizeof addr.sun_path) return 1;
  strcpy(addr.sun_path, argv[1]);
  unlink(argv[1]);
  int ls = socket(AF_UNIX, SOCK_STREAM, 0);
  if (ls < 0 || bind(ls, (struct sockaddr *)&addr, sizeof addr) || listen(ls, 4)) {
    perror("listen");
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  for (;;) {
    int c = accept(ls, NULL, NULL);
    if (c < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    serve(c, bars, max_bars);
    close(c);
  }
}
