// The writer's temporary files: created, locked, named, published, and
// reclaimed when a killed preparation left one behind.
//
// A temporary file of the index "NAME_f32.bin" is called
// "NAME_f32.<16 hex digits>.tmp" whenever it has a name: from the start
// where the file system has no unnamed files, and between link and rename
// otherwise. Its writer holds an open-file-description write lock on it for
// as long as it lives, so a temporary that nobody holds a lock on belongs to
// a writer that died, and the next preparation of the same name removes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/status.h"

namespace lumvero::prepare {

// The file being written. Preferably an unnamed file (O_TMPFILE) in the
// output directory: nobody else can see it, and it vanishes with the process
// if the preparation is killed before it is linked. Where the file system has
// no unnamed files, a freshly named one created with O_EXCL. Either way two
// preparations of the same name never share a file, and the final name only
// ever gets a complete file, by one rename.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();  // unnamed again (unlinked) unless published; closed; unmapped

  // A new file in dir for final_path: unnamed where the file system allows
  // it and allow_unnamed is set, otherwise under a fresh temporary name.
  // Fails with the message text of a file that cannot be created.
  Status create(const std::string& dir, const std::string& final_path, bool allow_unnamed = true);

  // Gives an unnamed file its temporary name (a no-op for a named one).
  Status give_name(const std::string& final_path);

  // Gives the complete file the final name, replacing whatever had it.
  Status publish(const std::string& final_path);

  void unmap();
  int fd() const { return fd_; }
  const std::string& name() const { return named_; }  // empty while unnamed
  void set_mapping(void* p, std::size_t len) {
    map_ = p;
    map_len_ = len;
  }
  unsigned char* bytes() const { return static_cast<unsigned char*>(map_); }

 private:
  int fd_ = -1;
  std::string named_;
  bool published_ = false;
  void* map_ = nullptr;
  std::size_t map_len_ = 0;
};

// A fresh temporary name for final_path, in the same directory.
std::string unique_temp_path(const std::string& final_path);

// True when entry is a temporary name of the file called final_name.
bool is_temp_name_of(std::string_view entry, std::string_view final_name);

// Fails, before anything is written, when the temporary names of final_path
// are too long for the directory dir (a component over the file system's
// name limit, or a path over PATH_MAX), with the text creating one would
// give.
Status check_temp_name_length(const std::string& dir, const std::string& final_path);

// Removes the temporaries of final_path in dir that no live writer holds;
// best effort, silent. Returns how many it removed.
std::size_t reclaim_abandoned_temps(const std::string& dir, const std::string& final_path);

}  // namespace lumvero::prepare
