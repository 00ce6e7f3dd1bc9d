// What the binding files offer each other and the module initialisation:
// the cached type objects and module functions, and the internal API through
// which codecs hand header maps to and from the host.
#pragma once

#include <string>

#include "h1/codec.hpp"
#include "h1/encode.hpp"
#include "h1/parse.hpp"
#include "h2/conn.hpp"
#include "h2/frames.hpp"
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
PyTypeObject* h2_reason_type();
PyTypeObject* h2_stream_state_type();
PyTypeObject* h2_flow_control_type();
PyTypeObject* h2_content_length_type();
PyTypeObject* h2_data_frame_budget_type();
PyTypeObject* h2_stopped_type();
PyTypeObject* h2_streams_type();
PyTypeObject* h2_recv_headers_verdict_type();
PyTypeObject* h2_recv_data_verdict_type();
PyTypeObject* h2_send_verdict_type();
PyTypeObject* h2_reset_verdict_type();

// Module functions.
py::Ref http_date_function(PyObject* module);
py::Ref uri_parts_function(PyObject* module);

// A str shown in an error message as a debug string: in double quotes,
// with quotation marks, backslashes and control characters escaped (\t \r
// \n \0, others and unencodable surrogates as \u{hex}), everything else as
// written. `text` must be a str.
std::string quoted(PyObject* text);

// An int argument in 0..2^32-1 (the width of HTTP/2 ids, codes and
// windows); OverflowError naming the argument otherwise.
uint32_t arg_u32(py::Arg a);
// An optional int argument: nullopt for an omitted argument or None.
std::optional<uint32_t> arg_opt_u32(py::Arg a);
std::optional<uint64_t> arg_opt_u64(py::Arg a);

// HTTP/2 frame records as H2Streams consumes them. Each returns false when
// `rec` is not of the record's class.
struct H2DataFields {
  uint32_t stream_id;
  bool end_stream;
  uint32_t flow_controlled_len;
  PyObject* data;  // the payload bytes, borrowed from the record
};
bool h2_data_fields(PyObject* rec, H2DataFields& out);
bool h2_headers_fields(PyObject* rec, h2::HeadersInfo& out);
// WINDOW_UPDATE (stream id, increment) and RST_STREAM (stream id, code).
bool h2_pair_fields(PyObject* rec, PyTypeObject* type, uint32_t& stream_id, uint32_t& value);
bool h2_go_away_fields(PyObject* rec, uint32_t& last_stream_id, uint32_t& error_code, std::string_view& debug);
// A new record for a decoded frame.
py::Ref h2_frame_record(h2::Frame& f);

// A new H2Stopped record.
py::Ref h2_stopped(const h2::Stop& stop);

// Header maps across the boundary.
bool is_header_map(PyObject* o);
// A new HeaderMap object owning `core`.
py::Ref wrap_header_map(http::HeaderMapCore&& core);
// A copy of a HeaderMap's contents, taken under its lock. `o` must be a
// HeaderMap (check with is_header_map first).
http::HeaderMapCore copy_header_map(PyObject* o);
// A HeaderMap's contents and the mutex that guards them. A map's mutex is a
// leaf (nothing else is locked while it is held), so a step of another
// object may read a map under it instead of copying it.
const http::HeaderMapCore& header_map_core(PyObject* o);
py::Mutex& header_map_mutex(PyObject* o);
// Runs `f(map)` with HeaderMap `o` locked; `o` nullptr reads an empty map.
template <class F>
decltype(auto) read_header_map(PyObject* o, F&& f) {
  if (!o) {
    static const http::HeaderMapCore empty;
    return f(empty);
  }
  return header_map_mutex(o).run([&]() -> decltype(auto) { return f(header_map_core(o)); });
}

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

// Argument conversions and the encoder-error conversion shared by the
// HTTP/1 bindings.
uint16_t h1_status_arg(py::Arg a);  // 100..999, else ValueError
http::HeaderMapCore h1_headers_arg(py::Arg a);  // HeaderMap or None
// The same argument checked only: the HeaderMap, or nullptr for None.
PyObject* h1_headers_ref(py::Arg a);
[[noreturn]] void raise_h1_encode(const h1::EncodeError& e);

}  // namespace quillon::bind
