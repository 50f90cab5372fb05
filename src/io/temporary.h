// Temporary files and folders that say whose they are. Each is named
// <target>.kinovar-<pid>-<12 hex digits>.tmp beside the file it becomes (a
// scratch folder: kinovar-<pid>-<hex>.tmp), and its process holds a lock on
// it while it lives: a later run can then tell the ones a killed process left
// behind (removed) from the ones a live process is writing (kept). This
// process's own are listed, so that an interruption can remove them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kinovar {

// A new name for a temporary file of this process beside `target`.
std::string temporaryPath(const std::string& target);
// A new name for a scratch folder of this process inside `folder`.
std::string temporaryFolderPath(const std::string& folder);
// Whether a file name (without its folder) is one of our temporary names;
// the pid of the process that made it.
bool isTemporaryName(std::string_view name, uint64_t* pid = nullptr);

// Lists a temporary file or folder of this process until it is released.
// POSIX: `fd` (or, when -1, a descriptor opened here) is locked and kept
// open until then, so that the lock outlives the writer's own descriptor.
// False when the name cannot be held: the process is being interrupted.
bool holdTemporary(const std::string& path, int fd = -1);
// The temporary is gone or has taken its target's name: no longer listed.
void releaseTemporary(const std::string& path);
// Runs `rename` (the temporary taking its target's name) unless the
// process is being interrupted, and releases the temporary; false without
// running it when interrupted. An interruption waits for a rename under way.
bool renameTemporary(const std::string& path, const std::function<bool()>& rename);

// An interruption: every temporary this process holds is removed (folders
// with what they hold, and any folder noted as made for outputs that is
// left empty), and none is held or renamed after this. Returns what was
// removed; call it from the thread that handles the interruption.
struct Abandoned {
  std::vector<std::string> files;    // temporary files and folders removed
  std::vector<std::string> folders;  // output folders made by this run, removed as empty
  std::vector<std::string> targets;  // the outputs whose unfinished files were removed, once each
};
Abandoned abandonTemporaries();
// The first step of an interruption: no temporary is held or renamed after
// this, and conversions stop at their next piece (interrupted() is true),
// removing their own temporaries; abandonTemporaries then removes what is
// left and names every output that was under way here.
void stopConversions();
bool interrupted();
// A folder this process made for outputs: removed at an interruption if it
// is then empty.
void noteMadeFolder(const std::string& folder);

// Closes the descriptor on a thread of its own, off the caller's path: the
// last close of a replaced file releases its space, which takes time for a
// large one. The process waits for those left when it exits.
void closeLater(int fd);

// Removes from `folder` the temporary files and folders of ours whose
// process is gone; never one a live process holds, never any other file.
// How many were removed. A folder is looked at again only minutes later.
size_t removeStaleTemporaries(const std::string& folder);

// Creates a scratch folder of ours inside `folder` (the system's temporary
// folder when empty), held until discarded: the path, or empty with the
// system's error number in `errnum`.
std::string makeTemporaryFolder(const std::string& folder, int& errnum);

// Removes a temporary file or folder of this process and stops holding it.
void discardTemporary(const std::string& path);

}  // namespace kinovar
