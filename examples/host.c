/* A host program that embeds twsmb3s: it publishes one folder as the guest
 * share "example" on a free loopback port, serves until its standard input
 * ends, then prints the statistics report and stops the server.
 *
 *   cc host.c $(pkg-config --cflags --libs twsmb3s) -o host
 *   ./host /srv/public          (then: smbclient //127.0.0.1/example -p PORT -N) */
#include <stdio.h>
#include <stdlib.h>

#include <twsmb3s.h>

static int fail(const char* what) {
  fprintf(stderr, "%s: %s\n", what, twsmb3s_last_error());
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FOLDER [PORT]\n", argv[0]);
    return 2;
  }
  unsigned port = argc > 2 ? (unsigned)strtoul(argv[2], NULL, 10) : 0;
  if (twsmb3s_add_share("example", argv[1]) != 0) return fail("add_share");
  if (twsmb3s_set_option("guest", "on") != 0) return fail("set_option");
  if (twsmb3s_start("127.0.0.1", port, NULL) != 0) return fail("start");
  printf("twsmb3s %s serving //127.0.0.1/example on port %d\n", twsmb3s_version(), twsmb3s_port());
  fflush(stdout);

  char line[256];
  while (fgets(line, sizeof line, stdin) != NULL) {
  }
  printf("%s\n", twsmb3s_stats_json());
  twsmb3s_stop();
  return 0;
}
