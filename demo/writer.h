// Writes a demo::Recording (demo/recording.h) through the file-access
// library's own writing interface (CKel64File), as a 64-bit format file or,
// given a file object of the other format, as an ORF file: the file's time
// base, comments, date and application id, then each channel's kind, texts,
// sampling, scaling and display range and its data, in time order. nsinfo
// writes its built-in demo with it, the benchmarks their input files, and the
// tests compare what it writes with their byte builders' files.
#pragma once

#include <string>

#include "demo/recording.h"
#include "filelib/kel64_file.h"

namespace demo {

// Writes rec through `file` (a file object of either format with nothing
// open); the result as for the 64-bit format below.
bool WriteRecording(const Recording& rec, const std::string& path,
                    vslk64::CKel64File& file);

// True when every part of rec was stored and the file committed and closed.
// False when the file cannot be created or the library refuses a part of rec
// (a slot or kind out of range, items out of time order, a shape the format
// cannot hold); the partly written file is left in place.
bool WriteRecording(const Recording& rec, const std::string& path);

}  // namespace demo
