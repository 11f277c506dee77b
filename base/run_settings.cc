#include "base/run_settings.h"

char updateDir[kMaxPath];
char applyToDir[kMaxPath];
bool isStagedUpdate = false;
bool isReplaceRequest = false;
bool isOsUpdate = false;
bool runSucceeded = false;
std::atomic<bool> stopRequested{false};
