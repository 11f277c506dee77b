/* The library's interface from plain C: create, open, read, product
 * information, refresh and versions. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "archive/qex.h"

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                      \
  do {                                                                   \
    ++checks;                                                            \
    if (!(cond)) {                                                       \
      ++failures;                                                        \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                    \
  } while (0)

static int write_file(const char* path, const char* text) {
  FILE* f = fopen(path, "wb");
  if (!f) return -1;
  fputs(text, f);
  return fclose(f);
}

int main(void) {
  char dir[] = "/tmp/qex_c_test.XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) {
    perror("qex_c_test");
    return 1;
  }
  CHECK(write_file("manifest", "add \"lib\"\n") == 0);
  CHECK(write_file("lib", "library bytes") == 0);

  char channel[] = "release";
  char version[] = "3.1";
  ProductInfo info = {channel, version};
  const char* files[] = {"manifest", "lib"};
  CHECK(qex_create_archive("c.qex", 2, files, &info) == 0);

  QexArchive* archive = qex_open("c.qex");
  CHECK(archive != NULL);
  if (archive) {
    QexEntry* entry = qex_find_entry(archive, "lib");
    CHECK(entry != NULL);
    if (entry) {
      char buf[64] = {0};
      CHECK(qex_read_entry(archive, entry, 0, buf, (int)sizeof(buf)) == 13);
      CHECK(strcmp(buf, "library bytes") == 0);
      CHECK(qex_read_entry(archive, entry, 8, buf, 3) == 3);
      CHECK(memcmp(buf, "byt", 3) == 0);
    }
    CHECK(qex_find_entry(archive, "missing") == NULL);
    ProductInfo read = {NULL, NULL};
    CHECK(qex_read_product_info(archive, &read) == 0);
    CHECK(read.channel_id && strcmp(read.channel_id, "release") == 0);
    CHECK(read.product_version && strcmp(read.product_version, "3.1") == 0);
    qex_free_product_info(&read);
    qex_close(archive);
  }

  char beta[] = "beta";
  ProductInfo next = {beta, version};
  CHECK(qex_refresh_product_info("c.qex", &next) == 0);
  ProductInfo read = {NULL, NULL};
  CHECK(read_product_info_block("c.qex", &read) == 0);
  CHECK(read.channel_id && strcmp(read.channel_id, "beta") == 0);
  free(read.channel_id);
  free(read.product_version);

  CHECK(compare_versions("1.0b1", "1.0") < 0);
  CHECK(compare_versions("1.0", "1.0.0") == 0);

  remove("c.qex");
  remove("manifest");
  remove("lib");
  if (chdir("/") != 0 || rmdir(dir) != 0) perror(dir);
  printf("%d passed, %d failed\n", checks - failures, failures);
  return failures ? 1 : 0;
}
