// Extraction of one large bzip2-compressed entry with ArchiveReader::ExtractToFile
// (its blocks decoded on every core), against `bzip2 -dc` and `lbzip2 -dc -n2`
// of the same stream into a file on the same disk.
//
// Usage: extract_bench [--runs N] [--max-ratio R] [--max-lbzip2-ratio R] INPUT WORKDIR
//   INPUT    a large file (100 MB or more), stored compressed as the one entry
//   WORKDIR  holds the archive, the bare stream and the outputs
// Runs alternate (which side goes first rotates too); prints every wall-clock
// and cpu time, the medians and their ratios; the limits apply to wall-clock.
// Exit status 1 when an output differs from INPUT or a ratio exceeds its limit
// (defaults 0.55 for bzip2, 1.3 for lbzip2; lbzip2 is left out where it is not
// installed).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_reader.h"
#include "archive/qex.h"

namespace {

constexpr char kEntryName[] = "payload";

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double Seconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; }

// User plus system time.
double CpuOf(const rusage& ru) { return Seconds(ru.ru_utime) + Seconds(ru.ru_stime); }

struct Timing {
  double wall = -1;  // negative: the run failed
  double cpu = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool SameFiles(const std::string& a, const std::string& b) {
  FILE* fa = fopen(a.c_str(), "rb");
  FILE* fb = fopen(b.c_str(), "rb");
  bool same = fa && fb;
  static char ba[1 << 16], bb[1 << 16];
  while (same) {
    size_t na = fread(ba, 1, sizeof(ba), fa);
    size_t nb = fread(bb, 1, sizeof(bb), fb);
    same = na == nb && memcmp(ba, bb, na) == 0;
    if (na == 0) break;
  }
  if (fa) fclose(fa);
  if (fb) fclose(fb);
  return same;
}

// Copies the entry's stored bytes, the bare bzip2 stream, to `dest`.
bool WriteStoredStream(const std::string& archive_path, const std::string& dest) {
  QexArchive* archive = qex_open(archive_path.c_str());
  if (!archive) return false;
  QexEntry* entry = qex_find_entry(archive, kEntryName);
  FILE* out = fopen(dest.c_str(), "wb");
  bool ok = entry && out;
  static char buf[1 << 16];
  uint32_t pos = 0;
  int n = 0;
  while (ok && (n = qex_read_entry(archive, entry, pos, buf, sizeof(buf))) > 0) {
    ok = fwrite(buf, n, 1, out) == 1;
    pos += n;
  }
  ok = ok && n == 0;
  if (out && fclose(out) != 0) ok = false;
  qex_close(archive);
  return ok;
}

Timing TimeReader(const std::string& archive, const std::string& dest) {
  unlink(dest.c_str());
  Timing t;
  rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  double start = Now();
  ArchiveReader reader;
  if (reader.Open(archive.c_str()) != 0) return t;
  int rv = reader.ExtractToFile(kEntryName, dest.c_str());
  reader.Close();
  double wall = Now() - start;
  getrusage(RUSAGE_SELF, &after);
  if (rv == 0) {
    t.wall = wall;
    t.cpu = CpuOf(after) - CpuOf(before);
  }
  return t;
}

// A peer tool (bzip2 or lbzip2) decoding `stream` to standard output.
Timing TimeTool(const char* tool, const std::string& stream, const std::string& dest) {
  unlink(dest.c_str());
  Timing t;
  const bool lbzip2 = strcmp(tool, "lbzip2") == 0;
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
    if (lbzip2) {
      execlp(tool, tool, "-dc", "-n2", stream.c_str(), static_cast<char*>(nullptr));
    } else {
      execlp(tool, tool, "-dc", stream.c_str(), static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  int status;
  rusage ru;
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return t;
  }
  t.wall = Now() - start;
  t.cpu = CpuOf(ru);
  return t;
}

int Usage() {
  fputs("Usage: extract_bench [--runs N] [--max-ratio R] [--max-lbzip2-ratio R] INPUT WORKDIR\n",
        stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  double max_ratio = 0.55, max_lbzip2_ratio = 1.3;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--max-ratio" && i + 1 < argc) {
      max_ratio = atof(argv[++i]);
    } else if (a == "--max-lbzip2-ratio" && i + 1 < argc) {
      max_lbzip2_ratio = atof(argv[++i]);
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2 || runs < 1) return Usage();
  const std::string input = args[0], work = args[1];
  const std::string archive = work + "/bench.qex", stream = work + "/payload.bz2";

  struct stat in_st, ar_st;
  if (stat(input.c_str(), &in_st) != 0) {
    fprintf(stderr, "extract_bench: cannot examine %s\n", input.c_str());
    return 1;
  }
  // The archive is reused while it is newer than the input.
  if (stat(archive.c_str(), &ar_st) != 0 || ar_st.st_mtime < in_st.st_mtime) {
    fprintf(stderr, "extract_bench: compressing %s ...\n", input.c_str());
    QexSource source = {kEntryName, input.c_str()};
    char channel[] = "bench", version[] = "1";
    ProductInfo info = {channel, version, nullptr};
    if (qex_create_archive_ex(archive.c_str(), 1, &source, &info, QEX_STORE_BZIP2) != 0 ||
        !WriteStoredStream(archive, stream)) {
      fprintf(stderr, "extract_bench: cannot build %s\n", archive.c_str());
      return 1;
    }
  }

  // The sides: the reader, bzip2, and lbzip2 where it is installed.
  const bool with_lbzip2 = system("command -v lbzip2 >/dev/null 2>&1") == 0;
  const char* names[] = {"ExtractToFile", "bzip2 -dc", "lbzip2 -dc -n2"};
  const int sides = with_lbzip2 ? 3 : 2;
  std::vector<double> wall[3], cpu[3];
  for (int i = 0; i < runs; ++i) {
    Timing t[3];
    for (int k = 0; k < sides; ++k) {
      const int side = (i + k) % sides;
      const std::string out = work + "/out." + std::to_string(side);
      t[side] = side == 0   ? TimeReader(archive, out)
                : side == 1 ? TimeTool("bzip2", stream, out)
                            : TimeTool("lbzip2", stream, out);
      if (t[side].wall < 0) {
        fprintf(stderr, "extract_bench: run %d of %s failed\n", i + 1, names[side]);
        return 1;
      }
      if (i == 0 && !SameFiles(input, out)) {
        fprintf(stderr, "extract_bench: the output of %s differs from %s\n", names[side],
                input.c_str());
        return 1;
      }
      unlink(out.c_str());
    }
    printf("run %d:", i + 1);
    for (int k = 0; k < sides; ++k) {
      printf("%s %s %.3f s (cpu %.3f s)", k ? "," : "", names[k], t[k].wall, t[k].cpu);
      wall[k].push_back(t[k].wall);
      cpu[k].push_back(t[k].cpu);
    }
    printf("\n");
    fflush(stdout);
  }
  printf("input: %lld bytes, stream: %lld bytes\n", static_cast<long long>(in_st.st_size), [&] {
    struct stat st;
    return stat(stream.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1LL;
  }());
  const double mr = Median(wall[0]);
  printf("median ExtractToFile %.3f s (%.1f MB/s, cpu %.3f s)\n", mr, in_st.st_size / mr / 1e6,
         Median(cpu[0]));
  bool met = true;
  const double limits[] = {0, max_ratio, max_lbzip2_ratio};
  for (int k = 1; k < sides; ++k) {
    const double ratio = mr / Median(wall[k]);
    printf(
        "ratio ExtractToFile / %s (wall-clock medians): %.3f (limit %.2f; %s %.3f s, cpu %.3f s)\n",
        names[k], ratio, limits[k], names[k], Median(wall[k]), Median(cpu[k]));
    met = met && ratio <= limits[k];
  }
  return met ? 0 : 1;
}
