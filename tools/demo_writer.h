// Writes a recording_test::Recording (tests/builder/recording.h) through the
// file-access library's own writing interface (CKel64File), as a 64-bit
// format file or, given a file object of the other format, as an ORF file: the file's time base, comments, date and application id,
// then each channel's kind, texts, sampling, scaling and display range and
// its data, in time order. nsinfo writes its built-in demo with it, and the
// Neuroshare tests compare what it writes with the tests' byte builder.
#pragma once

#include <string>

#include "filelib/kel64_file.h"
#include "tests/builder/recording.h"

namespace nsinfo {

// Writes rec through `file` (a file object of either format with nothing
// open); the result as for WriteDemoWithLibrary.
bool WriteRecording(const recording_test::Recording& rec, const std::string& path,
                    vslk64::CKel64File& file);

// True when every part of rec was stored and the file committed and closed.
// False when the file cannot be created or the library refuses a part of rec
// (a slot or kind out of range, items out of time order, a shape the format
// cannot hold); the partly written file is left in place.
bool WriteDemoWithLibrary(const recording_test::Recording& rec, const std::string& path);

}  // namespace nsinfo
