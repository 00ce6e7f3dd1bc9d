// OnceLatch: the one-shot latch the drivers use where exactly one of several
// racing parties may proceed, including a party running inside a garbage
// collector finaliser, where taking a lock could deadlock. So: no mutex, one
// sequentially consistent compare-and-swap on one byte.
#include <atomic>

#include "module.hpp"

namespace quillon::bind {

namespace {

struct OnceLatch {
  std::atomic<uint8_t> acquired{0};
};

constexpr py::Sig kCtor("OnceLatch", "");

py::Ref latch_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::parse<kCtor>(args, nargs, kwnames);
  return py::make<OnceLatch>(type);
}

py::Ref latch_try_acquire(PyObject* self) {
  uint8_t expected = 0;
  bool won = py::unbox<OnceLatch>(self).acquired.compare_exchange_strong(expected, 1, std::memory_order_seq_cst);
  return py::boolean(won);
}

py::Ref latch_is_set(PyObject* self) {
  return py::boolean(py::unbox<OnceLatch>(self).acquired.load(std::memory_order_seq_cst) != 0);
}

PyTypeObject* build() {
  py::TypeDef d = py::type_def<OnceLatch>(
      "OnceLatch",
      "A lock-free one-shot latch: exactly one try_acquire() ever returns True.\n\n"
      "Safe to use from any thread and from garbage-collector finalisers; there is no reset.");
  py::set_ctor<latch_new>(d, kCtor);
  d.methods = {
      py::noargs<latch_try_acquire>(
          "try_acquire",
          "Atomically set the latch if it is clear. True for the one caller that set it,\n"
          "False for every other caller, before or after. Never blocks."),
  };
  d.getters = {py::property<latch_is_set>("is_set", "True once any try_acquire() has succeeded.")};
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* once_latch_type() { return py::cached_type<build>(); }

}  // namespace quillon::bind
