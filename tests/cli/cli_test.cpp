// The command line as a user meets it: the built binary, its exit codes and
// its exact output.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kBinary = TW3_BINARY_DIR "/twsmb3s";
constexpr int kWaitMs = 5000;

constexpr const char* kUsage =
    "usage: twsmb3s serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
    "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
    "       twsmb3s sim    [--share NAME=PATH]... [--user USER:PASS]... [--opt KEY=VALUE]... "
    "[--ip IP] < SCRIPT\n"
    "       twsmb3s selftest\n"
    "       twsmb3s version\n";

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

struct result {
  int code;
  std::string out;
  std::string err;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("twsmb3s_cli_" + std::to_string(tw3_now_ms()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs the binary with `args` (shell words) and `input` on standard input.
  result run(const std::string& args, const std::string& input = "") {
    std::ofstream(dir_ / "in", std::ios::binary) << input;
    std::string cmd = std::string(kBinary) + " " + args + " <" + q(dir_ / "in") + " >" + q(dir_ / "out") +
                      " 2>" + q(dir_ / "err");
    int status = std::system(cmd.c_str());
    return {WEXITSTATUS(status), slurp(dir_ / "out"), slurp(dir_ / "err")};
  }

  // Starts `serve` in the background; its pid goes to dir/pid.
  void serve_in_background(const std::string& args) {
    std::string cmd = "( " + std::string(kBinary) + " serve " + args + " >" + q(dir_ / "out") + " 2>" +
                      q(dir_ / "err") + " & echo $! >" + q(dir_ / "pid") + " )";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void kill_server() {
    std::string pid = slurp(dir_ / "pid");
    if (!pid.empty()) std::system(("kill " + pid + " 2>/dev/null").c_str());
  }
  // The file's text once it ends with a line feed (bounded wait), else "".
  std::string wait_for_line(const fs::path& p) {
    for (uint64_t end = tw3_now_ms() + kWaitMs; tw3_now_ms() < end; tw3_sleep_ms(20)) {
      std::string s = slurp(p);
      if (!s.empty() && s.back() == '\n') return s;
    }
    return "";
  }

  static std::string q(const fs::path& p) { return "'" + p.string() + "'"; }
  fs::path dir_;
};

TEST_F(Cli, ExitCodesAndExactMessages) {
  const std::string usage = kUsage;
  struct row {
    const char* args;
    int code;
    std::string out;
    std::string err;
  } rows[] = {
      {"", 2, "", usage},
      {"start", 2, "", usage},
      {"Version", 2, "", usage},
      {"version", 0, "twsmb3s 1.0.1\n", ""},
      {"version --whatever", 0, "twsmb3s 1.0.1\n", ""},
      {"selftest ignored words", 0, "selftest ok\n", ""},
      {"serve --port 70000", 1, "", "start: start: port out of range\n"},
      {"serve --port -1", 1, "", "start: start: port out of range\n"},
      {"serve --bind nowhere", 1, "", "start: start: nowhere is not an IP address\n"},
      {"serve --share nosplit", 2, "", "--share needs NAME=PATH\n"},
      {"serve --user nocolon", 2, "", "--user needs USER:PASS\n"},
      {"sim --opt novalue", 2, "", "--opt needs KEY=VALUE\n"},
      {"serve --share", 2, "", "unknown argument --share\n" + usage},
      {"sim --bogus x", 2, "", "unknown argument --bogus\n" + usage},
      {"sim --ip", 2, "", "unknown argument --ip\n" + usage},
      {"sim", 0, "RESULT ok (0 frames)\n", ""},
      {"sim --bind 192.0.2.7 --port 1 --port-file /nonexistent/f", 0, "RESULT ok (0 frames)\n", ""},
      {"sim --ip 10.1.2.3", 0, "refused: client address not allowed\n", ""},
      {"sim --allow 10.0.0.0/8 --ip 10.1.2.3", 0, "RESULT ok (0 frames)\n", ""},
  };
  for (const row& r : rows) {
    result got = run(r.args);
    EXPECT_EQ(got.code, r.code) << r.args;
    EXPECT_EQ(got.out, r.out) << r.args;
    EXPECT_EQ(got.err, r.err) << r.args;
  }
}

TEST_F(Cli, FailingConfigurationCallsNameTheCallAndExitWithOne) {
  struct row {
    const char* args;
    const char* prefix;
  } rows[] = {
      {"sim --opt no_such_key=1", "set_option: "},
      {"sim --allow 10.0.0.0/33", "allow_cidr: "},
      {"sim --share a=/nonexistent/twsmb3s/dir", "add_share: "},
      {"sim --user :secret", "add_user: "},
      {"sim --ip not.an.address", "simulate: "},
  };
  for (const row& r : rows) {
    result got = run(r.args);
    EXPECT_EQ(got.code, 1) << r.args;
    EXPECT_EQ(got.err.rfind(r.prefix, 0), 0u) << r.args << ": " << got.err;
    EXPECT_EQ(got.err.back(), '\n') << r.args;
    EXPECT_EQ(got.out, "") << r.args;
  }
}

TEST_F(Cli, ServeOnPortZeroReportsTheRealPortInLineAndFile) {
  serve_in_background("--port 0 --port-file " + q(dir_ / "port") + " --opt guest=on");
  std::string port = wait_for_line(dir_ / "port");
  std::string line = wait_for_line(dir_ / "out");
  kill_server();
  ASSERT_FALSE(port.empty());
  port.pop_back();
  EXPECT_GT(std::stoi(port), 0);
  EXPECT_EQ(line, "twsmb3s serving on 127.0.0.1 port " + port + "\n");
}

TEST_F(Cli, UnwritablePortFileDoesNotStopTheServer) {
  serve_in_background("--bind 127.0.0.1 --port 0 --port-file /nonexistent/twsmb3s/port");
  std::string line = wait_for_line(dir_ / "out");
  tw3_sleep_ms(200);
  // Still running: kill finds the process.
  std::string pid = slurp(dir_ / "pid");
  int alive = std::system(("kill -0 " + pid + " 2>/dev/null").c_str());
  kill_server();
  EXPECT_EQ(line.rfind("twsmb3s serving on 127.0.0.1 port ", 0), 0u) << line;
  EXPECT_EQ(alive, 0);
}

}  // namespace
