// Copying a recording from one open file to a new one through CKel64File
// alone, whatever the two formats: file properties, then every channel with
// its kind, shape, texts, scaling and display range, then its items or
// samples in time order. nsconvert (nsconvert.cc) is its command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "filelib/kel64_file.h"

namespace nsconvert {

// Told the bytes copied so far and the total to copy.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Creates outPath through `out` (nothing open) and copies everything `in`
// (open) holds into it, then commits and closes it. False with *error set
// when a part cannot be read, cannot be created or cannot be held by the
// output format (a slot beyond its channel count, a time it cannot hold);
// the output file is then closed but left for the caller to remove.
bool CopyRecording(vslk64::CKel64File& in, vslk64::CKel64File& out, const std::string& outPath,
                   const Progress& progress, std::string* error);

}  // namespace nsconvert
