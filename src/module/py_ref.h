// Small RAII helpers for the CPython limited API: an owned reference, a scoped GIL release and a
// buffer view that releases its Py_buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <utility>

namespace zanth::py {

// True while this thread has given the GIL away in WithoutGil. It stays true when taking the
// GIL back never returns: a daemon thread that does so during interpreter shutdown is ended by
// CPython with pthread_exit, whose forced unwind then runs our destructors without the GIL, and
// they must not touch Python objects (a leak at exit is harmless, a DECREF there is not).
inline thread_local bool t_gil_given_away = false;

// Owns one strong reference (or none).
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* obj) : obj_(obj) {}  // steals
  ~OwnedRef() {
    if (!t_gil_given_away) Py_XDECREF(obj_);
  }
  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;

  static OwnedRef Borrowed(PyObject* obj) {
    Py_XINCREF(obj);
    return OwnedRef(obj);
  }
  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Runs `fn` (a core call: no Python object may be touched in it) without the GIL and returns
// its result. The GIL is taken back in ordinary code, never in a destructor: during shutdown
// CPython may end a daemon thread right there with pthread_exit, and a forced unwind that
// leaves a noexcept destructor calls std::terminate.
template <typename Fn>
auto WithoutGil(Fn&& fn) -> decltype(fn()) {
  PyThreadState* state = PyEval_SaveThread();
  t_gil_given_away = true;
  auto take_back = [state] {
    PyEval_RestoreThread(state);
    t_gil_given_away = false;
  };
  std::optional<decltype(fn())> result;
  try {
    result.emplace(fn());
  } catch (...) {
    take_back();
    throw;
  }
  // Outside the try block: the forced unwind of a thread ended here must not meet the handler.
  take_back();
  return std::move(*result);
}

// A Py_buffer that is released with its owner.
class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_ && !t_gil_given_away) PyBuffer_Release(&view_);
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;

  // Returns false with a Python exception set when `obj` exports no such buffer.
  bool Acquire(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const { return view_; }
  bool held() const { return held_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace zanth::py
