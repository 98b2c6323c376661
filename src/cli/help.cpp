// The help text of `twsmb3s --help`.
#include <cstdio>

#include "cli/cli.h"

namespace tw3cli {
namespace {

constexpr const char* kHelp =
    "twsmb3s - a small read-only SMB 3 file server\n"
    "\n"
    "usage: twsmb3s serve  [--config FILE] [--insecure-config] [--share NAME=PATH]...\n"
    "                      [--user USER[:PASS]]... [--allow CIDR]... [--opt KEY=VALUE]...\n"
    "                      [--bind IP] [--port N] [--port-file FILE] [--log FILE|-]\n"
    "                      [--log-level info|debug] [--stats-interval SECONDS]\n"
    "                      [--metrics [IP:]PORT]\n"
    "       twsmb3s sim    [--share NAME=PATH]... [--user USER:PASS]... [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
    "       twsmb3s selftest\n"
    "       twsmb3s version | --version\n"
    "       twsmb3s help | --help | -h\n"
    "\n"
    "Options of serve (sim takes --share, --user USER:PASS, --allow, --opt and --ip):\n"
    "  --config FILE          read settings from FILE first, one per line (see below)\n"
    "  --insecure-config      accept a FILE with passwords that others may read\n"
    "  --share NAME=PATH      publish a folder or a single file as share NAME\n"
    "  --user USER:PASS       add an account; --user USER reads the password from\n"
    "                         standard input (prompting without echo on a terminal)\n"
    "  --allow CIDR           let clients from CIDR connect (loopback always may)\n"
    "  --opt KEY=VALUE        set a server option (keys below)\n"
    "  --bind IP              address to listen on (default 127.0.0.1; :: for all)\n"
    "  --port N               TCP port (default 4450; 0 picks a free port)\n"
    "  --port-file FILE       write the port in use to FILE after starting\n"
    "  --log FILE|-           access log, one line per event (- is standard error)\n"
    "  --log-level LEVEL      info (default) or debug (adds refused requests)\n"
    "  --stats-interval SECS  print the statistics line on standard error every SECS\n"
    "                         (kill -USR1 prints it at once)\n"
    "  --metrics [IP:]PORT    HTTP statistics at /metrics (Prometheus) and /stats\n"
    "                         (JSON); IP defaults to 127.0.0.1\n"
    "\n"
    "Server options (--opt KEY=VALUE, or KEY = VALUE in the file), with defaults:\n"
    "  guest=auto             auto, on or off: guest logons (auto: when no account exists)\n"
    "  signing=enabled        enabled or required\n"
    "  ntlm_timecheck=on      on or off: refuse NTLM answers with a stale timestamp\n"
    "  max_clients=16         1..1024 connections served at once\n"
    "  idle_timeout_ms=300000 100..86400000\n"
    "  io_timeout_ms=30000    100..3600000\n"
    "  max_login_failures=3   1..100 failed logons before the connection is closed\n"
    "  max_credits=256        1..256\n"
    "  max_handles=1024       1..1024 open handles per connection\n"
    "  max_message=4194304    65536..16777216 bytes\n"
    "  clock=0                fixed Unix seconds for reproducible runs, 0 = system clock\n"
    "  server_name=TARNWICKFIELD  1..63 printable ASCII characters\n"
    "\n"
    "Configuration file: one setting per line, in order, before the arguments\n"
    "(which add to it and override bind, port, log and the like); # starts a comment line:\n"
    "  share public=/srv/public\n"
    "  user alice:secret\n"
    "  allow 192.168.1.0/24\n"
    "  guest = off\n"
    "  bind 0.0.0.0\n"
    "  port 445\n"
    "  log -\n"
    "A file that holds a password must not be readable by group or others (chmod 600).\n"
    "\n"
    "Examples:\n"
    "  twsmb3s serve --share public=/srv/public --opt guest=on\n"
    "  twsmb3s serve --config /etc/twsmb3s/twsmb3s.conf --log - --metrics 9445\n"
    "  printf 'secret\\n' | twsmb3s serve --share docs=/srv/docs --user alice\n"
    "  smbclient //127.0.0.1/public -p 4450 -N -m SMB3 -c ls\n"
    "  kill -USR1 $(pidof twsmb3s)\n"
    "\n"
    "Exit codes: 0 success, 1 a failing setting or start, 2 a usage error.\n";

}  // namespace

void print_help() { std::fputs(kHelp, stdout); }

}  // namespace tw3cli
