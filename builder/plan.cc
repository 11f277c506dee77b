#include "builder/plan.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "builder/files.h"

namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// `rmdir` lines for `dirs`, deepest first (the order among equals kept).
std::string RmdirLines(std::vector<std::string> dirs) {
  std::stable_sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
  });
  std::string text;
  for (const std::string& dir : dirs) text += "rmdir " + Quoted(dir + "/") + "\n";
  return text;
}

}  // namespace

std::string PrecompleteText(const TreeListing& listing) {
  std::string text;
  std::vector<std::string> dirs;
  for (const auto& [path, entry] : listing) {
    if (entry.kind != TreeEntry::kDirectory) {
      text += "remove " + Quoted(path) + "\n";
    } else {
      dirs.push_back(path);
    }
  }
  return text + RmdirLines(dirs);
}

bool AddPrecomplete(const std::string& work, TreeListing* new_tree, std::string* error) {
  TreeEntry precomplete;
  precomplete.kind = TreeEntry::kFile;
  precomplete.mode = 0644;
  precomplete.source = work + "/precomplete.txt";
  TreeListing listed = *new_tree;
  listed[kPrecompleteName] = precomplete;
  std::string text = PrecompleteText(listed);
  precomplete.size = text.size();
  if (!WriteTextFile(precomplete.source, text, error)) return false;
  (*new_tree)[kPrecompleteName] = precomplete;
  return true;
}

bool AddVersionRecord(const std::string& work, const std::string& version,
                      const std::string& app_id, TreeListing* new_tree, std::string* error) {
  TreeEntry record;
  record.kind = TreeEntry::kFile;
  record.mode = 0644;
  record.source = work + "/" + kInstalledVersionFile + ".txt";
  const std::string text = version + "\n" + (app_id.empty() ? "" : app_id + "\n");
  record.size = text.size();
  if (!WriteTextFile(record.source, text, error)) return false;
  (*new_tree)[kInstalledVersionFile] = record;
  return true;
}

std::vector<FileJob> PlanFileJobs(const TreeListing& old_tree, const TreeListing& new_tree) {
  std::vector<FileJob> jobs;
  for (const auto& [path, entry] : new_tree) {
    if (entry.kind != TreeEntry::kFile) continue;
    FileJob job;
    job.path = path;
    job.new_entry = &entry;
    auto was = old_tree.find(path);
    if (was != old_tree.end() && was->second.kind == TreeEntry::kFile) {
      job.type = FileJob::kCompare;
      job.old_entry = &was->second;
    }
    jobs.push_back(job);
  }
  return jobs;
}

UpdatePlan PlanUpdate(const std::vector<FileJob>& jobs, const TreeListing& old_tree,
                      const TreeListing& new_tree, bool full, bool copy_links) {
  UpdatePlan plan;
  std::set<std::string> names = {kManifestEntry};
  for (const FileJob& job : jobs) {
    if (job.outcome == FileJob::kStoreFile) names.insert(job.path);
  }
  std::string removes, changes;
  std::set<std::string> staged;  // a payload that two entries share is stored once
  for (const FileJob& job : jobs) {
    if ((job.new_entry->mode & 07000) != 0) {
      plan.notes.push_back(job.path +
                           " loses its set-id and sticky bits (the archive stores 0777)");
    }
    if (!job.note.empty()) plan.notes.push_back(job.path + " stored whole (" + job.note + ")");
    if (job.outcome == FileJob::kUnchanged) {
      plan.unchanged++;
      continue;
    }
    if (staged.insert(job.staged).second) plan.stored += job.stored;
    if (job.outcome == FileJob::kStoreFile) {
      changes += "add " + Quoted(job.path) + "\n";
      plan.entries.emplace_back(job.path, job.staged);
      plan.added++;
      continue;
    }
    // Patch entries live beside the files; pick a name no file entry uses.
    std::string name = job.path + ".patch";
    for (int n = 1; names.count(name) != 0; n++) name = job.path + ".patch." + std::to_string(n);
    names.insert(name);
    changes += "patch " + Quoted(name) + " " + Quoted(job.path) + "\n";
    plan.entries.emplace_back(name, job.staged);
    plan.patched++;
  }
  std::vector<std::string> gone_dirs;
  for (const auto& [path, entry] : old_tree) {
    auto now = new_tree.find(path);
    const bool gone = now == new_tree.end();
    // A file or link replaced by a file or link goes with the line that
    // replaces it; only a directory needs the name free first.
    if (entry.kind != TreeEntry::kDirectory &&
        (gone || now->second.kind == TreeEntry::kDirectory)) {
      removes += "remove " + Quoted(path) + "\n";
      plan.removed++;
    } else if (entry.kind == TreeEntry::kDirectory && gone) {
      gone_dirs.push_back(path);
    }
  }
  // New directories that the adds would not make, or not with their mode,
  // parents first; new links and changed ones.
  std::string dirs, links;
  for (const auto& [path, entry] : new_tree) {
    auto was = old_tree.find(path);
    if (entry.kind == TreeEntry::kLink) {
      if (was != old_tree.end() && was->second.kind == TreeEntry::kLink &&
          was->second.link_text == entry.link_text) {
        plan.unchanged++;
        continue;
      }
      links += "addlink " + Quoted(path) + " " + Quoted(entry.link_text) + "\n";
      plan.links++;
    } else if (entry.kind == TreeEntry::kDirectory && !copy_links &&
               (was == old_tree.end() || was->second.kind != TreeEntry::kDirectory) &&
               (entry.mode != 0755 || IsEmptyDirectory(new_tree, path))) {
      char mode[8];
      snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(entry.mode));
      dirs += "adddir " + Quoted(path + "/") + " " + Quoted(mode) + "\n";
      plan.dirs_added++;
    }
  }
  plan.dirs_removed = gone_dirs.size();
  plan.manifest = std::string("type ") + Quoted(full ? "complete" : "partial") + "\n" + removes +
                  dirs + changes + links + RmdirLines(gone_dirs);
  return plan;
}

bool IsEmptyDirectory(const TreeListing& listing, const std::string& path) {
  // Entries below a directory sort between "dir/" and "dir0".
  return listing.lower_bound(path + "/") == listing.lower_bound(path + "0");
}
