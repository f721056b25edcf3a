// Failures of the core are values: a Status says what went wrong and in which layer, so the
// module edge can pick the Python exception and the core never needs Python to report one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace zanth {

// Which LMDB step failed. The module decides from it (and the operation) which exception a
// caller sees: a transaction or cursor that cannot be opened is an internal failure for some
// operations, while a failed put or commit is always a routine storage failure.
enum class LmdbStep : std::uint8_t {
  kOther,       // environment set-up, or a step no policy singles out
  kBeginRead,   // mdb_txn_begin of a read-only transaction
  kBeginWrite,  // mdb_txn_begin of a write transaction
  kCursor,      // mdb_cursor_open, or a cursor step in the middle of a scan
  kWrite,       // mdb_put / mdb_del
  kCommit,      // mdb_txn_commit
  kStat,        // mdb_env_stat / mdb_env_info
};

enum class StatusCode : std::uint8_t {
  kOk,
  kLmdb,             // an LMDB return code (LMDB's own or an errno passed through LMDB)
  kIo,               // an operating-system error met outside LMDB, or a damaged data file
  kInvalidArgument,  // the caller's data contradicts what is stored or what is possible
  kWrongProcess,     // a handle opened before fork() used in the child
  kInternal,         // a step treated as infallible failed; the message says which
};

class [[nodiscard]] Status {
 public:
  Status() = default;

  static Status Ok() { return Status(); }
  // `context` names the shard and the operation; it is kept for diagnostics and never
  // replaces LMDB's own text in what the user sees.
  static Status Lmdb(int rc, std::string context) {
    return Status(StatusCode::kLmdb, rc, std::move(context));
  }
  static Status Lmdb(int rc, LmdbStep step, std::string context) {
    Status s(StatusCode::kLmdb, rc, std::move(context));
    s.step_ = step;
    return s;
  }
  // `err` 0: an I/O error found by the store's own checks rather than reported by a system call
  // (a NUL in a path, a damaged data file); `context` is then its whole text.
  static Status Io(int err, std::string context) {
    return Status(StatusCode::kIo, err, std::move(context));
  }
  static Status InvalidArgument(std::string message) {
    return Status(StatusCode::kInvalidArgument, 0, std::move(message));
  }
  static Status WrongProcess(std::string message) {
    return Status(StatusCode::kWrongProcess, 0, std::move(message));
  }
  static Status Internal(std::string message) {
    return Status(StatusCode::kInternal, 0, std::move(message));
  }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // LMDB return code for kLmdb, errno for kIo, 0 otherwise.
  int error_number() const { return error_number_; }
  const std::string& message() const { return message_; }
  LmdbStep step() const { return step_; }
  // The same failure with `prefix` (shard, operation) put before its message.
  Status WithContext(const std::string& prefix) const {
    Status s = *this;
    s.message_ = message_.empty() ? prefix : prefix + ": " + message_;
    return s;
  }

  // "LMDB: <mdb_strerror>" / "IO: <strerror> (os error N)" or "IO: <message>" without an
  // errno / the message itself.
  std::string ToString() const;

 private:
  Status(StatusCode code, int error_number, std::string message)
      : code_(code), error_number_(error_number), message_(std::move(message)) {}

  StatusCode code_ = StatusCode::kOk;
  int error_number_ = 0;
  LmdbStep step_ = LmdbStep::kOther;
  std::string message_;
};

// The short LMDB error names used in internal-failure messages ("MapFull", "Other(5)").
std::string LmdbErrorName(int rc);

// A value or the Status that explains why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : state_(std::move(status)) {}  // NOLINT

  bool ok() const { return std::holds_alternative<T>(state_); }
  const Status& status() const { return std::get<Status>(state_); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  T&& take() { return std::move(std::get<T>(state_)); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace zanth
