// What the binding files offer each other and the module initialisation:
// the cached type objects and module functions, and the internal API through
// which codecs hand header maps to and from the host.
#pragma once

#include "h2/stream.hpp"
#include "http/header_map.hpp"
#include "py.hpp"

namespace quillon::bind {

// Types, each built on first need and cached for the process.
PyTypeObject* header_map_type();
PyTypeObject* once_latch_type();
PyTypeObject* proxy_matcher_type();
PyTypeObject* proxy_intercept_type();
PyTypeObject* h1_codec_type();
PyTypeObject* h1_response_head_type();
PyTypeObject* h1_request_head_type();
PyTypeObject* h1_body_decoder_type();
PyTypeObject* h2_reason_type();
PyTypeObject* h2_stream_state_type();
PyTypeObject* h2_flow_control_type();
PyTypeObject* h2_content_length_type();
PyTypeObject* h2_data_frame_budget_type();
PyTypeObject* h2_stopped_type();
PyTypeObject* h2_streams_type();

// Module functions.
py::Ref http_date_function(PyObject* module);
py::Ref uri_parts_function(PyObject* module);

// An int argument in 0..2^32-1 (the width of HTTP/2 ids, codes and
// windows); OverflowError naming the argument otherwise.
uint32_t arg_u32(const py::Sig& sig, size_t i, PyObject* o);
// An optional int argument: nullopt for an omitted argument or None.
std::optional<uint32_t> arg_opt_u32(const py::Sig& sig, size_t i, PyObject* o);
std::optional<uint64_t> arg_opt_u64(const py::Sig& sig, size_t i, PyObject* o);

// A new H2Stopped record.
py::Ref h2_stopped(const h2::Stop& stop);

// Header maps across the boundary.
bool is_header_map(PyObject* o);
// A new HeaderMap object owning `core`.
py::Ref wrap_header_map(http::HeaderMapCore&& core);
// A copy of a HeaderMap's contents, taken under its lock. `o` must be a
// HeaderMap (check with is_header_map first).
http::HeaderMapCore copy_header_map(PyObject* o);

}  // namespace quillon::bind
