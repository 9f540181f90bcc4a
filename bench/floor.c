// The floor: the least a client can do for `title` and still be one. It reads
// the state file naively, connects to 127.0.0.1 with a blocking connect, sends
// the same request bytes as tessik-browser, receives to the end of the stream
// into one buffer that doubles when full, and prints the "data" string as it
// stands in the body (no unescaping, no validation) and a line feed.
//
//   floor        print the "data" string (still escaped: a scan for its closing
//                quote, so every body byte is read once in user space)
//   floor -r     print the raw body instead (the body is never read in user space)
//
// Built with -static, like the release binary.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static void die(const char* what) {
  fprintf(stderr, "floor: %s\n", what);
  exit(1);
}

static void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) die("write");
    p += w;
    n -= (size_t)w;
  }
}

int main(int argc, char** argv) {
  int raw = argc > 1 && strcmp(argv[1], "-r") == 0;

  const char* home = getenv("HOME");
  if (!home) die("HOME not set");
  char path[4096];
  snprintf(path, sizeof path, "%s/.tessik/state/browser-rpc.json", home);
  int sf = open(path, O_RDONLY);
  if (sf < 0) die("cannot open state file");
  char state[4096];
  ssize_t sn = read(sf, state, sizeof state - 1);
  if (sn <= 0) die("cannot read state file");
  state[sn] = 0;
  close(sf);
  char* p = strstr(state, "\"port\":");
  char* t = strstr(state, "\"token\":\"");
  if (!p || !t) die("bad state file");
  int port = atoi(p + 7);
  t += 9;
  char* te = strchr(t, '"');
  if (!te) die("bad state file");

  static const char body[] = "{\"command\":\"title\"}";
  char request[8192];
  int rl = snprintf(request, sizeof request,
                    "POST /v1/exec HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %.*s\r\n"
                    "Content-Type: application/json\r\nContent-Length: %zu\r\n"
                    "Connection: close\r\n\r\n%s",
                    (int)(te - t), t, sizeof body - 1, body);
  if (rl < 0 || rl >= (int)sizeof request) die("token too long");

  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) die("socket");
  struct sockaddr_in addr = {0};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons((unsigned short)port);
  if (connect(s, (struct sockaddr*)&addr, sizeof addr) != 0) die("connect");
  for (size_t off = 0; off < (size_t)rl;) {
    ssize_t n = send(s, request + off, (size_t)rl - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("send");
    off += (size_t)n;
  }

  size_t cap = 1 << 16, used = 0;
  char* reply = malloc(cap);
  if (!reply) die("malloc");
  for (;;) {
    if (used == cap) {
      cap *= 2;
      reply = realloc(reply, cap);
      if (!reply) die("realloc");
    }
    ssize_t n = recv(s, reply + used, cap - used, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) die("recv");
    if (n == 0) break;
    used += (size_t)n;
  }
  close(s);

  char* sep = memmem(reply, used, "\r\n\r\n", 4);
  if (!sep) die("no body");
  char* b = sep + 4;
  size_t blen = used - (size_t)(b - reply);
  if (raw) {
    write_all(1, b, blen);
    return 0;
  }
  char* d = memmem(b, blen, "\"data\":\"", 8);
  if (!d) die("no data string");
  d += 8;
  char* end = reply + used;
  char* q = d;
  for (;;) {  // the first quote without a backslash before it
    q = memchr(q, '"', (size_t)(end - q));
    if (!q) die("unterminated data string");
    if (q[-1] != '\\') break;
    q++;
  }
  *q = '\n';
  write_all(1, d, (size_t)(q - d) + 1);
  return 0;
}
