// Type directories this process made on an object store whose directories
// are only key prefixes. There, making one is a test that the bucket exists,
// a request per save; after the first save of a type, the saves of the next
// minute skip it. A bucket removed meanwhile then fails the save with the
// service's own error instead of being made again.
#pragma once

#include "frame/ref.hpp"

#include <string>

namespace css::remote {

// What made() records of a directory recently_made() said to make.
struct Memo {
    std::string key;
    Ref fs;
};

// Whether the universal-pathlib path `type_dir` was made by this process in
// the last minute, on a file system known to make nothing but the bucket
// (universal-pathlib's and the file system's own mkdir, unpatched). 1: skip
// making it; 0: make it, then call made(memo); -1: error set.
int recently_made(PyObject* type_dir, Memo& memo);
void made(Memo& memo);

}  // namespace css::remote
