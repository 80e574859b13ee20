// Status codes of the file-access library, shared by both formats.
//
// Every operation of CKel64File returns 0 or a positive count, value or time
// on success and one of these negative codes on failure. The older format's
// own codes are translated to these by its adapter.
#pragma once

namespace vslk64 {

enum : int {
  kOk = 0,
  kErrNoFile = -1,          // nothing open, cannot open, or a general failure
  kErrNoBlock = -2,         // no data or index block could be allocated
  // One value, a meaning per format (callers and stored conventions know it
  // by its number): the newer format answers it when a file is already open
  // in the object; the older one passes its own -5 through unchanged (the
  // blocks' successor links are incomplete, or a cut or flush failed).
  kErrAlreadyOpen = -5,
  kErrNoMemory = -8,
  kErrNoChannel = -9,       // channel number out of range or slot unused
  kErrChannelUsed = -10,    // channel in use; older format: file already open
  kErrWrongKind = -11,      // the kind does not allow it; unknown action or kind
  kErrOutOfRange = -12,     // time or file position the format cannot hold
  kErrBadHeader = -13,
  kErrExtraRange = -14,     // extra-data range outside the area
  kErrRead = -17,
  kErrWrite = -18,
  kErrCorrupt = -19,
  kErrNegativePos = -20,
  kErrReadOnly = -21,
  kErrBadArg = -22,
  kErrTimeOrder = -23,      // write not after the channel's last stored time
  kErrTooLong = -24,        // file longer than its header accounts for
};

}  // namespace vslk64
