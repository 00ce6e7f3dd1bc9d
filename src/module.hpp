// What the binding files offer each other and the module initialisation:
// the cached type objects and module functions, and the internal API through
// which codecs hand header maps to and from the host.
#pragma once

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
PyTypeObject* h2_codec_type();
PyTypeObject* h2_frame_headers_type();
PyTypeObject* h2_frame_data_type();
PyTypeObject* h2_frame_settings_type();
PyTypeObject* h2_frame_window_update_type();
PyTypeObject* h2_frame_ping_type();
PyTypeObject* h2_frame_go_away_type();
PyTypeObject* h2_frame_rst_stream_type();
PyTypeObject* h2_frame_priority_type();
PyTypeObject* h2_frame_stream_error_type();

// Module functions.
py::Ref http_date_function(PyObject* module);
py::Ref uri_parts_function(PyObject* module);

// Header maps across the boundary.
bool is_header_map(PyObject* o);
// A new HeaderMap object owning `core`.
py::Ref wrap_header_map(http::HeaderMapCore&& core);
// A copy of a HeaderMap's contents, taken under its lock. `o` must be a
// HeaderMap (check with is_header_map first).
http::HeaderMapCore copy_header_map(PyObject* o);

}  // namespace quillon::bind
