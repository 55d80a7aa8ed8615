// The regular files of a directory tree, each read through descriptors
// opened relative to their parents without following any link: a
// directory swapped for a link after the walk cannot lead a read elsewhere.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "streams.h"

namespace kel::tool {

struct TreeFile {
  std::string name;  // the path below the tree's top, components joined by '/'
  std::uint64_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

class Tree {
 public:
  // Opens the directory `given`. A link there is followed, once, since the
  // user named it: everything later starts from the directory it led to
  // then. Throws a Failure (kFileError) when `given` is not a directory.
  explicit Tree(const std::string& given);

  // Every regular file below the top, sorted by name. What is neither a
  // directory nor a regular file (a link, a FIFO, a device) is not entered
  // but appended to `left_out` by name. Throws a Failure (kFileError) when a
  // directory cannot be read, and (kRejected) at a directory whose files
  // would all have names longer than an entry name can be.
  std::vector<TreeFile> files(std::vector<std::string>& left_out) const;

  // Opens `file` for reading, relative to the top, following no link on
  // the way (not blocking on a FIFO swapped in). Throws a Failure
  // (kFileError) when it cannot be opened, or is no longer the regular file
  // the walk found.
  UniqueFd open(const TreeFile& file) const;

  // The path to show for `file`: the directory as given, then the name.
  std::string shown(const TreeFile& file) const;

 private:
  void walk(int directory, const std::string& prefix, std::vector<TreeFile>& found,
            std::vector<std::string>& others) const;

  std::string given_;
  UniqueFd top_;
};

}  // namespace kel::tool
