// The window's copy of a model the plug-in loader holds: read straight from
// the loader's memory, or from the memory file the loader wrote. The loader
// runs whatever code a file smuggled into a plug-in, so nothing it says is
// believed: its counts must agree with each other, and the bytes they claim
// must be memory the loader really holds, before the window allocates any
// of it.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/loader_protocol.h"
#include "core/model.h"

// Both readers replace the arrays and the appearance of model (edgeCos
// stays) and succeed, or release them and fail when
//  - the counts cannot be a model's: more than 2^31 - 1 vertices or
//    polygons, more than 2^32 - 1 corners, or arrays of more than cap bytes
//    (the loader's address-space cap);
//  - the loader does not hold the bytes the counts claim: more than its
//    anonymous memory, resident or swapped, plus 1 MiB
//    (ReadLoaderModel), or a memory file whose size is not that of the
//    counts or whose pages are not all there (CopyLoaderModel: a file grown
//    with ftruncate costs its writer nothing);
//  - an array cannot be read whole;
//  - the polygon offsets are out of order (LoaderOffsetsInOrder);
//  - the appearance does not hold together (appearance_wire.h): counts past
//    its limits or out of step with the polygons and corners, a table its
//    records do not fill exactly, image sizes that do not add up, a
//    material number that names no material.
// So a forged reply costs the window at most what the loader holds, plus a
// constant: each array's room rounded up to whole huge pages, a staging
// buffer of 64 KiB per copying thread, and the appearance's records (at
// most a few MiB). A reply without appearance reads nothing more. (A
// loader that frees its memory after the check has still paid for it
// once.) Vertex indices stay unchecked, as a reader's are. The arrays are
// written once, not cleared first, and a big model is copied on two
// threads.

// From the memory of child (its kLoad reply: counts and array addresses).
// kForbidden when this process may not read that memory (ptrace rules, no
// process_vm_readv) or its size: the loader's memory file is the way then.
// kRefused for a reply that fails the checks above: asking the same loader
// again would only cost time.
enum class LoaderRead { kDone, kRefused, kForbidden };
LoaderRead ReadLoaderModel(pid_t child, const loader_protocol::Reply& reply, uint64_t cap,
                           PolygonModel& model);

// From memfd, laid out as kPublish leaves it: ModelHeader, then the arrays.
bool CopyLoaderModel(int memfd, uint64_t cap, PolygonModel& model);

// The offsets start at 0, never decrease and end at the index pool's size.
bool LoaderOffsetsInOrder(const PolygonModel& model);
