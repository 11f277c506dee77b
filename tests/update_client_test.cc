// update-client against a real nginx on loopback ports (plain and TLS, with a
// CA made by the openssl tool), serving feeds signed with the feed library
// and archives made by make-update; the updater it starts is a copy of the
// built one that trusts the release key.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_test_util.h"
#include "archive/qex_sign.h"
#include "feed/feed.h"
#include "testing/test_util.h"

namespace {

using testing_util::ReadFile;
using testing_util::RunCommand;
using testing_util::WriteFile;

constexpr char kApp[] = "org.example.app";

sockaddr_in Loopback(int port) {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// A TCP port on 127.0.0.1 that nobody listens on now; with `keep`, a socket
// listening there that never accepts (a server that stalls).
int LoopbackPort(int* keep = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(0);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  if (keep && listen(fd, 4) == 0) {
    *keep = fd;
  } else {
    close(fd);
  }
  return ntohs(addr.sin_port);
}

std::string Sha256Of(const std::string& path) {
  std::string hex;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) qex_file_sha256(fd, &hex);
  if (fd >= 0) close(fd);
  return hex;
}

// Everything the cases share, made once: keys, the releases 0.9, 1.0 and 2.0
// of an application, the archives to 2.0 (complete, and partial from 1.0) and
// damaged copies of the complete one, the updater that trusts the key, and
// nginx serving them.
struct Shared {
  testing_util::ScopedTempDir root;
  std::string www = root.Sub("www"), bin = root.Sub("bin");
  int port = -1, tls_port = -1, stall_port = -1, stall_fd = -1, closed_port = -1;
  int endless_port = -1;
  pid_t nginx = -1, endless = -1;
  uint64_t full_size = 0, partial_size = 0;
  std::string full_sha, partial_sha;
  bool ready = false;

  std::string Url(const std::string& path, bool tls = false) const {
    return (tls ? "https://localhost:" + std::to_string(tls_port)
                : "http://127.0.0.1:" + std::to_string(port)) +
           "/" + path;
  }

  void Make() {
    chmod(root.path().c_str(), 0755);
    for (const char* k : {"release", "stranger"}) {
      if (!archive_testing::MakeKeyPair(root.Sub(k))) return;
    }
    // Trees: a large binary that changes a little, and a text that changes.
    const std::string big = testing_util::RandomBytes(1 << 20, 7);
    std::string big2 = big;
    big2.replace(4096, 64, std::string(64, 'x'));
    const struct {
      const char* version;
      std::string binary, text;
    } trees[] = {
        {"0.9", big.substr(0, 1000000), "zero"}, {"1.0", big, "one"}, {"2.0", big2, "two"}};
    for (const auto& t : trees) {
      const std::string dir = root.Sub(std::string("v") + t.version);
      WriteFile(dir + "/bin/app", t.binary, 0755);
      WriteFile(dir + "/share/data.txt", t.text);
      if (RunCommand(std::string(MAKE_UPDATE_BINARY) + " --first-install --product-version " +
                     t.version + " --app-id " + kApp + " " + dir + " >/dev/null") != 0) {
        return;
      }
    }
    const std::string make = std::string(MAKE_UPDATE_BINARY) + " -p 2.0 --app-id " + kApp +
                             " --sign " + root.Sub("release.pem") + " ";
    const std::string full = www + "/full.qex", partial = www + "/from-1.0.qex";
    if (RunCommand("mkdir -p " + www + " " + bin + " " + root.Sub("tmp") + " && " + make + "-o " +
                   full + " --full " + root.Sub("v2.0") + " >/dev/null && " + make + "-o " +
                   partial + " " + root.Sub("v1.0") + " " + root.Sub("v2.0") +
                   " >/dev/null && cp " + UPDATER_BINARY + " " + bin + "/updater && cp " +
                   root.Sub("release.pub") + " " + bin + "/updater.keys") != 0) {
      return;
    }
    full_sha = Sha256Of(full);
    partial_sha = Sha256Of(partial);
    full_size = ReadFile(full).size();
    partial_size = ReadFile(partial).size();
    // The same archive signed by a stranger; altered in one byte; cut short;
    // with bytes after it.
    const std::string bytes = ReadFile(full);
    std::string altered = bytes;
    altered[altered.size() / 2] ^= 1;
    WriteFile(www + "/altered.qex", altered);
    WriteFile(www + "/short.qex", bytes.substr(0, bytes.size() - 100));
    WriteFile(www + "/long.qex", bytes + "more");
    if (RunCommand("cp " + full + " " + www + "/stranger.qex") != 0 ||
        !archive_testing::SignWith(www + "/stranger.qex", root.path(), {"stranger"})) {
      return;
    }
    ready = MakeTls() && StartNginx();
  }

  // A CA, and a certificate for localhost that it signs.
  bool MakeTls() {
    const std::string d = root.path() + "/";
    return RunCommand(
               "cd " + d +
               " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
               " -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca 2>/dev/null"
               " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
               " -keyout server.key -out server.csr -subj /CN=localhost 2>/dev/null"
               " && printf 'subjectAltName=DNS:localhost\\n' >ext.cnf"
               " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
               " -days 2 -extfile ext.cnf -out server.pem 2>/dev/null") == 0;
  }

  bool StartNginx() {
    port = LoopbackPort();
    tls_port = LoopbackPort();
    closed_port = LoopbackPort();
    stall_port = LoopbackPort(&stall_fd);
    // A server that sends a body without a length, for as long as it is read
    // (bounded: 16 connections of 64 MiB at most).
    int endless_fd = -1;
    endless_port = LoopbackPort(&endless_fd);
    endless = fork();
    if (endless == 0) {
      const std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
      const std::string chunk(1 << 16, 'x');
      for (int n = 0; n < 16; ++n) {
        int c = accept(endless_fd, nullptr, nullptr);
        bool open = send(c, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (int i = 0; open && i < 1024; ++i) {
          open = send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0;
        }
        close(c);
      }
      _exit(0);
    }
    close(endless_fd);
    const std::string d = root.path() + "/";
    std::ostringstream conf;
    conf << "daemon off; master_process off; worker_processes 1;\n"
         << "error_log " << d << "error.log; pid " << d << "nginx.pid;\n"
         << "events { worker_connections 64; }\nhttp {\n"
         << "  log_format tally '$uri $status $body_bytes_sent';\n"
         << "  access_log " << d << "access.log tally;\n"
         << "  client_body_temp_path " << d << "tmp/b; proxy_temp_path " << d << "tmp/p;\n"
         << "  fastcgi_temp_path " << d << "tmp/f; uwsgi_temp_path " << d << "tmp/u;\n"
         << "  scgi_temp_path " << d << "tmp/s;\n"
         << "  default_type application/octet-stream;\n"
         << "  server { listen 127.0.0.1:" << port << "; root " << www << ";\n"
         << "    location /slow/ { alias " << www << "/; limit_rate 256k; }\n"
         << "    location = /stalled.qex { return 302 http://127.0.0.1:" << stall_port << "/; }\n"
         << "    location = /refused.qex { return 302 http://127.0.0.1:" << closed_port << "/; }\n"
         << "    location = /endless.qex { return 302 http://127.0.0.1:" << endless_port
         << "/; } }\n"
         << "  server { listen 127.0.0.1:" << tls_port << " ssl; root " << www << ";\n"
         << "    ssl_certificate " << d << "server.pem; ssl_certificate_key " << d
         << "server.key; }\n}\n";
    WriteFile(d + "nginx.conf", conf.str());
    nginx = fork();
    if (nginx == 0) {
      execl("/usr/sbin/nginx", "nginx", "-c", (d + "nginx.conf").c_str(), "-p", d.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr = Loopback(port);
      bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
      close(fd);
      if (up) return true;
      usleep(50000);
    }
    return false;
  }

  ~Shared() {
    if (nginx > 0) {
      kill(nginx, SIGTERM);
      waitpid(nginx, nullptr, 0);
    }
    if (endless > 0) {
      kill(endless, SIGKILL);
      waitpid(endless, nullptr, 0);
    }
    if (stall_fd >= 0) close(stall_fd);
  }
};

// A feed of 2.0 as the cases change it, signed and served in its own
// directory. Archive URLs are relative to the served directory; the partial update announces the
// size and hash of the file `announce` (empty: the one it names).
struct FeedCase {
  std::string app = kApp, channel = "release", version = "2.0", signer = "release";
  std::string full_url = "full.qex", partial_url = "from-1.0.qex", announce;
  int64_t expires_in = 3600;
  int rollout = 100;
};

struct Outcome {
  int code = -1;
  std::string out, err;
};

class UpdateClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = new Shared;
    shared_->Make();
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(shared_->ready) << ReadFile(shared_->root.Sub("error.log")); }

  // Serves `c` as "<name>/release.json"; its URL.
  std::string Publish(const std::string& name, const FeedCase& c, bool tls = false) {
    Feed feed;
    feed.app_id = c.app;
    feed.channel = c.channel;
    feed.created = time(nullptr) - 60;
    feed.expires = time(nullptr) + c.expires_in;
    FeedRelease release;
    release.version = c.version;
    release.rollout = c.rollout;
    auto archive = [&](const std::string& url, std::string announced) -> FeedArchive {
      const std::string file = shared_->www + "/" + (announced.empty() ? url : announced);
      return {"../" + url, ReadFile(file).size(), Sha256Of(file)};
    };
    release.complete = archive(c.full_url, "");
    release.partials.push_back({"1.0", archive(c.partial_url, c.announce)});
    feed.releases.push_back(release);
    const std::string text = SerializeFeed(feed), key = shared_->root.Sub(c.signer + ".pem");
    const char* paths[] = {key.c_str()};
    QexKeys keys(qex_read_private_keys(1, paths));
    std::string signature;
    EXPECT_EQ(SignFeed(text, keys.get(), &signature), 0);
    WriteFile(shared_->www + "/" + name + "/release.json", text);
    WriteFile(shared_->www + "/" + name + "/release.json.sig", signature);
    return shared_->Url(name, tls);
  }

  // A fresh installation of `version` for the case `name`.
  std::string Install(const std::string& name, const std::string& version = "1.0") {
    const std::string dir = shared_->root.Sub("inst-" + name);
    EXPECT_EQ(
        RunCommand("rm -rf " + dir + " && cp -a " + shared_->root.Sub("v" + version) + " " + dir),
        0);
    return dir;
  }

  static std::string ClientCommand(const std::string& install, const std::string& args) {
    return std::string(UPDATE_CLIENT_BINARY) + " --install " + install + " --updater " +
           shared_->bin + "/updater --stall-timeout 2 " + args;
  }

  Outcome Client(const std::string& install, const std::string& args) {
    const std::string out = shared_->root.Sub("out.txt"), err = shared_->root.Sub("err.txt");
    int code = RunCommand(ClientCommand(install, args) + " >" + out + " 2>" + err);
    return {code, ReadFile(out), ReadFile(err)};
  }

  static Shared* shared_;
};

Shared* UpdateClientTest::shared_ = nullptr;

// Every refusal and failure leaves no update.qex and nothing else behind.
TEST_F(UpdateClientTest, RefusalsHaveTheirOwnCodesAndPlaceNothing) {
  const struct {
    const char* name;
    std::function<void(FeedCase*)> change;
    int code;
    const char* says;
  } cases[] = {
      {"other-key", [](FeedCase* c) { c->signer = "stranger"; }, 65, "no signature by a key"},
      {"expired", [](FeedCase* c) { c->expires_in = -1; }, 66, "the feed expired"},
      {"other-app", [](FeedCase* c) { c->app = "org.example.other"; }, 67, "org.example.other"},
      {"other-channel", [](FeedCase* c) { c->channel = "beta"; }, 68, "channel beta"},
      {"older", [](FeedCase* c) { c->version = "0.8"; }, 69, "installed 1.0"},
      {"altered", [](FeedCase* c) { c->partial_url = "altered.qex"; }, 73, "SHA-256"},
      {"truncated", [](FeedCase* c) { c->partial_url = "short.qex"; }, 73, "sent"},
      {"longer", [](FeedCase* c) { c->partial_url = "long.qex"; }, 72, "more than"},
      {"endless", [](FeedCase* c) { c->partial_url = "endless.qex"; }, 72, "more than"},
      {"other-signer", [](FeedCase* c) { c->partial_url = "stranger.qex"; }, 60, "refuses"},
      {"missing", [](FeedCase* c) { c->partial_url = "none.qex"; }, 70, "HTTP status 404"},
      // Redirected to a server that never answers, and to a closed port.
      {"stalled", [](FeedCase* c) { c->partial_url = "stalled.qex"; }, 71, "stalled.qex"},
      {"refused", [](FeedCase* c) { c->partial_url = "refused.qex"; }, 70, "refused.qex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FeedCase feed;
    feed.partial_url = "full.qex";
    c.change(&feed);
    // Damaged and unreachable copies announce the intact archive.
    if (feed.partial_url != "stranger.qex") feed.announce = "full.qex";
    const std::string url = Publish(c.name, feed), install = Install(c.name);
    Outcome o = Client(install, "--feed " + url + " download");
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("update-client: failed: " + std::to_string(c.code) + ": "), 0u) << o.err;
    EXPECT_EQ(testing_util::DiffSnapshots({}, testing_util::SnapshotTree(install + "/updates/0")),
              "");
  }
}

TEST_F(UpdateClientTest, KilledDownloadResumesWithARangeRequest) {
  FeedCase feed;
  feed.partial_url = "slow/full.qex";
  feed.announce = "full.qex";
  const std::string url = Publish("resume", feed), install = Install("resume");
  const std::string part =
      install + "/updates/0/update.qex." + shared_->full_sha.substr(0, 16) + ".part";
  // A download begun for another file is never resumed.
  WriteFile(install + "/updates/0/update.qex.0123456789abcdef.part", "stale");
  const std::string log = shared_->root.Sub("access.log");
  const size_t log_before = ReadFile(log).size();
  const std::string killed = "exec " + ClientCommand(install, "--feed " + url + " download") +
                             " >" + shared_->root.Sub("killed.txt") + " 2>&1";
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", killed.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  struct stat st = {};
  for (int i = 0; i < 400 && (stat(part.c_str(), &st) != 0 ||
                              static_cast<uint64_t>(st.st_size) < shared_->full_size / 3);
       ++i) {
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_EQ(stat(part.c_str(), &st), 0) << ReadFile(shared_->root.Sub("killed.txt"));
  ASSERT_LT(static_cast<uint64_t>(st.st_size), shared_->full_size);
  EXPECT_FALSE(testing_util::Exists(install + "/updates/0/update.qex"));

  Outcome o = Client(install, "--feed " + url + " --json download");
  EXPECT_EQ(o.code, 0) << o.out << o.err;
  EXPECT_NE(o.out.find("{\"event\":\"downloaded\",\"version\":\"2.0\"}\n"), std::string::npos);
  // The stale part is gone too.
  EXPECT_EQ(testing_util::SnapshotTree(install + "/updates/0").size(), 1u);
  EXPECT_EQ(Sha256Of(install + "/updates/0/update.qex"), shared_->full_sha);
  // What nginx sent of the archive in both transfers.
  std::istringstream lines(ReadFile(log).substr(log_before));
  std::string uri, status;
  uint64_t bytes = 0, total = 0;
  while (lines >> uri >> status >> bytes) {
    if (uri == "/slow/full.qex") total += bytes;
  }
  EXPECT_GE(total, shared_->full_size);
  EXPECT_LT(total, shared_->full_size * 12 / 10);
}

// TLS with the test's CA; without it the system store refuses the server.
TEST_F(UpdateClientTest, HttpsNeedsATrustedCertificate) {
  const std::string url = Publish("tls", FeedCase(), true), install = Install("tls");
  const std::string args = "--feed " + url + " check";
  Outcome o = Client(install, args);
  EXPECT_EQ(o.code, 70);
  EXPECT_NE(o.err.find("update-client: failed: 70: https://localhost"), std::string::npos) << o.err;
  o = Client(install, "--ca-file " + shared_->root.Sub("ca.pem") + " --json " + args);
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_NE(o.out.find("\"from\":\"1.0\",\"url\":\"https://localhost:" +
                       std::to_string(shared_->tls_port) + "/from-1.0.qex\""),
            std::string::npos)
      << o.out;
}

// A release offered to no machine yet is not offered to this one.
TEST_F(UpdateClientTest, RolloutWithholdsARelease) {
  FeedCase feed;
  feed.rollout = 0;
  Outcome o = Client(Install("rollout"), "--feed " + Publish("rollout", feed) + " --json check");
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(o.out, "{\"event\":\"check\",\"update\":null}\n");
}

// Version 1 runs while the update is staged, and the replace request at its
// restart brings version 2; an installation without a partial update takes
// the complete one, in place once the application has ended, and relaunches it.
TEST_F(UpdateClientTest, EndToEnd) {
  const std::string url = Publish("loop", FeedCase());
  for (const char* installed : {"1.0", "0.9"}) {
    SCOPED_TRACE(installed);
    const bool partial = std::string(installed) == "1.0";
    const std::string install = Install(std::string("loop-") + installed, installed);
    pid_t app = fork();
    if (app == 0) {
      execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    Outcome o = Client(install, "--feed " + url + " check");
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(o.out, std::string("update 2.0") + (partial ? " from 1.0: " : ": ") +
                         shared_->Url(partial ? "from-1.0.qex" : "full.qex") + " (" +
                         std::to_string(partial ? shared_->partial_size : shared_->full_size) +
                         " bytes)\n");
    o = Client(install, "--feed " + url + " download");
    EXPECT_EQ(o.code, 0) << o.err;
    EXPECT_EQ(Sha256Of(install + "/updates/0/update.qex"),
              partial ? shared_->partial_sha : shared_->full_sha);
    const std::string marker = shared_->root.Sub(std::string("relaunched-") + installed);
    if (partial) {
      o = Client(install, "--json apply");
      EXPECT_EQ(o.out, "{\"event\":\"apply\",\"status\":\"applied\"}\n") << o.err;
      EXPECT_EQ(ReadFile(install + "/product-version").substr(0, 4), "1.0\n");
      kill(app, SIGKILL);
      waitpid(app, nullptr, 0);
      o = Client(install, "apply --replace --pid " + std::to_string(app));
      EXPECT_EQ(o.code, 0) << o.err;
      EXPECT_EQ(o.out, "succeeded\n");
    } else {
      o = Client(install,
                 "apply --in-place --pid " + std::to_string(app) + " -- / /bin/touch " + marker);
      EXPECT_EQ(o.out, "started\n") << o.err;
      kill(app, SIGKILL);
      waitpid(app, nullptr, 0);
      for (int i = 0; i < 500 && !testing_util::Exists(marker); ++i) usleep(20000);
      EXPECT_TRUE(testing_util::Exists(marker));
      o = Client(install, "--json status");
      EXPECT_EQ(o.out, "{\"event\":\"status\",\"status\":\"succeeded\"}\n");
    }
    // Without its update directory and staged copy, the installation is 2.0.
    RunCommand("rm -rf " + install + "/updates " + install + "/updated");
    EXPECT_EQ(testing_util::DiffSnapshots(testing_util::SnapshotTree(shared_->root.Sub("v2.0")),
                                          testing_util::SnapshotTree(install)),
              "");
  }
}

}  // namespace
