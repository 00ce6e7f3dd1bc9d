// H2Codec and the HTTP/2 frame records: the host face of the frame engine.
// Every method converts its arguments first, runs the engine under the
// codec's mutex on plain C++ state, and builds host objects only after the
// mutex is released.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "h2/frames.hpp"
#include "http/chars.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

using h2::Fault;

const char* tf(bool b) { return b ? "true" : "false"; }

// "None" or "Some(v)", as the records print optional values.
std::string opt_text(const std::optional<uint32_t>& v) {
  return v ? "Some(" + std::to_string(*v) + ")" : std::string("None");
}

py::Ref opt_int(const std::optional<uint64_t>& v) { return v ? py::uinteger(*v) : py::none(); }

uint32_t arg_stream_id(py::Arg a) {
  const uint32_t v = arg_u32(a);
  if (!h2::valid_stream_id(v))
    throw py::value_error("stream_id must be below 2**31, got " + std::to_string(v));
  return v;
}

std::optional<std::string_view> opt_str(py::Arg a) {
  if (!a.given()) return std::nullopt;
  return py::arg_str(a);
}

PyObject* scheme_str(std::string_view s) {
  static PyObject* http = nullptr;
  static PyObject* https = nullptr;
  if (s == "http") return http ? http : (http = py::interned("http"));
  if (s == "https") return https ? https : (https = py::interned("https"));
  return nullptr;
}

// ---------------------------------------------------------------------------
// Frame records

template <class R, uint32_t R::*F>
py::Ref u32_field(PyObject* self) {
  return py::uinteger(py::unbox<R>(self).*F);
}
template <class R, bool R::*F>
py::Ref bool_field(PyObject* self) {
  return py::boolean(py::unbox<R>(self).*F);
}
template <class R, py::Ref R::*F>
py::Ref ref_field(PyObject* self) {
  return py::unbox<R>(self).*F;
}

template <class R, py::slots::Unary Repr>
PyTypeObject* build_record(const char* name, const char* doc, std::vector<py::GetterDef> getters) {
  py::TypeDef d = py::type_def<R>(name, doc, py::kNoConstructor);
  d.slots = {py::slots::repr<Repr>()};
  d.getters = std::move(getters);
  return py::build_type(std::move(d));
}

// --- H2FrameData

struct DataRec {
  uint32_t stream_id;
  bool end_stream;
  uint32_t flow_controlled_len;
  py::Ref data;
  size_t len() const { return static_cast<size_t>(PyBytes_GET_SIZE(data.get())); }
};

py::Ref data_padding(PyObject* self) {
  const DataRec& r = py::unbox<DataRec>(self);
  return py::uinteger(r.flow_controlled_len - r.len());
}

py::Ref data_repr(PyObject* self) {
  const DataRec& r = py::unbox<DataRec>(self);
  return py::Ref::check(PyUnicode_FromFormat("Data(stream_id=%u, end_stream=%s, len=%zu)", r.stream_id,
                                             tf(r.end_stream), r.len()));
}

PyTypeObject* build_data() {
  using R = DataRec;
  return build_record<R, data_repr>("H2FrameData", "A received DATA frame (padding removed).",
                         {
                             py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream."),
                             py::property<bool_field<R, &R::end_stream>>("end_stream", "END_STREAM was set."),
                             py::property<ref_field<R, &R::data>>("data", "The payload without padding (bytes)."),
                             py::property<u32_field<R, &R::flow_controlled_len>>(
                                 "flow_controlled_len",
                                 "What flow control is charged: the whole payload, padding included."),
                             py::property<data_padding>("padding", "flow_controlled_len minus len(data)."),
                         });
}

// --- H2FrameHeaders

struct HeadersRec {
  uint32_t stream_id;
  bool end_stream;
  py::Ref method, scheme, authority, path;
  std::optional<uint16_t> status;
  py::Ref headers;
  size_t field_count;
  std::optional<uint64_t> content_length;
  bool content_length_invalid;
  h2::HeadShape shape;  // for the connection's checks; not exposed
  bool truncated;
  py::Ref protocol;
};

py::Ref headers_end_headers(PyObject*) { return py::boolean(true); }
py::Ref headers_status(PyObject* self) {
  const auto& s = py::unbox<HeadersRec>(self).status;
  return s ? py::integer(*s) : py::none();
}
py::Ref headers_content_length(PyObject* self) { return opt_int(py::unbox<HeadersRec>(self).content_length); }
py::Ref headers_is_informational(PyObject* self) {
  const auto& s = py::unbox<HeadersRec>(self).status;
  return py::boolean(s && *s >= 100 && *s <= 199);
}

py::Ref headers_repr(PyObject* self) {
  const HeadersRec& r = py::unbox<HeadersRec>(self);
  const std::string status = r.status ? "Some(" + std::to_string(*r.status) + ")" : "None";
  return py::Ref::check(PyUnicode_FromFormat("Headers(stream_id=%u, status=%s, end_stream=%s, fields=%zu)",
                                             r.stream_id, status.c_str(), tf(r.end_stream), r.field_count));
}

PyTypeObject* build_headers() {
  using R = HeadersRec;
  return build_record<R, headers_repr>(
      "H2FrameHeaders", "A complete received header block (HEADERS plus any CONTINUATION frames).",
      {
          py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream."),
          py::property<bool_field<R, &R::end_stream>>("end_stream", "END_STREAM was set."),
          py::property<headers_end_headers>("end_headers", "Always True: only complete blocks are returned."),
          py::property<ref_field<R, &R::method>>("method", "The :method pseudo-header, or None."),
          py::property<ref_field<R, &R::scheme>>("scheme", "The :scheme pseudo-header, or None."),
          py::property<ref_field<R, &R::authority>>("authority", "The :authority pseudo-header, or None."),
          py::property<ref_field<R, &R::path>>("path", "The :path pseudo-header, or None."),
          py::property<headers_status>("status", "The :status pseudo-header as an int, or None."),
          py::property<ref_field<R, &R::headers>>("headers", "The regular fields (HeaderMap)."),
          py::property<headers_content_length>("content_length",
                                               "The first content-length value as an int, or None."),
          py::property<bool_field<R, &R::content_length_invalid>>("content_length_invalid",
                                                                  "A content-length field did not parse."),
          py::property<headers_is_informational>("is_informational", "status is in 100..199."),
          py::property<ref_field<R, &R::protocol>>(
              "protocol", "The :protocol pseudo-header of an extended CONNECT (RFC 8441), or None."),
      });
}

// --- H2FrameSettings

struct SettingsRec {
  h2::SettingsFrame s;
};

template <std::optional<uint32_t> h2::SettingsFrame::*F>
py::Ref settings_value(PyObject* self) {
  const auto& v = py::unbox<SettingsRec>(self).s.*F;
  return v ? py::uinteger(*v) : py::none();
}
py::Ref settings_ack(PyObject* self) { return py::boolean(py::unbox<SettingsRec>(self).s.ack); }
py::Ref settings_enable_push(PyObject* self) {
  const auto& v = py::unbox<SettingsRec>(self).s.enable_push;
  return v ? py::boolean(*v) : py::none();
}
py::Ref settings_enable_connect_protocol(PyObject* self) {
  const auto& v = py::unbox<SettingsRec>(self).s.enable_connect_protocol;
  return v ? py::boolean(*v) : py::none();
}

py::Ref settings_repr(PyObject* self) {
  const h2::SettingsFrame& s = py::unbox<SettingsRec>(self).s;
  const std::string text = std::string("Settings(ack=") + tf(s.ack) +
                           ", max_concurrent_streams=" + opt_text(s.max_concurrent_streams) +
                           ", initial_window_size=" + opt_text(s.initial_window_size) +
                           ", max_frame_size=" + opt_text(s.max_frame_size) + ")";
  return py::Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyTypeObject* build_settings() {
  using S = h2::SettingsFrame;
  return build_record<SettingsRec, settings_repr>(
      "H2FrameSettings", "A received SETTINGS frame; a setting the frame did not carry is None.",
      {
          py::property<settings_ack>("ack", "ACK was set."),
          py::property<settings_value<&S::header_table_size>>("header_table_size", "SETTINGS_HEADER_TABLE_SIZE."),
          py::property<settings_enable_push>("enable_push", "SETTINGS_ENABLE_PUSH as a bool."),
          py::property<settings_enable_connect_protocol>("enable_connect_protocol",
                                                         "SETTINGS_ENABLE_CONNECT_PROTOCOL as a bool."),
          py::property<settings_value<&S::max_concurrent_streams>>("max_concurrent_streams",
                                                                  "SETTINGS_MAX_CONCURRENT_STREAMS."),
          py::property<settings_value<&S::initial_window_size>>("initial_window_size",
                                                               "SETTINGS_INITIAL_WINDOW_SIZE."),
          py::property<settings_value<&S::max_frame_size>>("max_frame_size", "SETTINGS_MAX_FRAME_SIZE."),
          py::property<settings_value<&S::max_header_list_size>>("max_header_list_size",
                                                                "SETTINGS_MAX_HEADER_LIST_SIZE."),
      });
}

// --- the small records

struct PingRec {
  bool ack;
  py::Ref data;
};
py::Ref ping_repr(PyObject* self) {
  return py::Ref::check(PyUnicode_FromFormat("Ping(ack=%s)", tf(py::unbox<PingRec>(self).ack)));
}
PyTypeObject* build_ping() {
  using R = PingRec;
  return build_record<R, ping_repr>("H2FramePing", "A received PING frame.",
                         {
                             py::property<bool_field<R, &R::ack>>("ack", "ACK was set."),
                             py::property<ref_field<R, &R::data>>("data", "The 8 payload octets."),
                         });
}

struct GoAwayRec {
  uint32_t last_stream_id;
  uint32_t error_code;
  py::Ref debug_data;
};
py::Ref go_away_repr(PyObject* self) {
  const GoAwayRec& r = py::unbox<GoAwayRec>(self);
  return py::Ref::check(
      PyUnicode_FromFormat("GoAway(last_stream_id=%u, error_code=%u)", r.last_stream_id, r.error_code));
}
PyTypeObject* build_go_away() {
  using R = GoAwayRec;
  return build_record<R, go_away_repr>(
      "H2FrameGoAway", "A received GOAWAY frame.",
      {
          py::property<u32_field<R, &R::last_stream_id>>("last_stream_id", "The last stream the peer processed."),
          py::property<u32_field<R, &R::error_code>>("error_code", "The HTTP/2 error code."),
          py::property<ref_field<R, &R::debug_data>>("debug_data", "The octets after the first 8 (bytes)."),
      });
}

// Records of a stream id and one more number.
struct PairRec {
  uint32_t stream_id;
  uint32_t value;
};

template <const char* Format>
py::Ref pair_repr(PyObject* self) {
  const PairRec& r = py::unbox<PairRec>(self);
  return py::Ref::check(PyUnicode_FromFormat(Format, r.stream_id, r.value));
}

constexpr char kWindowUpdateRepr[] = "WindowUpdate(stream_id=%u, increment=%u)";
constexpr char kRstStreamRepr[] = "RstStream(stream_id=%u, error_code=%u)";
constexpr char kStreamErrorRepr[] = "StreamError(stream_id=%u, error_code=%u)";
constexpr char kPriorityRepr[] = "Priority(stream_id=%u)";

PyTypeObject* build_window_update() {
  using R = PairRec;
  return build_record<R, pair_repr<kWindowUpdateRepr>>("H2FrameWindowUpdate", "A received WINDOW_UPDATE frame.",
                         {
                             py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream (0: connection)."),
                             py::property<u32_field<R, &R::value>>("increment", "The window increment (31 bits)."),
                         });
}
PyTypeObject* build_rst_stream() {
  using R = PairRec;
  return build_record<R, pair_repr<kRstStreamRepr>>("H2FrameRstStream", "A received RST_STREAM frame.",
                         {
                             py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream."),
                             py::property<u32_field<R, &R::value>>("error_code", "The HTTP/2 error code."),
                         });
}
PyTypeObject* build_priority() {
  using R = PairRec;
  return build_record<R, pair_repr<kPriorityRepr>>("H2FramePriority",
                                                   "A received PRIORITY frame (its contents are not used).",
                         {py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream.")});
}
PyTypeObject* build_stream_error() {
  using R = PairRec;
  return build_record<R, pair_repr<kStreamErrorRepr>>(
      "H2FrameStreamError",
      "A stream-level problem found while decoding (a malformed header block, a self-dependency):\n"
      "the stream is to be reset, the connection lives on.",
      {
          py::property<u32_field<R, &R::stream_id>>("stream_id", "The stream."),
          py::property<u32_field<R, &R::value>>("error_code", "The HTTP/2 error code (1, PROTOCOL_ERROR)."),
      });
}

py::Ref opt_text_ref(std::optional<std::string>& s) { return s ? py::str(*s) : py::none(); }

py::Ref wrap_frame(h2::Frame& f) {
  switch (f.index()) {
    case 0: {
      const auto& d = std::get<h2::DataFrame>(f);
      return py::make<DataRec>(h2_frame_data_type(),
                               DataRec{d.stream_id, d.end_stream, d.flow_controlled_len, py::bytes(d.data())});
    }
    case 1: {
      auto& h = std::get<h2::HeadersFrame>(f);
      py::Ref scheme;
      if (h.scheme) {
        PyObject* shared = scheme_str(*h.scheme);
        scheme = shared ? py::Ref::borrow(shared) : py::str(*h.scheme);
      } else {
        scheme = py::none();
      }
      py::Ref method = h.method ? py::ascii_str(*h.method) : py::none();
      py::Ref authority = opt_text_ref(h.authority);
      py::Ref path = opt_text_ref(h.path);
      py::Ref protocol = opt_text_ref(h.protocol);
      const size_t count = h.headers.len();
      py::Ref headers = wrap_header_map(std::move(h.headers));
      return py::make<HeadersRec>(h2_frame_headers_type(),
                                  HeadersRec{h.stream_id, h.end_stream, std::move(method), std::move(scheme),
                                             std::move(authority), std::move(path), h.status, std::move(headers),
                                             count, h.content_length, h.content_length_invalid, h.shape,
                                             h.truncated, std::move(protocol)});
    }
    case 2:
      return py::make<PairRec>(h2_frame_priority_type(), PairRec{std::get<h2::PriorityFrame>(f).stream_id, 0});
    case 3: {
      const auto& r = std::get<h2::RstStreamFrame>(f);
      return py::make<PairRec>(h2_frame_rst_stream_type(), PairRec{r.stream_id, r.error_code});
    }
    case 4:
      return py::make<SettingsRec>(h2_frame_settings_type(), SettingsRec{std::get<h2::SettingsFrame>(f)});
    case 5: {
      const auto& p = std::get<h2::PingFrame>(f);
      return py::make<PingRec>(h2_frame_ping_type(), PingRec{p.ack, py::bytes(std::string_view(p.data, 8))});
    }
    case 6: {
      const auto& g = std::get<h2::GoAwayFrame>(f);
      return py::make<GoAwayRec>(h2_frame_go_away_type(),
                                 GoAwayRec{g.last_stream_id, g.error_code, py::bytes(g.debug_data)});
    }
    case 7: {
      const auto& w = std::get<h2::WindowUpdateFrame>(f);
      return py::make<PairRec>(h2_frame_window_update_type(), PairRec{w.stream_id, w.increment});
    }
    case 8: {
      const auto& e = std::get<h2::StreamErrorFrame>(f);
      return py::make<PairRec>(h2_frame_stream_error_type(), PairRec{e.stream_id, e.error_code});
    }
  }
  py::fail_internal("unknown HTTP/2 frame record");
}

// ---------------------------------------------------------------------------
// H2Codec

struct CodecObj {
  py::Mutex mu;
  h2::Engine engine;
  explicit CodecObj(bool client) : engine(client) {}
};

CodecObj& codec_of(PyObject* o) { return py::unbox<CodecObj>(o); }

constexpr py::Sig kCtor("H2Codec", "role=\"client\"");
py::Ref codec_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kCtor>(args, nargs, kwnames);
  std::string_view role = a["role"] ? a.str("role") : "client";
  const std::optional<h2::Role> r = h2::role_named(role);
  // Only a given role can be unknown.
  if (!r) throw py::value_error("role must be 'client' or 'server', got " + quoted(a["role"]));
  return py::make<CodecObj>(type, *r == h2::Role::Client);
}

py::Ref codec_role_client(PyObject* self) { return py::boolean(codec_of(self).engine.client()); }

constexpr py::Sig kReceive("H2Codec.receive", "data");
py::Ref codec_receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kReceive>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  CodecObj& c = codec_of(self);
  std::vector<h2::Frame> frames;
  if (Fault f = py::locked(c, [&] { return c.engine.receive(data, frames); })) errors::raise_h2(f);
  // DATA payloads may still be slices of `data`, which the caller's
  // reference keeps alive for the whole call.
  py::Ref list = py::Ref::check(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  for (size_t i = 0; i < frames.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap_frame(frames[i]).release());
  return list;
}

py::Ref codec_buffered(PyObject* self) {
  CodecObj& c = codec_of(self);
  return py::uinteger(py::locked(c, [&] { return c.engine.buffered(); }));
}

py::Ref preface_result(h2::PrefaceMatch m) {
  switch (m) {
    case h2::PrefaceMatch::Partial:
      return py::none();
    case h2::PrefaceMatch::Complete:
      return py::boolean(true);
    case h2::PrefaceMatch::Mismatch:
      break;
  }
  return py::boolean(false);
}

constexpr py::Sig kFeedPreface("H2Codec.feed_preface", "data");
py::Ref codec_feed_preface(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kFeedPreface>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  CodecObj& c = codec_of(self);
  return preface_result(py::locked(c, [&] { return c.engine.feed_preface(data); }));
}

constexpr py::Sig kMatchPreface("match_preface", "data");
py::Ref codec_match_preface(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kMatchPreface>(args, nargs, kwnames);
  return preface_result(h2::match_preface(a.bytes("data")));
}

constexpr py::Sig kCheckSendHeaders("check_send_headers", "headers");
py::Ref codec_check_send_headers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kCheckSendHeaders>(args, nargs, kwnames);
  if (!is_header_map(a["headers"])) a.bad_type("headers", "HeaderMap");
  if (!h2::headers_sendable(copy_header_map(a["headers"]))) throw errors::h2_user(h2::UserKind::MalformedHeaders);
  return py::none();
}

constexpr py::Sig kMethodIsHead("method_is_head", "method");
py::Ref codec_method_is_head(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kMethodIsHead>(args, nargs, kwnames);
  std::string_view m = a.str("method");
  return py::boolean(http::is_token(m) && m == "HEAD");
}

constexpr py::Sig kIsClientInitiated("is_client_initiated", "stream_id");
py::Ref codec_is_client_initiated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kIsClientInitiated>(args, nargs, kwnames);
  return py::boolean(arg_stream_id(a.arg("stream_id")) & 1);
}

// Setters of one u32 value, checked by `Check` before the lock.
template <const py::Sig& S, void (*Apply)(h2::Engine&, uint32_t), bool FrameSize>
py::Ref codec_setter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  const uint32_t v = arg_u32(a.sole());
  if (FrameSize && (v < h2::kDefaultMaxFrameSize || v > h2::kMaxMaxFrameSize))
    throw py::value_error("max_frame_size must be in [16384, 16777215], got " + std::to_string(v));
  CodecObj& c = codec_of(self);
  py::locked(c, [&] { Apply(c.engine, v); });
  return py::none();
}

constexpr py::Sig kSetSendTable("H2Codec.set_send_header_table_size", "val");
constexpr py::Sig kSetRecvTable("H2Codec.set_recv_header_table_size", "val");
constexpr py::Sig kSetMaxRecvFrame("H2Codec.set_max_recv_frame_size", "val");
constexpr py::Sig kSetMaxList("H2Codec.set_max_header_list_size", "val");
constexpr py::Sig kSetSendMaxFrame("H2Codec.set_send_max_frame_size", "val");
void apply_send_table(h2::Engine& e, uint32_t v) { e.set_send_header_table_size(v); }
void apply_recv_table(h2::Engine& e, uint32_t v) { e.set_recv_header_table_size(v); }
void apply_max_recv_frame(h2::Engine& e, uint32_t v) { e.set_max_recv_frame_size(v); }
void apply_max_list(h2::Engine& e, uint32_t v) { e.set_max_header_list_size(v); }
void apply_send_max_frame(h2::Engine& e, uint32_t v) { e.set_send_max_frame_size(v); }

// --- encoders

// A HeaderMap argument, or nullptr for None. A poisoned map fails the call
// here, before the codec's lock is taken.
PyObject* headers_arg(py::Arg a) {
  if (!a.given()) return nullptr;
  if (!is_header_map(a.value)) a.bad_type("HeaderMap or None");
  header_map_mutex(a.value).check_usable();
  return a.value;
}

// Runs `f(map or nullptr)` with the map locked inside the codec's step: the
// map's lock is a leaf (it never takes another), and encoding straight from
// it spares a copy of every field.
template <class F>
decltype(auto) with_headers(PyObject* headers, F&& f) {
  if (!headers) return f(nullptr);
  return read_header_map(headers, [&](const http::HeaderMapCore& m) { return f(&m); });
}

constexpr py::Sig kSettings("H2Codec.serialize_settings",
                            "*, header_table_size=None, enable_push=None, max_concurrent_streams=None, "
                            "initial_window_size=None, max_frame_size=None, max_header_list_size=None");
py::Ref codec_serialize_settings(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSettings>(args, nargs, kwnames);
  h2::SettingsValues s;
  if (a.has("header_table_size")) s.header_table_size = arg_u32(a.arg("header_table_size"));
  if (a.has("enable_push")) s.enable_push = a.flag("enable_push", false);
  if (a.has("max_concurrent_streams")) s.max_concurrent_streams = arg_u32(a.arg("max_concurrent_streams"));
  if (a.has("initial_window_size")) s.initial_window_size = arg_u32(a.arg("initial_window_size"));
  if (a.has("max_frame_size")) s.max_frame_size = arg_u32(a.arg("max_frame_size"));
  if (a.has("max_header_list_size")) s.max_header_list_size = arg_u32(a.arg("max_header_list_size"));
  std::string out;
  if (Fault f = h2::encode_settings(s, out)) errors::raise_h2(f);
  return py::bytes(out);
}

py::Ref codec_serialize_settings_ack(PyObject*) {
  std::string out;
  h2::encode_settings_ack(out);
  return py::bytes(out);
}

constexpr py::Sig kRequest("H2Codec.serialize_request_headers",
                           "stream_id, method, target, headers=None, end_stream=False, *, scheme=None, authority=None");
py::Ref codec_serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRequest>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  std::string_view method = a.str("method");
  std::string_view target = a.str("target");
  PyObject* headers = headers_arg(a.arg("headers"));
  const bool end_stream = a.flag("end_stream", false);
  auto scheme = opt_str(a.arg("scheme"));
  auto authority = opt_str(a.arg("authority"));
  CodecObj& c = codec_of(self);
  std::string out;
  if (Fault f = py::locked(c, [&] {
        return with_headers(headers, [&](const http::HeaderMapCore* m) {
          return c.engine.encode_request(sid, method, target, m, end_stream, scheme, authority, out);
        });
      }))
    errors::raise_h2(f);
  return py::bytes(out);
}

constexpr py::Sig kResponse("H2Codec.serialize_response_headers",
                            "stream_id, status, headers=None, end_stream=False, auto_date=False");
py::Ref codec_serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kResponse>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  const long long status = py::arg_int_in(a.arg("status"), 100, 999, "invalid status: invalid status code");
  PyObject* headers = headers_arg(a.arg("headers"));
  const bool end_stream = a.flag("end_stream", false);
  const bool auto_date = a.flag("auto_date", false);
  CodecObj& c = codec_of(self);
  std::string out;
  if (Fault f = py::locked(c, [&] {
        return with_headers(headers, [&](const http::HeaderMapCore* m) {
          return c.engine.encode_response(sid, static_cast<uint32_t>(status), m, end_stream, auto_date, out);
        });
      }))
    errors::raise_h2(f);
  return py::bytes(out);
}

constexpr py::Sig kTrailers("H2Codec.serialize_trailers", "stream_id, trailers");
py::Ref codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kTrailers>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  if (!is_header_map(a["trailers"])) a.bad_type("trailers", "HeaderMap");
  http::HeaderMapCore trailers = copy_header_map(a["trailers"]);
  CodecObj& c = codec_of(self);
  std::string out;
  if (Fault f = py::locked(c, [&] { return c.engine.encode_trailers(sid, trailers, out); })) errors::raise_h2(f);
  return py::bytes(out);
}

constexpr py::Sig kData("H2Codec.serialize_data", "stream_id, data, end_stream=False");
py::Ref codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kData>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  std::string_view data = a.bytes("data");
  const bool end_stream = a.flag("end_stream", false);
  CodecObj& c = codec_of(self);
  const uint32_t max = py::locked(c, [&] { return c.engine.send_max_frame_size(); });
  if (data.size() > max)
    throw errors::h2_user(h2::UserKind::PayloadTooBig, "DATA payload " + std::to_string(data.size()) +
                                                 " exceeds SETTINGS_MAX_FRAME_SIZE " + std::to_string(max));
  // Framed straight into the result: one copy of the payload.
  char* out = nullptr;
  py::Ref r = py::bytes_uninit(h2::kFrameHeaderLen + data.size(), &out);
  h2::write_frame_header(out, static_cast<uint32_t>(data.size()), h2::kData, end_stream ? h2::kEndStream : 0, sid);
  if (!data.empty()) std::memcpy(out + h2::kFrameHeaderLen, data.data(), data.size());
  return r;
}

constexpr py::Sig kWindowUpdate("H2Codec.serialize_window_update", "stream_id, increment");
py::Ref codec_serialize_window_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kWindowUpdate>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  const uint32_t inc = arg_u32(a.arg("increment"));
  std::string out;
  h2::encode_window_update(sid, inc, out);
  return py::bytes(out);
}

template <const py::Sig& S, bool Ack>
py::Ref codec_serialize_ping(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  std::string_view payload = py::arg_bytes(a.sole());
  if (payload.size() != 8) throw py::value_error("ping payload must be exactly 8 bytes");
  std::string out;
  h2::encode_ping(payload.data(), Ack, out);
  return py::bytes(out);
}
constexpr py::Sig kPing("H2Codec.serialize_ping", "payload");
constexpr py::Sig kPingAck("H2Codec.serialize_ping_ack", "payload");

constexpr py::Sig kGoAway("H2Codec.serialize_go_away", "last_stream_id, error_code, debug_data=None");
py::Ref codec_serialize_go_away(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kGoAway>(args, nargs, kwnames);
  const uint32_t last = arg_stream_id(a.arg("last_stream_id"));
  const uint32_t code = arg_u32(a.arg("error_code"));
  std::string_view debug = a.has("debug_data") ? a.bytes("debug_data") : std::string_view();
  if (debug.size() > h2::kMaxMaxFrameSize - 8) throw py::value_error("debug_data too long for one GOAWAY frame");
  std::string out;
  h2::encode_go_away(last, code, debug, out);
  return py::bytes(out);
}

constexpr py::Sig kRstStream("H2Codec.serialize_rst_stream", "stream_id, error_code");
py::Ref codec_serialize_rst_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kRstStream>(args, nargs, kwnames);
  const uint32_t sid = arg_stream_id(a.arg("stream_id"));
  const uint32_t code = arg_u32(a.arg("error_code"));
  std::string out;
  h2::encode_rst_stream(sid, code, out);
  return py::bytes(out);
}

PyTypeObject* build_codec() {
  py::TypeDef d = py::type_def<CodecObj>(
      "H2Codec",
      "The HTTP/2 frame engine of one connection with its HPACK contexts, alone: received bytes\n"
      "become frame records, and every frame we send is built here. It never touches a socket.");
  py::set_ctor<codec_new>(d, kCtor);
  d.methods = {
      py::method<codec_receive>("receive", kReceive,
                                "Append data and decode every complete frame: a list of frame records in wire\n"
                                "order (stream-level problems as H2FrameStreamError). Raises H2ProtocolError."),
      py::noargs<codec_buffered>("buffered", "Octets of the read buffer (a frame not yet complete)."),
      py::method<codec_feed_preface>("feed_preface", kFeedPreface,
                                     "Collect the client connection preface: None while it matches so far, True\n"
                                     "once complete (later bytes go to the read buffer), False on a mismatch."),
      py::method<codec_match_preface>("match_preface", kMatchPreface,
                                      "Compare data with the client preface: False on a difference, None when\n"
                                      "it matches but is shorter than 24 octets, else True.",
                                      true),
      py::method<codec_check_send_headers>("check_send_headers", kCheckSendHeaders,
                                           "Refuse connection-specific fields (and te other than \"trailers\")\n"
                                           "with H2UserError(\"malformed_headers\", ...).",
                                           true),
      py::method<codec_method_is_head>("method_is_head", kMethodIsHead,
                                       "True only for a method token that is exactly \"HEAD\".", true),
      py::method<codec_is_client_initiated>("is_client_initiated", kIsClientInitiated,
                                            "True for an odd stream id.", true),
      py::method<codec_setter<kSetSendTable, apply_send_table, false>>(
          "set_send_header_table_size", kSetSendTable,
          "The peer's SETTINGS_HEADER_TABLE_SIZE: the HPACK encoder resizes (at most 4096)."),
      py::method<codec_setter<kSetRecvTable, apply_recv_table, false>>(
          "set_recv_header_table_size", kSetRecvTable,
          "Our SETTINGS_HEADER_TABLE_SIZE: the largest size update the peer may send next."),
      py::method<codec_setter<kSetMaxRecvFrame, apply_max_recv_frame, true>>(
          "set_max_recv_frame_size", kSetMaxRecvFrame, "Our SETTINGS_MAX_FRAME_SIZE."),
      py::method<codec_setter<kSetMaxList, apply_max_list, false>>("set_max_header_list_size", kSetMaxList,
                                                                   "Our SETTINGS_MAX_HEADER_LIST_SIZE."),
      py::method<codec_setter<kSetSendMaxFrame, apply_send_max_frame, true>>(
          "set_send_max_frame_size", kSetSendMaxFrame, "The peer's SETTINGS_MAX_FRAME_SIZE."),
      py::method<codec_serialize_settings>("serialize_settings", kSettings, "One SETTINGS frame."),
      py::noargs<codec_serialize_settings_ack>("serialize_settings_ack", "An empty SETTINGS frame with ACK."),
      py::method<codec_serialize_request>("serialize_request_headers", kRequest,
                                          "A request head as HEADERS (and CONTINUATION) frames."),
      py::method<codec_serialize_response>("serialize_response_headers", kResponse,
                                           "A response head as HEADERS (and CONTINUATION) frames."),
      py::method<codec_serialize_trailers>("serialize_trailers", kTrailers,
                                           "Trailer fields as HEADERS (and CONTINUATION) frames with END_STREAM."),
      py::method<codec_serialize_data>("serialize_data", kData, "One unpadded DATA frame."),
      py::method<codec_serialize_window_update>("serialize_window_update", kWindowUpdate,
                                                "One WINDOW_UPDATE frame."),
      py::method<codec_serialize_ping<kPing, false>>("serialize_ping", kPing, "One PING frame."),
      py::method<codec_serialize_ping<kPingAck, true>>("serialize_ping_ack", kPingAck, "One PING frame with ACK."),
      py::method<codec_serialize_go_away>("serialize_go_away", kGoAway, "One GOAWAY frame on stream 0."),
      py::method<codec_serialize_rst_stream>("serialize_rst_stream", kRstStream, "One RST_STREAM frame."),
  };
  d.getters = {py::property<codec_role_client>("role_client", "True for the client role.")};
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* h2_codec_type() { return py::cached_type<build_codec>(); }

py::Ref h2_frame_record(h2::Frame& f) { return wrap_frame(f); }

bool h2_data_fields(PyObject* rec, H2DataFields& out) {
  if (Py_TYPE(rec) != h2_frame_data_type()) return false;
  const DataRec& r = py::unbox<DataRec>(rec);
  out = H2DataFields{r.stream_id, r.end_stream, r.flow_controlled_len, r.data.get()};
  return true;
}

bool h2_headers_fields(PyObject* rec, h2::HeadersInfo& out) {
  if (Py_TYPE(rec) != h2_frame_headers_type()) return false;
  const HeadersRec& r = py::unbox<HeadersRec>(rec);
  out.stream_id = r.stream_id;
  out.end_stream = r.end_stream;
  out.informational = r.status && *r.status >= 100 && *r.status <= 199;
  out.content_length = r.content_length;
  out.content_length_invalid = r.content_length_invalid;
  out.shape = r.shape;
  out.truncated = r.truncated;
  out.extended_connect = r.protocol.get() != Py_None;
  return true;
}

bool h2_pair_fields(PyObject* rec, PyTypeObject* type, uint32_t& stream_id, uint32_t& value) {
  if (Py_TYPE(rec) != type) return false;
  const PairRec& r = py::unbox<PairRec>(rec);
  stream_id = r.stream_id;
  value = r.value;
  return true;
}

bool h2_go_away_fields(PyObject* rec, uint32_t& last_stream_id, uint32_t& error_code, std::string_view& debug) {
  if (Py_TYPE(rec) != h2_frame_go_away_type()) return false;
  const GoAwayRec& r = py::unbox<GoAwayRec>(rec);
  last_stream_id = r.last_stream_id;
  error_code = r.error_code;
  debug = std::string_view(PyBytes_AS_STRING(r.debug_data.get()), static_cast<size_t>(PyBytes_GET_SIZE(r.debug_data.get())));
  return true;
}
PyTypeObject* h2_frame_headers_type() { return py::cached_type<build_headers>(); }
PyTypeObject* h2_frame_data_type() { return py::cached_type<build_data>(); }
PyTypeObject* h2_frame_settings_type() { return py::cached_type<build_settings>(); }
PyTypeObject* h2_frame_window_update_type() { return py::cached_type<build_window_update>(); }
PyTypeObject* h2_frame_ping_type() { return py::cached_type<build_ping>(); }
PyTypeObject* h2_frame_go_away_type() { return py::cached_type<build_go_away>(); }
PyTypeObject* h2_frame_rst_stream_type() { return py::cached_type<build_rst_stream>(); }
PyTypeObject* h2_frame_priority_type() { return py::cached_type<build_priority>(); }
PyTypeObject* h2_frame_stream_error_type() { return py::cached_type<build_stream_error>(); }

}  // namespace quillon::bind
