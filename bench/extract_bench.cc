// Extraction of one large bzip2-compressed entry with ArchiveReader::ExtractToFile,
// against `bzip2 -dc` of the same stream into a file on the same disk. libbz2
// does the work in both, so its own tool is the floor.
//
// Usage: extract_bench [--runs N] [--max-ratio R] INPUT WORKDIR
//   INPUT    a large file (100 MB or more), stored compressed as the one entry
//   WORKDIR  holds the archive, the bare stream and both outputs
// Runs alternate (which side goes first alternates too); prints every wall-clock
// and cpu time, the medians and their ratios; the limit applies to wall-clock. Exit status 1 when
// an output differs from INPUT or the ratio exceeds --max-ratio (default 1.05).
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
  if (gArchiveReader.Open(archive.c_str()) != 0) return t;
  int rv = gArchiveReader.ExtractToFile(kEntryName, dest.c_str());
  gArchiveReader.Close();
  double wall = Now() - start;
  getrusage(RUSAGE_SELF, &after);
  if (rv == 0) {
    t.wall = wall;
    t.cpu = CpuOf(after) - CpuOf(before);
  }
  return t;
}

Timing TimeBzip2(const std::string& stream, const std::string& dest) {
  unlink(dest.c_str());
  Timing t;
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(127);
    execlp("bzip2", "bzip2", "-dc", stream.c_str(), static_cast<char*>(nullptr));
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
  fputs("Usage: extract_bench [--runs N] [--max-ratio R] INPUT WORKDIR\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  double max_ratio = 1.05;
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
    } else {
      args.push_back(a);
    }
  }
  if (args.size() != 2 || runs < 1) return Usage();
  const std::string input = args[0], work = args[1];
  const std::string archive = work + "/bench.qex", stream = work + "/payload.bz2";
  const std::string ours = work + "/out.reader", theirs = work + "/out.bzip2";

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
    ProductInfo info = {channel, version};
    if (qex_create_archive_ex(archive.c_str(), 1, &source, &info, QEX_STORE_BZIP2) != 0 ||
        !WriteStoredStream(archive, stream)) {
      fprintf(stderr, "extract_bench: cannot build %s\n", archive.c_str());
      return 1;
    }
  }

  std::vector<double> reader_wall, bzip2_wall, reader_cpu, bzip2_cpu;
  for (int i = 0; i < runs; ++i) {
    Timing r, b;
    if (i % 2 == 0) {
      r = TimeReader(archive, ours);
      b = TimeBzip2(stream, theirs);
    } else {
      b = TimeBzip2(stream, theirs);
      r = TimeReader(archive, ours);
    }
    if (r.wall < 0 || b.wall < 0) {
      fprintf(stderr, "extract_bench: run %d failed (reader %s, bzip2 %s)\n", i + 1,
              r.wall < 0 ? "failed" : "ok", b.wall < 0 ? "failed" : "ok");
      return 1;
    }
    if (i == 0 && (!SameFiles(input, ours) || !SameFiles(input, theirs))) {
      fprintf(stderr, "extract_bench: an output differs from %s\n", input.c_str());
      return 1;
    }
    printf("run %d: ExtractToFile %.3f s (cpu %.3f s), bzip2 -dc %.3f s (cpu %.3f s)\n", i + 1,
           r.wall, r.cpu, b.wall, b.cpu);
    fflush(stdout);
    reader_wall.push_back(r.wall);
    bzip2_wall.push_back(b.wall);
    reader_cpu.push_back(r.cpu);
    bzip2_cpu.push_back(b.cpu);
  }
  unlink(ours.c_str());
  unlink(theirs.c_str());
  double mr = Median(reader_wall), mb = Median(bzip2_wall);
  double ratio = mr / mb;
  printf("input: %lld bytes, stream: %lld bytes\n", static_cast<long long>(in_st.st_size), [&] {
    struct stat st;
    return stat(stream.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1LL;
  }());
  printf("median ExtractToFile %.3f s (%.1f MB/s), median bzip2 -dc %.3f s\n", mr,
         in_st.st_size / mr / 1e6, mb);
  printf("median cpu: ExtractToFile %.3f s, bzip2 -dc %.3f s, ratio %.3f\n", Median(reader_cpu),
         Median(bzip2_cpu), Median(reader_cpu) / Median(bzip2_cpu));
  printf("ratio ExtractToFile / bzip2 -dc (wall-clock medians): %.3f (limit %.2f)\n", ratio,
         max_ratio);
  return ratio <= max_ratio ? 0 : 1;
}
