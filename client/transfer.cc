#include "client/transfer.h"

#include <curl/curl.h>
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cinttypes>
#include <memory>

#include "base/error_codes.h"

namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
using Curl = std::unique_ptr<CURL, CurlDeleter>;

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The settings every transfer shares.
Curl NewTransfer(const std::string& url, const TransferOptions& options, char* error_buffer) {
  Curl curl(curl_easy_init());
  if (!curl) return curl;
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, options.connect_timeout);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, options.stall_timeout);
  // Compressed bodies would make the byte counts mean something else.
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, nullptr);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "update-client/" UPDATER_VERSION);
  if (!options.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.ca_file.c_str());
  error_buffer[0] = '\0';
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_buffer);
  return curl;
}

// The code and message of a finished transfer that did not succeed.
int TransferCode(CURL* curl, CURLcode rv, const char* error_buffer, std::string* error) {
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  *error = error_buffer[0] ? error_buffer : curl_easy_strerror(rv);
  if (rv == CURLE_HTTP_RETURNED_ERROR) *error = "HTTP status " + std::to_string(status);
  switch (rv) {
    case CURLE_OPERATION_TIMEDOUT:
      return kTransferStalled;
    case CURLE_FILESIZE_EXCEEDED:
      return kDownloadTooLong;
    default:
      return kTransferFailed;
  }
}

struct StringSink {
  std::string* out;
  size_t max_bytes;
  bool too_long = false;
};

size_t WriteToString(char* data, size_t, size_t count, void* closure) {
  auto* sink = static_cast<StringSink*>(closure);
  if (count > sink->max_bytes - sink->out->size()) {
    sink->too_long = true;
    return 0;  // ends the transfer
  }
  sink->out->append(data, count);
  return count;
}

// A transfer into a file: where the bytes of this response begin, how many
// are there, and why it was cut off.
struct FileSink {
  CURL* curl;
  int fd;
  uint64_t size;    // announced
  uint64_t have;    // in the file before this response
  uint64_t offset;  // where the next byte goes
  TransferProgress progress;
  void* closure;
  bool started = false;
  int refusal = kOk;  // 72 or 73 when the response was cut off
  std::string why = "";
};

// Parses "Content-Range: bytes FIRST-LAST/TOTAL" of a partial response.
size_t ReadHeader(char* data, size_t, size_t count, void* closure) {
  auto* sink = static_cast<FileSink*>(closure);
  std::string line(data, count);
  static const char kName[] = "content-range:";
  if (line.size() > sizeof(kName) && strncasecmp(line.c_str(), kName, sizeof(kName) - 1) == 0) {
    uint64_t first = 0, last = 0, total = 0;
    if (sscanf(line.c_str() + sizeof(kName) - 1, " bytes %" SCNu64 "-%" SCNu64 "/%" SCNu64, &first,
               &last, &total) == 3) {
      if (first != sink->have) {
        sink->refusal = kDownloadMismatch;
        sink->why = "the server sent a range other than the one asked for";
      } else if (total > sink->size) {
        sink->refusal = kDownloadTooLong;
        sink->why = "the file on the server is longer than announced";
      }
      if (sink->refusal != kOk) return 0;
    }
  }
  return count;
}

size_t WriteToFile(char* data, size_t, size_t count, void* closure) {
  auto* sink = static_cast<FileSink*>(closure);
  if (!sink->started) {
    sink->started = true;
    long status = 0;
    curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
    // The whole file rather than the range: start over.
    if (status == 200 && sink->have > 0) {
      if (ftruncate(sink->fd, 0) != 0) return 0;
      sink->have = sink->offset = 0;
    }
  }
  if (count > sink->size - sink->offset) {
    sink->refusal = kDownloadTooLong;
    sink->why = "the server sent more than the announced " + std::to_string(sink->size) + " bytes";
    return 0;
  }
  for (size_t done = 0; done < count;) {
    ssize_t n = pwrite(sink->fd, data + done, count - done, static_cast<off_t>(sink->offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->refusal = kWriteError;
      sink->why = std::string("cannot write the download: ") + strerror(errno);
      return 0;
    }
    done += static_cast<size_t>(n);
    sink->offset += static_cast<uint64_t>(n);
  }
  if (sink->progress) sink->progress(sink->closure, sink->offset, sink->size);
  return count;
}

}  // namespace

int FetchToString(const std::string& url, const TransferOptions& options, size_t max_bytes,
                  std::string* out, std::string* error) {
  char error_buffer[CURL_ERROR_SIZE];
  Curl curl = NewTransfer(url, options, error_buffer);
  if (!curl) {
    *error = "cannot start a transfer";
    return kTransferFailed;
  }
  out->clear();
  StringSink sink{out, max_bytes};
  curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_bytes));
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, WriteToString);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
  CURLcode rv = curl_easy_perform(curl.get());
  if (sink.too_long) {
    *error = "more than " + std::to_string(max_bytes) + " bytes";
    return kDownloadTooLong;
  }
  if (rv != CURLE_OK) return TransferCode(curl.get(), rv, error_buffer, error);
  return kOk;
}

int FetchToFile(const std::string& url, const TransferOptions& options, int fd, uint64_t size,
                TransferProgress progress, void* closure, std::string* error) {
  off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) {
    *error = std::string("cannot read the download: ") + strerror(errno);
    return kReadError;
  }
  uint64_t have = static_cast<uint64_t>(end);
  if (have > size) {
    if (ftruncate(fd, 0) != 0) {
      *error = std::string("cannot empty the download: ") + strerror(errno);
      return kWriteError;
    }
    have = 0;
  }
  if (progress) progress(closure, have, size);
  if (have == size) return kOk;

  char error_buffer[CURL_ERROR_SIZE];
  Curl curl = NewTransfer(url, options, error_buffer);
  if (!curl) {
    *error = "cannot start a transfer";
    return kTransferFailed;
  }
  FileSink sink{curl.get(), fd, size, have, have, progress, closure};
  CURL* c = curl.get();
  // A range rather than curl's resume, which fails on a server that answers
  // with the whole file: the write callback starts over then.
  const std::string range = std::to_string(have) + "-";
  if (have > 0) curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
  // A Content-Length past the announced size ends the transfer before any
  // byte is read; Content-Range and the write callback hold the line for
  // the rest.
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(size));
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, ReadHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteToFile);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
  CURLcode rv = curl_easy_perform(c);
  if (sink.refusal != kOk) {
    *error = sink.why;
    return sink.refusal;
  }
  if (rv == CURLE_FILESIZE_EXCEEDED) {
    *error = "the server announced more than " + std::to_string(size) + " bytes";
    return kDownloadTooLong;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (rv == CURLE_HTTP_RETURNED_ERROR && status == 416) {
    *error = "the file on the server is shorter than the " + std::to_string(have) +
             " bytes already here";
    return kDownloadMismatch;
  }
  if (rv != CURLE_OK) return TransferCode(c, rv, error_buffer, error);
  if (sink.offset != size) {
    *error = "the server sent " + std::to_string(sink.offset) + " of the announced " +
             std::to_string(size) + " bytes";
    return kDownloadMismatch;
  }
  return kOk;
}

bool ResolveUrl(const std::string& base, const std::string& relative, std::string* out) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK) {
    return false;
  }
  char* scheme = nullptr;
  char* full = nullptr;
  bool ok = curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            (strcmp(scheme, "http") == 0 || strcmp(scheme, "https") == 0) &&
            curl_url_get(url.get(), CURLUPART_URL, &full, 0) == CURLUE_OK;
  if (ok) *out = full;
  curl_free(scheme);
  curl_free(full);
  return ok;
}
