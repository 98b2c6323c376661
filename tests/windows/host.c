/* A host program of the Windows build: linked against the import library,
 * it loads twsmb3s.dll and runs the server twice in one process, publishing
 * FOLDER as the guest share "pub". Each round: start on a free loopback
 * port, print "port N", wait for a line on standard input (the test's
 * client has finished), print "stats " and the statistics report on one
 * line, stop, print "stopped N" with the port after the stop. */
#include <stdio.h>
#include <string.h>

#include <twsmb3s.h>

static int fail(const char* what) {
  fprintf(stderr, "%s: %s\n", what, twsmb3s_last_error());
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: host FOLDER\n");
    return 2;
  }
  if (twsmb3s_add_share("pub", argv[1]) != 0) return fail("add_share");
  if (twsmb3s_set_option("guest", "on") != 0) return fail("set_option");
  for (int round = 0; round < 2; ++round) {
    if (twsmb3s_start("127.0.0.1", 0, NULL) != 0) return fail("start");
    printf("port %d\n", twsmb3s_port());
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
      twsmb3s_stop();
      return 1;
    }
    const char* stats = twsmb3s_stats_json();
    if (stats == NULL) return fail("stats_json");
    printf("stats ");
    for (const char* p = stats; *p != '\0'; ++p)
      if (*p != '\n' && *p != '\r') putchar(*p);
    printf("\n");
    twsmb3s_stop();
    printf("stopped %d\n", twsmb3s_port());
    fflush(stdout);
  }
  return 0;
}
