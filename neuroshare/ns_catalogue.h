// Filling a TNsFile record from a newly opened file object: the file's
// comment, date, time base, application id and time span, and the catalogue
// of its entities with the chunk index of each. Called by ns_OpenFile between
// opening the file object and registering the record; callers hold the
// library lock (ns_call.h).
//
// The catalogue lists the used channels in channel order; each WaveMark
// channel is followed directly by one NeuralUnit entity per code value its
// items carry, in increasing code order. Every channel is read once, from
// start to end, a read's worth at a time into the scratch buffer
// (ns_read_cache.h), and only the chunk index is kept.
#pragma once

#include "neuroshare/ns_entity.h"
#include "neuroshare/ns_file.h"

namespace nsv {

// Fills record (whose file object is open) for the file at path. Returns 0 or
// a negative status; on failure the caller resets the record.
int FillFileRecord(const char* path, TNsFile& record);

// Appends an entity for every used channel, and the NeuralUnit entities of
// each WaveMark channel, scanning each. Returns 0, or ns_FILEERROR when a
// channel cannot be read (a NeuralUnit entity's failure keeps what it found
// and does not count).
int BuildEntities(TNsFile& record);

// Builds the chunk index and item count of one entity. Returns 0, or
// ns_FILEERROR when a read fails or gives an answer no file can hold; the
// entity then keeps the chunks found before the failure.
int ScanEntity(TNsFile& record, TNsEntity& entity);

}  // namespace nsv
