// A fast stand-in for the application's endpoint: it listens on 127.0.0.1 at a
// port of the kernel's choosing, and for every connection reads one request
// (head, then as many body bytes as its Content-Length says), answers with the
// bytes of a prebuilt reply file and closes.
//
//   endpoint REPLY_FILE PORT_FILE [DUMP_DIR]
//
// The chosen port is written to PORT_FILE once the socket listens. With
// DUMP_DIR, request number k is also saved as DUMP_DIR/request-k, to compare
// what different clients put on the wire.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const char* what) {
  perror(what);
  exit(2);
}

static int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

// The body length that the head announces, or 0 when it names none.
static size_t content_length(const char* head, size_t head_len) {
  static const char name[] = "\r\ncontent-length:";
  size_t nl = sizeof name - 1;
  for (size_t i = 0; i + nl <= head_len; i++) {
    if (strncasecmp(head + i, name, nl) == 0) {
      size_t v = 0;
      for (size_t j = i + nl; j < head_len; j++) {
        if (head[j] == ' ') continue;
        if (head[j] < '0' || head[j] > '9') break;
        v = v * 10 + (size_t)(head[j] - '0');
      }
      return v;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: endpoint REPLY_FILE PORT_FILE [DUMP_DIR]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);

  int rf = open(argv[1], O_RDONLY);
  if (rf < 0) die(argv[1]);
  struct stat st;
  if (fstat(rf, &st) != 0) die("fstat");
  size_t reply_len = (size_t)st.st_size;
  const char* reply = "";
  if (reply_len > 0) {
    reply = mmap(NULL, reply_len, PROT_READ, MAP_SHARED | MAP_POPULATE, rf, 0);
    if (reply == MAP_FAILED) die("mmap");
  }

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) die("socket");
  int one = 1;
  if (setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) die("SO_REUSEADDR");
  struct sockaddr_in addr = {0};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(ls, (struct sockaddr*)&addr, sizeof addr) != 0) die("bind");
  if (listen(ls, 256) != 0) die("listen");
  socklen_t alen = sizeof addr;
  if (getsockname(ls, (struct sockaddr*)&addr, &alen) != 0) die("getsockname");

  // Written whole under another name, then renamed, so a reader never sees half of it.
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp", argv[2]);
  FILE* pf = fopen(tmp, "w");
  if (!pf) die(tmp);
  fprintf(pf, "%u\n", (unsigned)ntohs(addr.sin_port));
  if (fclose(pf) != 0) die("fclose");
  if (rename(tmp, argv[2]) != 0) die("rename");

  size_t cap = 1 << 16;
  char* req = malloc(cap);
  if (!req) die("malloc");
  unsigned long served = 0;
  for (;;) {
    int c = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      die("accept");
    }
    size_t used = 0, need = 0, head_end = 0;
    int ok = 1;
    for (;;) {
      if (used == cap) {
        cap *= 2;
        req = realloc(req, cap);
        if (!req) die("realloc");
      }
      ssize_t n = read(c, req + used, cap - used);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = 0;  // the client went away before its request was complete
        break;
      }
      used += (size_t)n;
      if (!head_end) {
        char* sep = memmem(req, used, "\r\n\r\n", 4);
        if (!sep) continue;
        head_end = (size_t)(sep - req) + 4;
        need = head_end + content_length(req, head_end);
      }
      if (used >= need) break;
    }
    if (ok) {
      served++;
      if (argc == 4) {
        char path[4096];
        snprintf(path, sizeof path, "%s/request-%lu", argv[3], served);
        int df = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (df < 0 || write_all(df, req, used) != 0 || close(df) != 0) die(path);
      }
      // A failed write means the client gave up early; nothing to do but close.
      (void)write_all(c, reply, reply_len);
    }
    close(c);
  }
}
