// HTTP and HTTPS transfers of the update client, over libcurl: bounded in
// size, in time and in protocols (http and https only, also on redirects).
// Proxies come from the environment as curl takes them; certificates are
// checked against the system's CA store, or the CA file given.
#ifndef UPDATER_CLIENT_TRANSFER_H_
#define UPDATER_CLIENT_TRANSFER_H_

#include <stdint.h>

#include <string>

struct TransferOptions {
  std::string ca_file;        // empty: the system's store
  long connect_timeout = 30;  // seconds
  long stall_timeout = 30;    // seconds below one byte a second
};

// Called with the bytes of the file present so far and its announced size.
using TransferProgress = void (*)(void* closure, uint64_t done, uint64_t total);

// Fetches `url` into `*out`, refusing more than `max_bytes`. 0, 70 (no
// connection, TLS, an HTTP error status), 71 (timeouts) or 72 (too long);
// `*error` says what happened.
int FetchToString(const std::string& url, const TransferOptions& options, size_t max_bytes,
                  std::string* out, std::string* error);

// Brings the regular file open for reading and writing on `fd` to the `size`
// bytes of `url`: whatever it holds already (at most `size` bytes, else it is
// emptied) is kept and only the rest is asked for with a range request; a
// server that answers with the whole file instead has it written from the
// start. Never writes past `size`: a server announcing or sending more is
// cut off (72), and one that ends early gives 73. Other codes as
// FetchToString. The file holds what arrived whatever the outcome.
int FetchToFile(const std::string& url, const TransferOptions& options, int fd, uint64_t size,
                TransferProgress progress, void* closure, std::string* error);

// `relative` resolved against `base` as a browser would; false when either
// does not parse or the result is no http or https URL.
bool ResolveUrl(const std::string& base, const std::string& relative, std::string* out);

#endif  // UPDATER_CLIENT_TRANSFER_H_
