#include "base/status.h"

#include <lmdb.h>

#include <cstring>

namespace zanth {

std::string Status::ToString() const {
  switch (code_) {
    case StatusCode::kOk:
      return "OK";
    case StatusCode::kLmdb:
      return std::string("LMDB: ") + mdb_strerror(error_number_);
    case StatusCode::kIo: {
      // An error made by us rather than the OS (a NUL in a path) carries only its description.
      if (error_number_ == 0) return "IO: " + message_;
      char buf[256];
      // GNU strerror_r may return a static string instead of filling buf.
      const char* text = strerror_r(error_number_, buf, sizeof buf);
      return std::string("IO: ") + text + " (os error " + std::to_string(error_number_) + ")";
    }
    default:
      return message_;
  }
}

std::string LmdbErrorName(int rc) {
  static const char* const kNames[] = {
      "KeyExist",     "NotFound",   "PageNotFound", "Corrupted",  "Panic",
      "VersionMismatch", "Invalid", "MapFull",      "DbsFull",    "ReadersFull",
      "TlsFull",      "TxnFull",    "CursorFull",   "PageFull",   "MapResized",
      "Incompatible", "BadRslot",   "BadTxn",       "BadValSize", "BadDbi"};
  if (rc >= MDB_KEYEXIST && rc <= MDB_BAD_DBI) return kNames[rc - MDB_KEYEXIST];
  return "Other(" + std::to_string(rc) + ")";
}

}  // namespace zanth
