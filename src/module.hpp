// What the binding files offer each other and the module initialisation:
// the cached type objects and module functions, and the internal API through
// which codecs hand header maps to and from the host.
#pragma once

#include <string>

#include "h1/codec.hpp"
#include "h1/parse.hpp"
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
PyTypeObject* h1_server_state_type();
PyTypeObject* h1_client_state_type();
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

// The codec and body decoder for H1ServerState, which runs the codec's
// steps inside its own locked transitions. Lock order: the server state's
// mutex, then the codec's, then a decoder's; never the other way round.
struct H1CodecCore {
  py::Mutex& mu;
  h1::CodecState& state;
  const h1::CodecConfig& config;
};
bool is_h1_codec(PyObject* o);
// `codec` must be an H1Codec (check with is_h1_codec first).
H1CodecCore h1_codec_core(PyObject* codec);
// A new H1RequestHead record.
py::Ref wrap_h1_request_head(h1::RequestHead&& head);
// A new decoder of an empty body, made outside any lock to be started
// inside one by start_h1_body_decoder.
py::Ref new_h1_body_decoder();
// Under the decoder's own lock: makes it a decoder for a body of `kind`
// (`length` bytes) fed `bytes`; true when that body is already complete.
bool start_h1_body_decoder(PyObject* decoder, h1::BodyKind kind, uint64_t length, std::string&& bytes);
// Under the decoder's own lock: moves out every byte it holds (`whole`), or
// only the bytes past a completed body. Host objects it drops go to `gy`.
std::string take_h1_decoder_bytes(PyObject* decoder, bool whole, py::Graveyard& gy);

}  // namespace quillon::bind
