// Small RAII helpers for the CPython limited API: an owned reference, a scoped GIL release and a
// buffer view that releases its Py_buffer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zanth::py {

// Owns one strong reference (or none).
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* obj) : obj_(obj) {}  // steals
  ~OwnedRef() { Py_XDECREF(obj_); }
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

// Releases the GIL for its scope. Nothing inside may touch a Python object.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// A Py_buffer that is released with its owner.
class BufferView {
 public:
  BufferView() = default;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
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
