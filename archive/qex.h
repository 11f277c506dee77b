// The QEX archive library: reading, writing and extracting archives, and
// reading their product information. A plain C interface (usable from C and
// C++); failures are returned, and the few messages go to standard error, each
// beginning "ERROR: ". The format is described in doc/qex_format.md.
#ifndef UPDATER_ARCHIVE_QEX_H_
#define UPDATER_ARCHIVE_QEX_H_

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// One index record. Owned by its archive; valid until qex_close.
typedef struct QexEntry {
  struct QexEntry* next;  // next entry in the same bucket, null at the end
  uint32_t offset;        // absolute offset of the stored bytes
  uint32_t length;        // number of stored bytes
  uint32_t flags;         // permission bits used when the entry becomes a file
  char name[1];           // the name and its zero byte, inside this allocation
} QexEntry;

// An open archive: the read-only stream and 256 buckets of entries, each chain
// in index order. Created by qex_open, destroyed by qex_close.
typedef struct QexArchive {
  FILE* fp;
  QexEntry* table[256];
} QexArchive;

// Channel, version and application of an archive. When a reader fills it,
// the strings are fresh heap copies that the caller frees
// (qex_free_product_info).
typedef struct ProductInfo {
  char* channel_id;       // at most 63 bytes
  char* product_version;  // at most 31 bytes
  // The application id block (identifier 2); null: the archive names no
  // application. See qex_app_id_is_valid.
  char* app_id;
} ProductInfo;

// State of one archive creation: the index records built so far, in file form.
typedef struct QexIndexBuilder {
  unsigned char* index;  // owned, grows in steps of 4096 bytes
  uint32_t used;
  uint32_t capacity;
  uint32_t next_offset;  // absolute offset of the next entry's bytes
} QexIndexBuilder;

// Return non-zero to stop the walk.
typedef int (*QexEntryCallback)(QexArchive* archive, QexEntry* entry, void* closure);

// ---- Reading ----

// Opens and indexes the archive at `path`; null on failure. Only a file that
// cannot be opened is reported (on standard error). A wrong magic, an index
// that does not fit in the file or does not parse to its end, a short read or
// exhausted memory give null silently and leave nothing allocated.
QexArchive* qex_open(const char* path);
// The same for the archive open on the descriptor `fd`, which stays the
// caller's: the archive reads the same file through a descriptor of its own
// (opened through /proc/self/fd, with a position of its own; else a duplicate
// sharing the position). Null, silently, when there is none or the index
// does not read.
QexArchive* qex_open_fd(int fd);
// Closes the stream and frees every entry and the archive. Accepts null.
void qex_close(QexArchive* archive);
// The entry named exactly `name` (the first in index order), or null. Null
// when `archive` is null.
QexEntry* qex_find_entry(QexArchive* archive, const char* name);
// Calls `callback` for every entry, bucket 0 to 255, each chain in index
// order. Returns the first non-zero callback result, or 0.
int qex_for_each_entry(QexArchive* archive, QexEntryCallback callback, void* closure);
// Reads up to `buffer_size` (> 0) stored bytes of `entry` from `position`
// (counted from the entry's start). Returns the count read, which is less at
// the end of the file; 0 when `position` is the entry's length; -1 when it is
// beyond, when `buffer_size` is not positive, or when the seek fails.
int qex_read_entry(QexArchive* archive, const QexEntry* entry, uint32_t position, void* buffer,
                   int buffer_size);

// The number of the bucket that holds `name` (0 to 255).
unsigned qex_bucket_of(const char* name);

// Signature and additional-block information of the archive in `stream`. All
// outputs are optional, but at least one of the two flags must be given. An
// archive in the short layout reports no signatures and no additional blocks.
// On success with `additional_block_count` given, the stream stands at the
// first additional block. 0, or -1 on a short read, failed seek or more than
// 8 signatures (checked when `has_additional_blocks` is given).
int get_qex_stream_info(FILE* stream, int* has_signature_area, uint32_t* signature_count,
                        int* has_additional_blocks, uint32_t* additional_blocks_offset,
                        uint32_t* additional_block_count);
// The same for the archive at `path`; -1 (with a message) when it cannot be
// opened.
int get_qex_file_info(const char* path, int* has_signature_area, uint32_t* signature_count,
                      int* has_additional_blocks, uint32_t* additional_blocks_offset,
                      uint32_t* additional_block_count);
// Fills `info` from the product information block (identifier 1) and the
// application id block (identifier 2, optional). 0, or -1 when there is no
// product information block, when it is malformed (payload over 96 bytes,
// channel over 63 or version over 31 bytes), or when an application id block
// is not of the 136-byte form or holds no valid id; `info` then holds no
// strings.
int qex_read_product_info(QexArchive* archive, ProductInfo* info);
// The same for the archive at `path`, without reading its index.
int read_product_info_block(const char* path, ProductInfo* info);
// The same for the archive open on `fd` (left open; its position moves).
int read_product_info_block_fd(int fd, ProductInfo* info);
// 1 when `id` can name an application: 1 to 127 bytes of ASCII letters,
// digits, '-', '_' and '.', beginning with a letter, with no two dots in a
// row and no dot at the end (reverse-DNS style, "org.example.app"); such an
// id is also a safe file name. Else 0; 0 for null.
int qex_app_id_is_valid(const char* id);
// Frees the strings and sets them to null. Accepts null fields.
void qex_free_product_info(ProductInfo* info);

// ---- Writing ----

// How qex_create_archive_ex stores each file's bytes.
enum QexStoreMode { QEX_STORE_RAW = 0, QEX_STORE_BZIP2 = 1 };

// One file to store: its entry name and the path to read it from.
typedef struct QexSource {
  const char* name;
  const char* path;
} QexSource;

// Writes a 104-byte product information block at the stream's position and,
// given a builder, advances its next content offset. 0, or -1 when an argument
// is missing, a string is too long (nothing is written then) or a write fails.
// The application id is not written here: archive creation adds its block
// after this one when info->app_id is given.
int qex_write_product_info(FILE* stream, QexIndexBuilder* builder, const ProductInfo* info);
// Appends the whole file at `path` to `stream`. 0, or -1 when it cannot be
// opened or read (with a message) or a write fails.
int qex_concat_file(FILE* stream, const char* path);
// Appends the file at `path` to `stream` as one bzip2 stream (block size 9);
// stores the number of bytes written in `stored_length`. 0 or -1 as above,
// and -1 when the compressed size does not fit in 32 bits.
int qex_concat_file_bzip2(FILE* stream, const char* path, uint32_t* stored_length);
// Creates an archive of `file_count` files, each stored unchanged under its
// path as given, with the application id block when info->app_id is given
// (-1 for an invalid id). 0, or -1; after a failure no destination file is left,
// except when it could not be created at all.
int qex_create_archive(const char* dest_path, int file_count, const char* const* file_paths,
                       const ProductInfo* info);
// The same with entry names separate from source paths, each file stored as
// `store_mode` says. Entries get the file's permission bits. Sources with
// identical contents (the same length and SHA-256) are stored once, at the
// first one's place: their records share its offset and length.
int qex_create_archive_ex(const char* dest_path, int source_count, const QexSource* sources,
                          const ProductInfo* info, int store_mode);
// Replaces the product information block of the unsigned archive at `path`
// in place, and its application id block when info->app_id is given (else
// that block stays as it is). Refuses (-1, file unchanged) a file that is not
// a QEX archive, a signed archive, one without the block (or, for an id,
// without an application id block: adding one moves the contents, so the
// archive is made anew), an invalid id, and one whose block is not of its
// fixed size or does not lie before the entry contents.
int qex_refresh_product_info(const char* path, const ProductInfo* info);

// ---- Extraction of stored bytes ----

// 1 when `name` is relative and has no ".." component, so that it stays below
// the directory it is extracted into; else 0.
int qex_entry_name_is_safe(const char* name);
// Refuses (-1, with a message naming the entry) a name that is absolute or has
// a ".." component; otherwise creates the directories the name implies below
// the current directory (mode 0755, existing ones are fine) and returns 0.
int qex_prepare_entry_path(const char* name);
// Writes every entry's stored bytes, unchanged, to a file of its name below the
// current directory (bucket order). 0, -1 when the archive does not open, or
// the first failing callback result (entries after it are not written).
int qex_extract_all(const char* path);
// Writes one entry's stored bytes to a file of its name, with the entry's
// permission bits (less the umask). 0, or -1 for an unsafe name (nothing is
// written), a file that cannot be created, or a failed read or write.
int qex_test_callback(QexArchive* archive, QexEntry* entry, void* closure);

// ---- Versions ----

// One segment of a dotted version string, parsed in place.
typedef struct VersionSegment {
  int32_t number;       // leading decimal number; 0 when none
  const char* text;     // letters after the number, or null
  int32_t text_length;  // bytes of `text` that count: up to a digit, "+" or "-"
  int32_t subnumber;    // decimal number after the letters; 0 when none
  const char* suffix;   // whatever follows it, or null
} VersionSegment;

// Parses the segment at the start of the writable string `segment` (cutting it
// at its first dot) into `result`. Returns the rest after the dot, or null when
// there is none. Null `segment` gives an all-zero result and null.
char* parse_version_segment(char* segment, VersionSegment* result);
// Negative, 0 or positive as `a` is older than, equal to or newer than `b`;
// -1, 0 or 1 unless the suffixes decide (then strcmp's result). 1 when memory
// for the private copies runs out. Both must be given.
int compare_versions(const char* a, const char* b);

// ---- Signatures ----
//
// A signature record covers every byte of the archive but the signature bytes
// themselves: the header with the signature count, each record's algorithm
// and length, and everything after the last record to the end of the file
// (doc/qex_format.md). Keys are PEM files as `openssl genpkey -algorithm
// ed25519` and `openssl pkey -pubout` write them.

// The one algorithm identifier written and checked: Ed25519 over the SHA-512
// digest of the covered bytes; its signatures are 64 bytes.
enum { QEX_SIGNATURE_ED25519 = 3, QEX_ED25519_SIGNATURE_SIZE = 64 };

// Ed25519 keys, public or private; opaque.
typedef struct QexKeySet QexKeySet;

// Every Ed25519 public key in the PEM file at `path` (one or more blocks);
// blocks of other kinds or algorithms are skipped. Null when the file cannot
// be opened or read (errno tells why) or memory runs out; a set of 0 keys
// when none is usable.
// The file is opened without blocking, and only a regular file is read (else
// null with errno EISDIR for a directory, EINVAL for anything else).
QexKeySet* qex_read_public_keys(const char* path);
// The same from the file open at `fd`, read from its start; the descriptor
// stays the caller's, for a caller that checked what it opened.
QexKeySet* qex_read_public_keys_fd(int fd);
// The Ed25519 private keys in the PEM files `paths[0..count)`, one per file.
// Null, with a message naming the file, when one cannot be read or holds no
// Ed25519 private key.
QexKeySet* qex_read_private_keys(int count, const char* const* paths);
int qex_key_count(const QexKeySet* keys);
// Writes the public halves of `keys` (public or private) to a new file at
// `path`, one PEM block each, as qex_read_public_keys reads them. The file
// gets mode 0644 whatever the umask: writable by its owner alone, as the
// updater requires of its keys file. 0, or -1 with errno (EEXIST when
// something is at `path`; EIO when a key cannot be encoded), the file then
// removed.
int qex_write_public_keys(const QexKeySet* keys, const char* path);
// Accepts null.
void qex_free_keys(QexKeySet* keys);

// Replaces the signatures of the archive at `path` with one by each of the
// private `keys` (at most 8; none leaves it unsigned), shifting the contents
// and the index offsets by the size change. The file is rewritten beside
// itself and renamed into place, keeping its mode. 0, or -1 with a message
// (the archive unchanged) for a file that is not a valid archive in the full
// layout, that has bytes after its index, or that would outgrow 32-bit offsets.
int qex_sign_archive(const char* path, const QexKeySet* keys);

// What one signature record holds and which key verified it.
typedef struct QexSignatureCheck {
  uint32_t algorithm;
  uint32_t length;
  int key;  // index of the first key in the set that verifies it; -1 for none
} QexSignatureCheck;

// Results of qex_verify_archive.
enum QexVerifyResult {
  QEX_VERIFIED = 0,      // at least one signature verifies with one of the keys
  QEX_UNSIGNED = 1,      // no signature records (or the short layout)
  QEX_NOT_VERIFIED = 2,  // signatures, none of them by one of the keys
  QEX_MALFORMED = 3,     // the signature area does not fit the file, or over 8 records
  QEX_UNREADABLE = 4     // the file cannot be opened or read (errno tells why)
};
// Checks every signature of the archive at `path` against `keys` (null: no
// key, nothing verifies), reading it once from start to end in bounded
// memory. When `checks` is given it receives one record per signature (up to
// 8) and `*check_count` their number.
int qex_verify_archive(const char* path, const QexKeySet* keys, QexSignatureCheck* checks,
                       uint32_t* check_count);
// The same for the archive open for reading on `fd`, read with positioned
// reads (its position stays) and left open: the bytes verified are those
// that later reads of the same descriptor see, as long as nobody can write
// the file.
int qex_verify_archive_fd(int fd, const QexKeySet* keys, QexSignatureCheck* checks,
                          uint32_t* check_count);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // UPDATER_ARCHIVE_QEX_H_
