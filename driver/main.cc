#include "driver/updater_main.h"

int main(int argc, char** argv) { return UpdaterMain(argc, argv); }
