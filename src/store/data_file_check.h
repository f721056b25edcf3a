// Checks of a shard's data file for damage that LMDB would not report but act on: an empty file
// it would start anew (hiding what the shard held), and a file cut short whose missing pages it
// would map and touch (the process dies of SIGBUS on the first read that reaches one).
#pragma once

#include <lmdb.h>

#include <string>

#include "base/status.h"

namespace zanth {

// Before the environment in `dir` is opened: a data.mdb that exists with 0 bytes is refused. A
// file another process is creating at this moment is 0 bytes only until its first two pages are
// written, so a 0-byte file is looked at again for up to about a second before it is refused.
// Errors: kIo naming the file (empty); kIo with the errno of a failed stat.
Status CheckDataFileNotEmpty(const std::string& dir);

// After `env` (the environment in `dir`) is opened, before any record is read: every page the
// newest snapshot may read lies inside the file. A file shorter than the snapshot's last page
// is still sound when every page past its end is free, as LMDB leaves pages that a transaction
// took and released again unwritten; only then is the free list read, with pread (never through
// the map, which would fault on pages past the end). Holds a read-only transaction meanwhile.
// Errors: kIo naming the file (truncated, or its free list unreadable); kLmdb (the read-only
// transaction could not begin).
Status CheckDataFileCoversPages(MDB_env* env, const std::string& dir);

}  // namespace zanth
