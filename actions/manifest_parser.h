// The manifest's line syntax: one table of keywords, the "type" line and
// rmrfdir; the precomplete file is read by the same line loop.
#ifndef UPDATER_ACTIONS_MANIFEST_PARSER_H_
#define UPDATER_ACTIONS_MANIFEST_PARSER_H_

#include <memory>

#include "actions/action.h"

// The texts whose lines become actions. A precomplete file knows only the
// removal keywords (and ignores remove-cc lines), has no "type" line and no
// rmrfdir.
enum class ManifestSource { kManifest, kPrecomplete };

// A new, unparsed action for `keyword`, or null when `source` has no such
// keyword.
std::unique_ptr<Action> NewAction(const char* keyword, ManifestSource source);

// Turns `text` into actions appended to `list`, line by line; lines starting
// with '#' are comments. Returns 0, or the code of the first failing line (5
// for syntax, a path breaking the rules, or an rmrfdir naming the installation
// itself; or the code of the precomplete file or the rmrfdir expansion).
// The actions point into `text`, which must outlive the list.
int ParseActionLines(char* text, ManifestSource source, ActionList* list);

// The update's manifest: ParseActionLines for ManifestSource::kManifest,
// with every rmdir of a directory that an adddir line makes skipped,
// then 5 when two actions would each move a file of one path to a backup
// (the second one moving what the first installed), as the installation stands and with
// the conditions as they hold now (which is what the prepare phase sees): for
// instance two adds, or an add and a removal, of an existing file. A removal followed by an add,
// and an add of a new file followed by a patch of it, are accepted.
int ParseManifest(char* text, ActionList* list);

#endif  // UPDATER_ACTIONS_MANIFEST_PARSER_H_
