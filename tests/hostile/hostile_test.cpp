// Every file of the hostile set (tools/make_hostile_pdfs.py) goes through the
// public interface in a child process of its own, so that a crash, a hang or
// a runaway allocation fails one case instead of the whole program, and so
// that the kernel can report the child's peak resident memory. Each case must
// reach the outcome its manifest row expects, within its processor time and memory.
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rendrix.h"

namespace {

// Sanitizer builds run several times slower and map shadow memory, so their
// time bounds are widened and their memory is not compared.
#if defined(RENDRIX_HOSTILE_SANITIZED) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// An unoptimised build is slower too; its bounds are widened less.
#if defined(__OPTIMIZE__)
constexpr double kUnoptimisedFactor = 1.0;
#else
constexpr double kUnoptimisedFactor = 4.0;
#endif

constexpr double kTimeFactor = (kSanitized ? 8.0 : 1.0) * kUnoptimisedFactor;

// A child past this many times its time bound is killed as hung.
constexpr double kHangFactor = 4.0;

// Address space of a child outside sanitizer builds: a safety net for the
// machine (a runaway case fails with an allocation failure instead of
// exhausting memory), well above every case's own bound.
constexpr uint64_t kChildAddressSpace = uint64_t{8} << 30;

struct hostile_case {
  std::string name, action, expect, what;
  int page = 0, dpi = 0;
  double max_seconds = 0;
  double max_mib = 0;
};

// Whole-string number parses: false on empty text, trailing bytes or range.
bool parse_int(const std::string& s, int* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > INT32_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parse_positive(const std::string& s, double* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double v = strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v > 0) || v > 1e6) return false;
  *out = v;
  return true;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> cols;
  std::stringstream ss(line);
  for (std::string c; std::getline(ss, c, '\t');) cols.push_back(c);
  return cols;
}

// Reads the manifest; a row that does not parse is reported and skipped.
std::vector<hostile_case> read_manifest(const std::string& path) {
  std::vector<hostile_case> cases;
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) {
    ADD_FAILURE() << "cannot read " << path;
    return cases;
  }
  EXPECT_EQ(line, "name\taction\tpage\tdpi\texpect\tmax_seconds\tmax_mib\twhat");
  for (int row = 2; std::getline(in, line); row++) {
    if (line.empty()) continue;
    std::vector<std::string> cols = split_tabs(line);
    hostile_case c;
    bool good = cols.size() == 8;
    if (good) {
      c.name = cols[0];
      c.action = cols[1];
      c.expect = cols[4];
      c.what = cols[7];
      good = !c.name.empty() && (c.action == "count" || c.action == "render") &&
             parse_int(cols[2], &c.page) && c.page >= 1 && parse_int(cols[3], &c.dpi) &&
             (c.expect == "ok" || (c.expect.rfind("error:", 0) == 0 && c.expect.size() > 6)) &&
             parse_positive(cols[5], &c.max_seconds) && parse_positive(cols[6], &c.max_mib);
    }
    if (!good) {
      ADD_FAILURE() << path << ":" << row << ": malformed row: " << line;
      continue;
    }
    cases.push_back(c);
  }
  return cases;
}

// What the child reports: "ok" or "error", a newline, then the message.
struct child_report {
  bool ok = false;
  std::string message;
};

bool write_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The child's whole life: one call through the public interface, its result
// written to fd. Never returns; _exit skips the parent's exit handlers and
// stdio buffers inherited through fork.
[[noreturn]] void run_child(const hostile_case& c, const std::string& path, int fd,
                            double hard_cap) {
  // A backstop should the parent be gone: the child cannot outlive its cap.
  alarm(static_cast<unsigned>(hard_cap) + 5);
  if (!kSanitized) {
    rlimit as = {kChildAddressSpace, kChildAddressSpace};
    setrlimit(RLIMIT_AS, &as);
  }
  rendrix_init();
  std::string report;
  if (c.action == "count") {
    int n = rendrix_page_count(path.c_str());
    report = n > 0 ? "ok\n" + std::to_string(n) + " pages"
                   : "error\n" + std::string(rendrix_last_error());
  } else {
    uint64_t size = 0;
    unsigned char* png = rendrix_page_memory(path.c_str(), c.page, c.dpi, 0, &size);
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!png)
      report = "error\n" + std::string(rendrix_last_error());
    else if (size <= sizeof kSignature || memcmp(png, kSignature, sizeof kSignature) != 0)
      report = "error\nthe returned block is not a PNG";
    else
      report = "ok\n" + std::to_string(size) + " PNG bytes";
    rendrix_free_buffer(png);
  }
  _exit(write_all(fd, report) ? 0 : 3);
}

struct measured {
  bool started = false;
  bool hung = false;
  int exit_code = -1;  // the child's exit status, -1 when it did not exit
  int signal = 0;      // the signal that ended it, 0 when none
  child_report report;
  bool reported = false;
  double wall = 0, cpu = 0, peak_mib = 0;
};

double seconds_of(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

measured run_case(const hostile_case& c, const std::string& path, double hard_cap) {
  measured m;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return m;
  }
  fflush(stdout);
  fflush(stderr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return m;
  }
  if (pid == 0) {
    close(fds[0]);
    run_child(c, path, fds[1], hard_cap);
  }
  close(fds[1]);
  m.started = true;

  // The report is at most a short line and a message of about a kilobyte,
  // far below the pipe's capacity, so the child never blocks on it and the
  // pipe is read once the child is gone.
  int status = 0;
  rusage usage = {};
  for (;;) {
    pid_t r = wait4(pid, &status, WNOHANG, &usage);
    if (r == pid) break;
    const bool lost = r < 0 && errno != EINTR;
    if (lost) ADD_FAILURE() << "wait4: " << strerror(errno);
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    if (lost || spent.count() > hard_cap) {
      m.hung = !lost;
      kill(pid, SIGKILL);
      while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
      }
      break;
    }
    timespec nap = {0, 2000000};
    nanosleep(&nap, nullptr);
  }
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  m.wall = wall.count();
  m.cpu = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  m.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
  if (WIFEXITED(status)) m.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) m.signal = WTERMSIG(status);

  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fds[0]);
  size_t nl = text.find('\n');
  if (nl != std::string::npos &&
      (text.compare(0, nl, "ok") == 0 || text.compare(0, nl, "error") == 0)) {
    m.reported = true;
    m.report.ok = text.compare(0, nl, "ok") == 0;
    m.report.message = text.substr(nl + 1);
  }
  return m;
}

// The outcome as one table cell: "ok", "error: <message>", "hang", ...
std::string outcome_text(const measured& m) {
  if (m.hung) return "hang (killed)";
  if (m.signal) return "signal " + std::to_string(m.signal) + " (" + strsignal(m.signal) + ")";
  if (!m.reported) return "no report (exit " + std::to_string(m.exit_code) + ")";
  if (m.report.ok) return "ok";
  return "error: " + m.report.message;
}

// "ok" wants a page count or a PNG; "error:TEXT" a failure whose message
// contains TEXT.
bool outcome_matches(const std::string& expect, const child_report& r) {
  if (expect == "ok") return r.ok;
  return !r.ok && r.message.find(expect.substr(6)) != std::string::npos;
}

std::string files_dir() {
  const char* env = getenv("RENDRIX_HOSTILE_DIR");
  return env && *env ? env : RENDRIX_HOSTILE_DIR;
}

TEST(HostileFiles, EachFileReachesItsOutcomeWithinItsBounds) {
  const std::string dir = files_dir();
  std::vector<hostile_case> cases = read_manifest(dir + "/hostile.tsv");
  ASSERT_FALSE(cases.empty()) << "no cases in " << dir << "/hostile.tsv";
  // RENDRIX_HOSTILE_CASE=text runs only the cases whose name contains text.
  const char* only = getenv("RENDRIX_HOSTILE_CASE");

  struct row {
    std::string name, outcome;
    double wall, cpu, peak;
    bool within;
  };
  std::vector<row> table;
  for (const hostile_case& c : cases) {
    if (only && c.name.find(only) == std::string::npos) continue;
    SCOPED_TRACE(c.name + " (" + c.what + ")");
    const double time_bound = c.max_seconds * kTimeFactor;
    measured m = run_case(c, dir + "/" + c.name, time_bound * kHangFactor);
    if (!m.started) continue;

    EXPECT_FALSE(m.hung) << "still running after " << m.wall << " s: killed";
    if (!m.hung) {
      EXPECT_EQ(m.signal, 0) << "ended by signal " << m.signal;
    }
    EXPECT_TRUE(m.hung || m.signal || m.reported)
        << "the child sent no result (exit " << m.exit_code << ")";
    const bool matches = m.reported && outcome_matches(c.expect, m.report);
    if (m.reported) {
      EXPECT_TRUE(matches) << "expected " << c.expect << "\n     got " << outcome_text(m);
    }
    // The bound is on the processor time the case used: on a shared machine
    // the wall time also holds the time other programs ran. A case that
    // truly hangs is still caught by the wall-clock kill above.
    const bool fast = m.cpu <= time_bound;
    EXPECT_TRUE(fast) << "processor time " << m.cpu << " s over the bound of " << time_bound
                      << " s";
    const bool small = kSanitized || m.peak_mib <= c.max_mib;
    EXPECT_TRUE(small) << "peak resident memory " << m.peak_mib << " MiB over the bound of "
                       << c.max_mib << " MiB";
    const bool within = !m.hung && m.signal == 0 && matches && fast && small;
    table.push_back({c.name, outcome_text(m), m.wall, m.cpu, m.peak_mib, within});
  }

  printf("\n%-34s %8s %8s %9s  %s\n", "case", "wall s", "cpu s", "peak MiB", "outcome");
  for (const row& r : table) {
    std::string outcome = r.outcome.size() > 90 ? r.outcome.substr(0, 87) + "..." : r.outcome;
    printf("%-34s %8.2f %8.2f %9.1f  %s%s\n", r.name.c_str(), r.wall, r.cpu, r.peak,
           r.within ? "" : "FAIL ", outcome.c_str());
  }
  printf("%s bounds: time x%.0f, memory %s\n", kSanitized ? "sanitizer" : "plain", kTimeFactor,
         kSanitized ? "not checked" : "checked");
  fflush(stdout);
}

}  // namespace
