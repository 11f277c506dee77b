// Compression of one file into one bzip2 stream, the form in which archives
// store their entries: used by the archive writer and by make-update, which
// stages compressed entries before it writes them unchanged. C++ only.
#ifndef UPDATER_ARCHIVE_QEX_COMPRESS_H_
#define UPDATER_ARCHIVE_QEX_COMPRESS_H_

#include <cstdint>
#include <cstdio>

class ContentDigest;

// Results of CompressToBzip2.
enum QexCompressResult : int {
  kQexCompressOk = 0,
  kQexCompressCannotStart = 1,  // libbz2 or the buffer could not be set up
  kQexCompressReadError = 2,    // reading the input failed; errno tells why
  kQexCompressWriteError = 3,   // writing the output failed; errno tells why
  kQexCompressFailed = 4,       // libbz2 failed part-way
};

// Compresses the rest of `in` into `out` (at its position) as one bzip2
// stream of block size 9 and stores the number of bytes written in
// `compressed_size`. Prints nothing, closes and flushes neither stream; after
// a failure `out` holds a partial stream and `compressed_size` is unchanged.
// Every byte read from `in` is fed to `input_digest` when it is given.
int CompressToBzip2(FILE* in, FILE* out, uint64_t* compressed_size,
                    ContentDigest* input_digest = nullptr);

#endif  // UPDATER_ARCHIVE_QEX_COMPRESS_H_
