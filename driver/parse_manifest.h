// The manifest's line syntax: keywords, the "type" line and rmrfdir.
#ifndef UPDATER_DRIVER_PARSE_MANIFEST_H_
#define UPDATER_DRIVER_PARSE_MANIFEST_H_

#include "actions/action.h"

// Turns the manifest text into actions appended to `list`, line by line.
// Returns 0, or the code of the first failing line (5 for syntax, or the code
// of the precomplete file or the rmrfdir expansion). The actions point into
// `text`, which must outlive the list.
int ParseManifest(char* text, ActionList* list);

#endif  // UPDATER_DRIVER_PARSE_MANIFEST_H_
