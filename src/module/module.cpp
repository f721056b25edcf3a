// The module entry: creates `zanth_vec` with its two classes, once per process.
#include "module/errors.h"
#include "module/methods.h"

namespace {

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "zanth_vec", "", 0, nullptr,
                       nullptr,                nullptr,     nullptr, nullptr};

bool AddClass(PyObject* module, const char* name, PyObject* type) {
  zanth::py::OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = zanth::py::OwnedRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  }
  zanth::py::OwnedRef text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, type) == 0;
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_zanth_vec(void) {
  // The classes and the pool are process-wide; a second module object (another
  // sub-interpreter, a forced re-initialisation) would share them unsafely.
  static bool initialised = false;
  if (initialised) {
    PyErr_SetString(PyExc_ImportError,
                    "zanth_vec can be initialised only once per process");
    return nullptr;
  }
  zanth::py::OwnedRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!zanth::py::CreateTypes()) return nullptr;
  if (!AddClass(module.get(), "ZanthVec", zanth::py::StoreType())) return nullptr;
  if (!AddClass(module.get(), "ZanthIterator", zanth::py::IdSetType())) return nullptr;
  // Not in __all__: callers catch it by class, and it derives from BaseException.
  PyObject* panic = zanth::py::PanicExceptionType();
  if (!panic || PyObject_SetAttrString(module.get(), "PanicException", panic) != 0) {
    return nullptr;
  }
  initialised = true;
  return module.release();
}
