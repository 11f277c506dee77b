#include "driver/updater_main.h"

// A packaged build names its configuration directory; an embedded one reads
// the files beside the program.
#ifdef UPDATER_SYSTEM_CONFIG_DIR
static constexpr const char* kSystemConfigDir = UPDATER_SYSTEM_CONFIG_DIR;
#else
static constexpr const char* kSystemConfigDir = nullptr;
#endif

int main(int argc, char** argv) { return UpdaterMain(argc, argv, kSystemConfigDir); }
