// Module initialisation: multi-phase, and nothing but publication. The order
// of the steps below is the order of `__all__`, which hosts rely on.
#include <string>

#include "errors.hpp"
#include "h1/verdicts.hpp"
#include "h2/constants.hpp"
#include "module.hpp"
#include "py.hpp"

namespace quillon {

namespace {

constexpr const char kPackageVersion[] = "0.4.1";

// The package version in the host's version form: "-alpha" -> "a", then
// "-beta" -> "b".
std::string python_version() {
  std::string v = kPackageVersion;
  auto replace = [&v](const std::string& from, const std::string& to) {
    for (size_t at = v.find(from); at != std::string::npos; at = v.find(from, at + to.size()))
      v.replace(at, from.size(), to);
  };
  replace("-alpha", "a");
  replace("-beta", "b");
  return v;
}

class Publisher {
 public:
  explicit Publisher(PyObject* module) : module_(module), all_(py::Ref::check(PyList_New(0))) {}

  void add(const char* name, PyObject* obj) {
    if (!obj) throw py::PyErrSet{};
    if (PyModule_AddObjectRef(module_, name, obj) < 0) throw py::PyErrSet{};
    py::Ref n = py::Ref::check(PyUnicode_FromString(name));
    if (PyList_Append(all_.get(), n.get()) < 0) throw py::PyErrSet{};
  }
  void add(const char* name, const py::Ref& obj) { add(name, obj.get()); }
  void add_type(PyTypeObject* t) {
    if (!t) throw py::PyErrSet{};
    add(t->tp_name + sizeof("quillon._quillon.") - 1, reinterpret_cast<PyObject*>(t));
  }
  void add_exc(errors::Exc e) { add(errors::type_name(e), errors::type(e)); }
  template <class Table>
  void add_ints(const Table& table) {
    for (const auto& c : table) add(c.name, py::integer(c.value));
  }
  void finish() {
    if (PyModule_AddObjectRef(module_, "__all__", all_.get()) < 0) throw py::PyErrSet{};
  }

 private:
  PyObject* module_;
  py::Ref all_;
};

int exec_module(PyObject* module) {
  using errors::Exc;
  try {
    if (!py::internal_failure_type()) throw py::PyErrSet{};
    Publisher p(module);
    // 1. version
    p.add("__version__", py::str(python_version()));
    // 2. the root exception types
    p.add_exc(Exc::QuillonError);
    p.add_exc(Exc::ConnectionClosedError);
    // 3. header map and helpers
    p.add_type(bind::header_map_type());
    p.add("http_date", bind::http_date_function(module));
    p.add("uri_parts", bind::uri_parts_function(module));
    // 4. HTTP/2: classes (frame engine, records, streams, verdicts), flags and
    // kinds, exception types, H2Reason, defaults and the preface.
    // publish: H2 classes
    p.add_type(bind::h2_codec_type());
    p.add_type(bind::h2_frame_headers_type());
    p.add_type(bind::h2_frame_data_type());
    p.add_type(bind::h2_frame_settings_type());
    p.add_type(bind::h2_frame_window_update_type());
    p.add_type(bind::h2_frame_ping_type());
    p.add_type(bind::h2_frame_go_away_type());
    p.add_type(bind::h2_frame_rst_stream_type());
    p.add_type(bind::h2_frame_priority_type());
    p.add_type(bind::h2_frame_stream_error_type());
    p.add_type(bind::h2_stream_state_type());
    p.add_type(bind::h2_flow_control_type());
    p.add_type(bind::h2_content_length_type());
    p.add_type(bind::h2_data_frame_budget_type());
    p.add_type(bind::h2_streams_type());
    p.add_type(bind::h2_stopped_type());
    p.add_type(bind::h2_recv_headers_verdict_type());
    p.add_type(bind::h2_recv_data_verdict_type());
    p.add_type(bind::h2_send_verdict_type());
    p.add_type(bind::h2_reset_verdict_type());
    p.add_ints(h2::kFlagsAndKinds);
    p.add_exc(Exc::H2Error);
    p.add_exc(Exc::H2ProtocolError);
    p.add_exc(Exc::H2StreamError);
    p.add_exc(Exc::H2UserError);
    p.add_exc(Exc::H2FlowControlError);
    // publish: H2Reason
    p.add_type(bind::h2_reason_type());
    p.add_ints(h2::kLimits);
    p.add("H2_PREFACE", py::bytes(h2::kPreface));
    // 5. HTTP/1: exception types, classes, the latch
    p.add_exc(Exc::H1Error);
    p.add_exc(Exc::H1ParseError);
    p.add_exc(Exc::H1BodyError);
    p.add_exc(Exc::H1IncompleteMessageError);
    p.add_exc(Exc::H1UnexpectedMessageError);
    p.add_exc(Exc::H1UserError);
    p.add_type(bind::h1_codec_type());
    p.add_type(bind::h1_response_head_type());
    p.add_type(bind::h1_request_head_type());
    p.add_type(bind::h1_body_decoder_type());
    p.add_type(bind::h1_server_state_type());
    p.add_type(bind::h1_client_state_type());
    p.add_type(bind::once_latch_type());
    // 6. HTTP/1 verdict codes
    p.add_ints(h1::kWatchCodes);
    p.add_ints(h1::kServerCodes);
    // 7. proxy selection
    p.add_type(bind::proxy_matcher_type());
    p.add_type(bind::proxy_intercept_type());
    p.finish();
    return 0;
  } catch (...) {
    py::translate_exception();
    return -1;
  }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_quillon",
    "Sans-IO protocol core of the quillon HTTP/1.1 and HTTP/2 client and server.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quillon

PyMODINIT_FUNC PyInit__quillon() { return PyModuleDef_Init(&quillon::kModule); }
