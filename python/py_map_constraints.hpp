#pragma once
// The Python face of MapConstraints: a trampoline that lets Python subclasses override the two
// mapping hooks, and the conversion that lets C++ keep a Python subclass alive.

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qalto/map_constraints.hpp"

namespace qalto::python {

namespace py = pybind11;

// Made instead of a plain MapConstraints when Python constructs a subclass. Each hook calls the
// Python method of the same name when the subclass defines one, and the base operation
// otherwise (also when the override itself calls the base through super()).
class PyMapConstraints : public MapConstraints {
 public:
  using MapConstraints::MapConstraints;

  // Calls the override `next_layer_handler(name)` with the name decoded from UTF-8; its result
  // is dropped. A Python exception (a decoding error included) propagates as
  // py::error_already_set.
  void next_layer_handler(const std::string& layer_name) const override;

  // Calls the override `select_nps(source_nps, num_nps, type)` with a new list of new NP.Ident
  // copies, an int and the NP.Type of `type`; its result must convert to a list of NP.Ident
  // (else py::cast_error). Python exceptions propagate as py::error_already_set.
  std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, uint64_t count,
                                    hw::Type type) const override;
};

namespace holding {

// The deleter of hold_map_constraints: owns the Python object of a subclass (and the binding's
// holder) until the last C++ owner lets go.
class PythonOwner {
 public:
  PythonOwner(std::shared_ptr<MapConstraints> held, py::handle self)
      : held_(std::move(held)), self_(new py::object(py::reinterpret_borrow<py::object>(self))) {}

  void operator()(MapConstraints*) {
    if (!self_) return;
    if (Py_IsInitialized()) {
      py::gil_scoped_acquire gil;
      delete self_;
      held_.reset();
    } else {
      // After the interpreter has ended the reference can no longer be released: the object
      // is left to the ended interpreter, and only our wrapper is freed.
      self_->release();
      delete self_;
    }
    self_ = nullptr;
  }

 private:
  std::shared_ptr<MapConstraints> held_;
  py::object* self_;  // raw: released under the interpreter lock, never by a destructor
};

}  // namespace holding

// The constraints held by a Python MapConstraints object (`obj` must be one, else
// py::cast_error), as a shared pointer that C++ may keep after Python dropped every reference:
// for a Python subclass the pointer also owns a reference to the Python object, so that its
// overriding methods stay reachable for as long as C++ holds it. The reference is released
// under the interpreter lock. Callers that keep constraints beyond the Python call (the model's
// mapping) take them through this function instead of the binding's holder conversion.
// Header-only so that a test module can use it without this module's trampoline.
inline std::shared_ptr<MapConstraints> hold_map_constraints(py::handle obj) {
  auto held = obj.cast<std::shared_ptr<MapConstraints>>();
  if (!held) return held;
  // Python makes the trampoline exactly for subclasses, so the Python type tells them apart.
  if (obj.get_type().is(py::type::of<MapConstraints>())) return held;
  MapConstraints* raw = held.get();
  return std::shared_ptr<MapConstraints>(raw, holding::PythonOwner(std::move(held), obj));
}

}  // namespace qalto::python
