// update-client: checks the application's feed for an update, downloads it
// into the update directory and starts the updater on it (update-client(1)).
#include "client/update_client.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/json.h"

namespace {

const char kUsage[] =
    "usage: update-client [options] check|download|apply|status\n"
    "  --install DIR          the installation (required)\n"
    "  --update-dir DIR       default: DIR/updates/0\n"
    "  --feed URL             the directory that serves CHANNEL.json\n"
    "  --keys FILE            the release keys; default: the updater's\n"
    "  --updater PATH         default: updater beside update-client\n"
    "  --channel NAME         default: release\n"
    "  --app ID, --version V  default: the installation's record\n"
    "  --ca-file FILE         default: the system's CA store\n"
    "  --connect-timeout S, --stall-timeout S   default: 30 seconds\n"
    "  --json                 one JSON object a line on standard output\n"
    "apply: staged by default; --replace [--pid PID] swaps the staged copy in;\n"
    "  --in-place --pid PID [-- CWD PROGRAM ARGS...] updates once PID has ended\n";

struct Display {
  bool json = false;
  bool terminal = false;
  int last_percent = -1;
};

void PrintJson(const JsonValue& value) {
  printf("%s\n", value.dump(-1, ' ', false, JsonValue::error_handler_t::replace).c_str());
  fflush(stdout);
}

void ShowProgress(void* closure, uint64_t done, uint64_t total) {
  auto* display = static_cast<Display*>(closure);
  int percent = total ? static_cast<int>(done * 100 / total) : 100;
  if (percent == display->last_percent) return;
  display->last_percent = percent;
  if (display->json) {
    PrintJson({{"event", "progress"}, {"done", done}, {"total", total}});
  } else if (display->terminal) {
    fprintf(stderr, "\rdownloading: %3d%% (%llu of %llu bytes)", percent,
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
    if (done == total) fputc('\n', stderr);
  }
}

JsonValue OfferJson(const UpdateClientOffer* offer) {
  if (!offer) return nullptr;
  return {{"version", offer->version},
          {"from", offer->from_version[0] ? JsonValue(offer->from_version) : JsonValue()},
          {"url", offer->url},
          {"size", offer->size},
          {"sha256", offer->sha256},
          {"notes_url", offer->notes_url[0] ? JsonValue(offer->notes_url) : JsonValue()}};
}

// Reports the outcome; the exit status is the result code.
int Finish(const Display& display, UpdateClient* client, int rv) {
  if (rv == 0) return 0;
  const char* message = update_client_error(client);
  if (display.json) {
    PrintJson({{"event", "error"}, {"code", rv}, {"message", message}});
  } else {
    if (display.terminal && display.last_percent >= 0 && display.last_percent < 100) {
      fputc('\n', stderr);
    }
    fprintf(stderr, "update-client: failed: %d: %s\n", rv, message);
  }
  return rv;
}

// The updater in the directory of this program.
std::string UpdaterBesideUs() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "updater";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "updater";
}

}  // namespace

int main(int argc, char** argv) {
  UpdateClientOptions options = {};
  options.machine_bucket = -1;
  std::string updater = UpdaterBesideUs(), keys, command;
  Display display;
  bool replace = false, in_place = false;
  long pid = 0;
  std::vector<const char*> relaunch;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto take = [&](const char** field) {
      *field = value;
      ++i;
      return value != nullptr;
    };
    bool ok = true;
    if (arg == "--json") {
      display.json = true;
    } else if (arg == "--replace") {
      replace = true;
    } else if (arg == "--in-place") {
      in_place = true;
    } else if (arg == "-h" || arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--") {
      relaunch.assign(argv + i + 1, argv + argc);
      break;
    } else if (arg == "--install") {
      ok = take(&options.install_dir);
    } else if (arg == "--update-dir") {
      ok = take(&options.update_dir);
    } else if (arg == "--feed") {
      ok = take(&options.feed_url);
    } else if (arg == "--keys" || arg == "--updater") {
      ok = value != nullptr;
      if (ok) (arg == "--keys" ? keys : updater) = argv[++i];
    } else if (arg == "--channel") {
      ok = take(&options.channel);
    } else if (arg == "--app") {
      ok = take(&options.app_id);
    } else if (arg == "--version") {
      ok = take(&options.installed_version);
    } else if (arg == "--ca-file") {
      ok = take(&options.ca_file);
    } else if (arg == "--connect-timeout" || arg == "--stall-timeout" || arg == "--pid") {
      char* end = nullptr;
      long number = value ? strtol(value, &end, 10) : -1;
      ok = value && *end == '\0' && number > 0;
      ++i;
      if (arg == "--pid")
        pid = number;
      else
        (arg == "--connect-timeout" ? options.connect_timeout : options.stall_timeout) = number;
    } else if (command.empty() && arg[0] != '-') {
      command = arg;
    } else {
      ok = false;
    }
    if (!ok) {
      fprintf(stderr, "update-client: bad argument: %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  bool fetches = command == "check" || command == "download";
  if (!options.install_dir || (fetches && !options.feed_url) ||
      (command != "apply" && (replace || in_place || !relaunch.empty())) ||
      (in_place && (replace || pid <= 0)) ||
      (!fetches && command != "apply" && command != "status")) {
    fputs(kUsage, stderr);
    return 2;
  }
  if (!options.feed_url) options.feed_url = "";
  options.keys_file = keys.empty() ? nullptr : keys.c_str();
#ifdef UPDATER_SYSTEM_CONFIG_DIR
  options.system_config_dir = UPDATER_SYSTEM_CONFIG_DIR;
#endif
  options.updater_path = updater.c_str();
  display.terminal = isatty(STDERR_FILENO);

  UpdateClient* client = update_client_create(&options);
  if (!client) {
    fputs("update-client: out of memory\n", stderr);
    return 10;
  }
  int rv = 0;
  char status[256] = "";
  if (fetches) {
    const UpdateClientOffer* offer = nullptr;
    rv = update_client_check(client, &offer);
    if (rv == 0 && display.json) {
      PrintJson({{"event", "check"}, {"update", OfferJson(offer)}});
    } else if (rv == 0 && !offer) {
      printf("no update\n");
    } else if (rv == 0) {
      printf("update %s%s%s: %s (%llu bytes)\n", offer->version,
             offer->from_version[0] ? " from " : "", offer->from_version, offer->url,
             static_cast<unsigned long long>(offer->size));
    }
    if (rv == 0 && offer && command == "download") {
      rv = update_client_download(client, offer, ShowProgress, &display);
      if (rv == 0 && display.json) {
        PrintJson({{"event", "downloaded"}, {"version", offer->version}});
      } else if (rv == 0) {
        printf("downloaded %s\n", offer->version);
      }
    }
  } else {
    UpdateClientApplyMode mode = in_place  ? UPDATE_CLIENT_IN_PLACE
                                 : replace ? UPDATE_CLIENT_REPLACE
                                           : UPDATE_CLIENT_STAGED;
    rv = command == "status"
             ? update_client_status(client, status, sizeof(status))
             : update_client_apply(client, mode, pid, relaunch.data(),
                                   static_cast<int>(relaunch.size()), status, sizeof(status));
    if (status[0] && display.json) {
      PrintJson({{"event", command}, {"status", status}});
    } else if (status[0]) {
      printf("%s\n", status);
    }
  }
  rv = Finish(display, client, rv);
  update_client_free(client);
  return rv;
}
