/* The library's interface from plain C: create, refresh, open, read, product
 * information and versions. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "archive/qex.h"

static int failures = 0;

#define CHECK(cond) \
  ((cond) ? (void)0 : (void)(++failures, fprintf(stderr, "line %d: %s\n", __LINE__, #cond)))

int main(void) {
  char dir[] = "/tmp/qex_c_test.XXXXXX", channel[] = "release", version[] = "3.1", beta[] = "beta";
  ProductInfo info = {channel, version, NULL}, next = {beta, version, NULL},
              read = {NULL, NULL, NULL};
  const char* files[] = {"lib"};
  char buf[64] = {0};
  FILE* f;
  QexArchive* archive;
  QexEntry* entry;
  if (!mkdtemp(dir) || chdir(dir) != 0 || !(f = fopen("lib", "wb"))) return 1;
  CHECK(fputs("library bytes", f) >= 0 && fclose(f) == 0);
  CHECK(qex_create_archive("c.qex", 1, files, &info) == 0);
  CHECK(qex_refresh_product_info("c.qex", &next) == 0);
  archive = qex_open("c.qex");
  entry = qex_find_entry(archive, "lib");
  CHECK(entry && qex_read_entry(archive, entry, 8, buf, (int)sizeof(buf)) == 5);
  CHECK(strcmp(buf, "bytes") == 0);
  CHECK(qex_read_product_info(archive, &read) == 0 && strcmp(read.channel_id, "beta") == 0);
  qex_free_product_info(&read);
  qex_close(archive);
  CHECK(compare_versions("1.0b1", "1.0") < 0);
  remove("c.qex");
  remove("lib");
  if (chdir("/") != 0 || rmdir(dir) != 0) perror(dir);
  printf("%d failed\n", failures);
  return failures ? 1 : 0;
}
