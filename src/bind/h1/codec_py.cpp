// H1Codec, its head records and H1BodyDecoder: the host face of the HTTP/1
// core. Every method converts its arguments first, does its protocol step
// under the object's mutex on plain C++ state, and builds host objects only
// after the mutex is released.
#include <cstring>
#include <optional>
#include <string>

#include "errors.hpp"
#include "h1/body_decoder.hpp"
#include "h1/body_encoder.hpp"
#include "h1/codec.hpp"
#include "h1/encode.hpp"
#include "h1/parse.hpp"
#include "module.hpp"

namespace quillon::bind {

namespace {

using h1::BodyKind;
using h1::Method;

// ---------------------------------------------------------------------------
// Shared immutable objects: interned method and body-kind strings, the
// chunked terminator and the 100-continue response. Created once per process.

PyObject* method_str(Method m) {
  static PyObject* cache[static_cast<int>(Method::Extension) + 1] = {};
  PyObject*& slot = cache[static_cast<int>(m)];
  if (!slot) slot = py::interned(std::string(h1::request_method_name(m)).c_str());
  return slot;
}

PyObject* body_kind_str(BodyKind k) {
  static PyObject* cache[4] = {};
  PyObject*& slot = cache[static_cast<int>(k)];
  if (!slot) slot = py::interned(std::string(h1::body_kind_name(k)).c_str());
  return slot;
}

PyObject* shared_bytes(PyObject*& slot, std::string_view text) {
  if (!slot) slot = py::bytes(text).release();
  return slot;
}

PyObject* terminator() {
  static PyObject* t = nullptr;
  return shared_bytes(t, h1::kChunkedTerminator);
}

PyObject* continue_bytes() {
  static PyObject* c = nullptr;
  return shared_bytes(c, h1::kContinueResponse);
}

py::Ref empty_bytes() { return py::Ref::check(PyBytes_FromStringAndSize(nullptr, 0)); }

py::Ref opt_u64(const std::optional<uint64_t>& v) { return v ? py::uinteger(*v) : py::none(); }

[[noreturn]] void raise_h1(const h1::Failure& f) { throw errors::from_h1(f); }

// ---------------------------------------------------------------------------
// Head records

struct RequestHeadRec {
  py::Ref method, target, headers, body_kind;
  std::optional<uint64_t> content_length;
  bool keep_alive, expect_continue, is_upgrade, http10, allow_trailers;
};

struct ResponseHeadRec {
  unsigned status;
  py::Ref headers, body_kind;
  std::optional<uint64_t> content_length;
  bool keep_alive, is_upgrade, http10;
};

template <class R, py::Ref R::*F>
py::Ref ref_field(PyObject* self) {
  return py::unbox<R>(self).*F;
}
template <class R, bool R::*F>
py::Ref bool_field(PyObject* self) {
  return py::boolean(py::unbox<R>(self).*F);
}
template <class R>
py::Ref content_length_field(PyObject* self) {
  return opt_u64(py::unbox<R>(self).content_length);
}

py::Ref request_head_repr(PyObject* self) {
  auto& r = py::unbox<RequestHeadRec>(self);
  return py::Ref::check(PyUnicode_FromFormat("H1RequestHead(method=%R, target=%R, body_kind=%U)", r.method.get(),
                                             r.target.get(), r.body_kind.get()));
}

py::Ref response_head_repr(PyObject* self) {
  auto& r = py::unbox<ResponseHeadRec>(self);
  return py::Ref::check(PyUnicode_FromFormat("H1ResponseHead(status=%u, body_kind=%U, keep_alive=%s)", r.status,
                                             r.body_kind.get(), r.keep_alive ? "true" : "false"));
}

PyTypeObject* build_request_head() {
  using R = RequestHeadRec;
  py::TypeDef d = py::type_def<R>("H1RequestHead",
                                  "A parsed HTTP/1 request head (returned by H1Codec.receive_request_head).",
                                  py::kNoConstructor);
  d.slots = {py::slots::repr<request_head_repr>()};
  d.getters = {
      py::property<ref_field<R, &R::method>>("method", "The request method (standard methods are shared strings)."),
      py::property<ref_field<R, &R::target>>("target", "The request-target, verbatim."),
      py::property<ref_field<R, &R::headers>>("headers", "The header fields (quillon.http.HeaderMap)."),
      py::property<bool_field<R, &R::keep_alive>>("keep_alive",
                                                  "The connection may serve another request after this one."),
      py::property<ref_field<R, &R::body_kind>>("body_kind", "\"empty\", \"length\" or \"chunked\"."),
      py::property<content_length_field<R>>("content_length",
                                            "The body length for \"length\", 0 for \"empty\", None for \"chunked\"."),
      py::property<bool_field<R, &R::expect_continue>>("expect_continue",
                                                       "The request carried Expect: 100-continue."),
      py::property<bool_field<R, &R::is_upgrade>>("is_upgrade",
                                                  "A CONNECT request or an HTTP/1.1 upgrade: the connection "
                                                  "becomes a tunnel."),
      py::property<bool_field<R, &R::http10>>("http10", "The request line said HTTP/1.0."),
      py::property<bool_field<R, &R::allow_trailers>>("allow_trailers",
                                                      "The request declared TE: trailers."),
  };
  return py::build_type(std::move(d));
}

py::Ref status_field(PyObject* self) { return py::integer(py::unbox<ResponseHeadRec>(self).status); }

PyTypeObject* build_response_head() {
  using R = ResponseHeadRec;
  py::TypeDef d = py::type_def<R>("H1ResponseHead",
                                  "A parsed HTTP/1 response head (returned by H1Codec.receive_head).",
                                  py::kNoConstructor);
  d.slots = {py::slots::repr<response_head_repr>()};
  d.getters = {
      py::property<status_field>("status", "The status code (100..999)."),
      py::property<ref_field<R, &R::headers>>("headers", "The header fields (quillon.http.HeaderMap)."),
      py::property<bool_field<R, &R::keep_alive>>("keep_alive",
                                                  "The connection may be reused after this response."),
      py::property<ref_field<R, &R::body_kind>>("body_kind",
                                                "\"empty\", \"length\", \"chunked\" or \"close\"."),
      py::property<content_length_field<R>>("content_length",
                                            "The body length for \"length\", 0 for \"empty\", else None."),
      py::property<bool_field<R, &R::is_upgrade>>("is_upgrade",
                                                  "A 101, or a 2xx answer to CONNECT: the connection becomes a "
                                                  "raw tunnel."),
      py::property<bool_field<R, &R::http10>>("http10", "The status line said HTTP/1.0."),
  };
  return py::build_type(std::move(d));
}

py::Ref wrap_request_head(h1::RequestHead&& h) {
  py::Ref method = h.method == Method::Extension ? py::ascii_str(h.method_text) : py::Ref::borrow(method_str(h.method));
  py::Ref target = py::ascii_str(h.target);
  py::Ref headers = wrap_header_map(std::move(h.headers));
  return py::make<RequestHeadRec>(
      h1_request_head_type(),
      RequestHeadRec{std::move(method), std::move(target), std::move(headers),
                     py::Ref::borrow(body_kind_str(h.body_kind)), h.content_length,
                     // A request framed by both content-length and
                     // transfer-encoding was framed differently by whoever
                     // let it through: answer it, then close.
                     h.keep_alive && !h.framing_conflict, h.expect_continue, h.is_upgrade, h.http10,
                     h.allow_trailers});
}

py::Ref wrap_response_head(h1::ResponseHead&& h) {
  py::Ref headers = wrap_header_map(std::move(h.headers));
  return py::make<ResponseHeadRec>(h1_response_head_type(),
                                   ResponseHeadRec{h.status, std::move(headers),
                                                   py::Ref::borrow(body_kind_str(h.body_kind)), h.content_length,
                                                   h.keep_alive, h.is_upgrade, h.http10});
}

// ---------------------------------------------------------------------------
// H1BodyDecoder

// The decoder's input lies in two places: `dec`'s own buffer, and `pending`,
// the bytes object fed last while that buffer was empty, of which the bytes
// from `pending_pos` on are still unread. Pieces decoded straight from
// `pending` cost one copy of the body bytes, or none when a piece is the
// whole object (it is handed back itself). At most one of the two holds
// bytes, and `pending` never holds an empty remainder: whatever appends to
// or reads from `dec`'s buffer calls flush() first, so the byte order holds.
// Only exact bytes objects are kept (a subclass could carry a reference
// back to the decoder and hold it in an uncollectable cycle).
struct DecoderObj {
  py::Mutex mu;
  h1::BodyDecoder dec;
  py::Ref pending;
  size_t pending_pos = 0;
  DecoderObj(std::string_view kind, uint64_t length) : dec(kind, length) {}
  DecoderObj(BodyKind kind, uint64_t length) : dec(kind, length) {}

  std::string_view unread() const {
    return std::string_view(PyBytes_AS_STRING(pending.get()) + pending_pos,
                            static_cast<size_t>(PyBytes_GET_SIZE(pending.get())) - pending_pos);
  }
  size_t buffered() const { return dec.buffered() + (pending ? unread().size() : 0); }
  // Under the lock: moves the unread bytes of `pending` into dec's buffer;
  // the object itself is released with `gy`, after the lock.
  void flush(py::Graveyard& gy) {
    if (!pending) return;
    dec.feed(unread());
    gy.bury(std::move(pending));
    pending_pos = 0;
  }
};

DecoderObj& decoder_of(PyObject* o) { return py::unbox<DecoderObj>(o); }

constexpr py::Sig kDecoderCtor("H1BodyDecoder", "kind, length=0");
py::Ref decoder_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kDecoderCtor>(args, nargs, kwnames);
  std::string_view kind = a.str("kind");
  uint64_t length = a["length"] ? a.u64("length") : 0;
  return py::make<DecoderObj>(type, kind, length);
}

constexpr py::Sig kDecoderFeed("H1BodyDecoder.feed", "data");
py::Ref decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kDecoderFeed>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  DecoderObj& d = decoder_of(self);
  py::Graveyard gy;
  py::locked(d, [&] {
    if (data.empty()) {
      // Nothing to add; keeps `pending` from ever being empty.
    } else if (!d.pending && d.dec.buffered() == 0 && PyBytes_CheckExact(a["data"])) {
      d.pending = py::Ref::borrow(a["data"]);
      d.pending_pos = 0;
    } else {
      d.flush(gy);
      d.dec.feed(data);
    }
  });
  return py::none();
}

py::Ref decoder_mark_eof(PyObject* self) {
  DecoderObj& d = decoder_of(self);
  py::locked(d, [&] { d.dec.mark_eof(); });
  return py::none();
}

py::Ref decoder_decode(PyObject* self) {
  DecoderObj& d = decoder_of(self);
  for (;;) {
    // Declared before the guards: released only once the mutex is free.
    py::Ref source;
    std::string_view piece;
    size_t want = 0;
    const auto st = py::locked(d, [&] {
      if (d.pending) {
        // Decoded in place: `source` keeps the piece's memory alive past the
        // lock, whatever another thread does to the decoder meanwhile.
        std::string_view input = d.unread();
        const size_t before = input.size();
        const auto st = d.dec.decode_from(input, piece);
        d.pending_pos += before - input.size();
        if (input.empty()) {
          source = std::move(d.pending);
          d.pending_pos = 0;
        } else if (st == h1::BodyDecoder::Status::Data) {
          source = d.pending;  // a new reference: no host code runs
        }
        if (st == h1::BodyDecoder::Status::Error) raise_h1(d.dec.failure());
        return st;
      }
      // From the decoder's own buffer: the piece is sized under the lock,
      // its bytes object allocated without it, then filled under the lock
      // again (one copy, and no host object created under the mutex).
      const auto st = d.dec.peek(piece);
      if (st == h1::BodyDecoder::Status::Error) raise_h1(d.dec.failure());
      want = piece.size();
      return st;
    });
    if (st == h1::BodyDecoder::Status::None) return py::none();
    if (source) {
      if (piece.data() == PyBytes_AS_STRING(source.get()) &&
          piece.size() == static_cast<size_t>(PyBytes_GET_SIZE(source.get())))
        return source;
      return py::bytes(piece);
    }
    char* out = nullptr;
    py::Ref result = py::bytes_uninit(want, &out);
    // A racing decode() may have shrunk or taken the piece, and a racing
    // feed() may have left new input in `pending`: start over then (0).
    const size_t got = py::locked(d, [&]() -> size_t {
      if (d.pending) return 0;
      if (d.dec.peek(piece) != h1::BodyDecoder::Status::Data) return 0;
      const size_t n = std::min(want, piece.size());
      std::memcpy(out, piece.data(), n);
      d.dec.consume(n);
      return n;
    });
    if (got == 0) continue;
    if (got < want) {
      PyObject* r = result.release();
      if (_PyBytes_Resize(&r, static_cast<Py_ssize_t>(got)) < 0) throw py::PyErrSet{};
      result = py::Ref::steal(r);
    }
    return result;
  }
}

py::Ref decoder_is_complete(PyObject* self) {
  DecoderObj& d = decoder_of(self);
  return py::boolean(py::locked(d, [&] { return d.dec.is_complete(); }));
}

py::Ref decoder_buffered(PyObject* self) {
  DecoderObj& d = decoder_of(self);
  return py::uinteger(py::locked(d, [&] { return d.buffered(); }));
}

py::Ref decoder_take_trailers(PyObject* self) {
  DecoderObj& d = decoder_of(self);
  std::optional<http::HeaderMapCore> t = py::locked(d, [&] { return d.dec.take_trailers(); });
  if (!t) return py::none();
  return wrap_header_map(std::move(*t));
}

PyTypeObject* build_decoder() {
  py::TypeDef d = py::type_def<DecoderObj>(
      "H1BodyDecoder",
      "Decodes one HTTP/1 message body: \"length\" (exactly length bytes), \"chunked\" (with\n"
      "extensions and trailers) or \"close\" (until mark_eof()); any other kind is complete at\n"
      "once. Feed received bytes with feed(), pull pieces with decode() until is_complete.");
  py::set_ctor<decoder_new>(d, kDecoderCtor);
  d.methods = {
      py::method<decoder_feed>("feed", kDecoderFeed, "Append received body bytes; nothing is decoded here."),
      py::noargs<decoder_mark_eof>("mark_eof",
                                   "The transport closed: a close-delimited body ends here; a length or chunked\n"
                                   "body still expecting bytes fails on the next decode()."),
      py::noargs<decoder_decode>("decode",
                                 "The next piece of body data as bytes, or None (see is_complete to tell the\n"
                                 "end of the body from a need for more input). Raises H1BodyError."),
      py::noargs<decoder_take_trailers>("take_trailers",
                                        "The trailer fields of a completed chunked body (a HeaderMap), moved "
                                        "out once; else None."),
  };
  d.getters = {
      py::property<decoder_is_complete>("is_complete", "The body has ended."),
      py::property<decoder_buffered>("buffered",
                                     "Bytes in the input buffer: unconsumed input, or after completion the bytes\n"
                                     "that follow the body."),
  };
  return py::build_type(std::move(d));
}

// ---------------------------------------------------------------------------
// H1Codec

struct CodecObj {
  py::Mutex mu;
  const h1::CodecConfig config;
  h1::CodecState state;
  explicit CodecObj(const h1::CodecConfig& c) : config(c) {}
};

CodecObj& codec_of(PyObject* o) { return py::unbox<CodecObj>(o); }

constexpr py::Sig kCodecCtor("H1Codec",
                             "*, max_headers=None, ignore_invalid_headers=False, title_case_headers=False, "
                             "date_header=True, max_buf_size=417792");
py::Ref codec_new(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kCodecCtor>(args, nargs, kwnames);
  h1::CodecConfig c;
  c.max_headers = a.has("max_headers") ? a.u64("max_headers") : h1::kDefaultMaxHeaders;
  c.ignore_invalid_headers = a.flag("ignore_invalid_headers", false);
  c.title_case_headers = a.flag("title_case_headers", false);
  c.date_header = a.flag("date_header", true);
  c.max_buf_size = a["max_buf_size"] ? a.u64("max_buf_size") : h1::kDefaultMaxBufSize;
  if (c.max_buf_size < h1::kMinMaxBufSize) throw py::value_error("the max_buf_size cannot be smaller than 8192");
  return py::make<CodecObj>(type, c);
}

// Appends `data` to the read buffer and parses one head of the codec's role
// from it: None while incomplete, the record once parsed.
template <const py::Sig& S, class Head, h1::HeadResult (*Parse)(h1::CodecState&, const h1::CodecConfig&, Head&),
          py::Ref (*Wrap)(Head&&)>
py::Ref receive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<S>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  CodecObj& c = codec_of(self);
  Head head;
  const bool parsed = py::locked(c, [&] {
    c.state.read.append(data);
    h1::HeadResult r = Parse(c.state, c.config, head);
    if (r.status == h1::HeadStatus::Error) raise_h1(h1::Failure::parse(r.error));
    return r.status != h1::HeadStatus::Incomplete;
  });
  if (!parsed) return py::none();
  return Wrap(std::move(head));
}

constexpr py::Sig kReceiveHead("H1Codec.receive_head", "data");
py::Ref codec_receive_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return receive<kReceiveHead, h1::ResponseHead, h1::parse_response_head, wrap_response_head>(self, args, nargs,
                                                                                               kwnames);
}

constexpr py::Sig kReceiveRequestHead("H1Codec.receive_request_head", "data");
py::Ref codec_receive_request_head(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return receive<kReceiveRequestHead, h1::RequestHead, h1::parse_request_head, wrap_request_head>(self, args, nargs,
                                                                                                   kwnames);
}

constexpr py::Sig kFeed("H1Codec.feed", "data");
py::Ref codec_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kFeed>(args, nargs, kwnames);
  std::string_view data = a.bytes("data");
  CodecObj& c = codec_of(self);
  py::locked(c, [&] { c.state.read.append(data); });
  return py::none();
}

py::Ref codec_take_body(PyObject* self) {
  CodecObj& c = codec_of(self);
  std::string body = py::locked(c, [&] { return c.state.read.take_all(); });
  return py::bytes(body);
}

constexpr py::Sig kTakeBodyInto("H1Codec.take_body_into", "decoder");
py::Ref codec_take_body_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kTakeBodyInto>(args, nargs, kwnames);
  if (!Py_IS_TYPE(a["decoder"], h1_body_decoder_type())) a.bad_type("decoder", "H1BodyDecoder");
  CodecObj& c = codec_of(self);
  std::string body = py::locked(c, [&] { return c.state.read.take_all(); });
  if (!body.empty()) {
    DecoderObj& d = decoder_of(a["decoder"]);
    py::Graveyard gy;
    py::locked(d, [&] {
      d.flush(gy);
      d.dec.append(std::move(body));
    });
  }
  return py::none();
}

py::Ref codec_buffered(PyObject* self) {
  CodecObj& c = codec_of(self);
  return py::uinteger(py::locked(c, [&] { return c.state.read.size(); }));
}

py::Ref codec_reset(PyObject* self) {
  CodecObj& c = codec_of(self);
  py::locked(c, [&] { c.state.reset(); });
  return py::none();
}

py::Ref codec_parse_error_status(PyObject* self) {
  CodecObj& c = codec_of(self);
  std::optional<uint16_t> s = py::locked(c, [&] { return c.state.parse_error_status; });
  return s ? py::integer(*s) : py::none();
}

py::Ref codec_max_buf_size(PyObject* self) { return py::uinteger(codec_of(self).config.max_buf_size); }

template <bool h1::CodecState::*F>
py::Ref codec_flag(PyObject* self) {
  CodecObj& c = codec_of(self);
  return py::boolean(py::locked(c, [&] { return c.state.*F; }));
}

// --- head encoding ---------------------------------------------------------


h1::BodyLength body_length_arg(py::Arg cl, bool chunked) {
  if (chunked) {
    if (cl.given()) py::arg_u64(cl);  // still type-checked
    return h1::BodyLength::unknown();
  }
  if (cl.given()) return h1::BodyLength::known(py::arg_u64(cl));
  return h1::BodyLength::none();
}


constexpr py::Sig kSerializeRequest("H1Codec.serialize_request",
                                    "method, url, headers=None, *, http10=False, content_length=None, chunked=False");
py::Ref codec_serialize_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSerializeRequest>(args, nargs, kwnames);
  std::string_view method = a.str("method");
  std::string_view url = a.str("url");
  http::HeaderMapCore headers = h1_headers_arg(a.arg("headers"));
  bool http10 = a.flag("http10", false);
  bool chunked = a.flag("chunked", false);
  h1::BodyLength body = body_length_arg(a.arg("content_length"), chunked);
  CodecObj& c = codec_of(self);
  std::string out;
  py::locked(c, [&] {
    h1::EncodeError e = h1::serialize_request(c.state, method, url, std::move(headers), http10, body, out);
    if (e) raise_h1_encode(e);
  });
  return py::bytes(out);
}

constexpr py::Sig kSerializeResponse("H1Codec.serialize_response",
                                     "status, headers=None, *, keep_alive=True, http10=False, content_length=None, "
                                     "chunked=False");
py::Ref codec_serialize_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSerializeResponse>(args, nargs, kwnames);
  const uint16_t status = h1_status_arg(a.arg("status"));
  PyObject* headers = h1_headers_ref(a.arg("headers"));
  bool keep_alive = a.flag("keep_alive", true);
  bool http10 = a.flag("http10", false);
  bool chunked = a.flag("chunked", false);
  h1::BodyLength body = body_length_arg(a.arg("content_length"), chunked);
  CodecObj& c = codec_of(self);
  std::string out;
  py::locked(c, [&] {
    read_header_map(headers, [&](const http::HeaderMapCore& h) {
      h1::EncodeError e = h1::serialize_response(c.state, c.config, status, h, keep_alive, http10, body, out);
      if (e) raise_h1_encode(e);
    });
  });
  return py::bytes(out);
}

constexpr py::Sig kContinue("continue_response", "");
py::Ref codec_continue_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::parse<kContinue>(args, nargs, kwnames);
  return py::Ref::borrow(continue_bytes());
}

constexpr py::Sig kConnectionClose("connection_close", "headers");
py::Ref codec_connection_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kConnectionClose>(args, nargs, kwnames);
  if (!is_header_map(a["headers"])) a.bad_type("headers", "HeaderMap");
  return py::boolean(h1::connection_close(copy_header_map(a["headers"])));
}

// --- body encoding ---------------------------------------------------------

py::Ref frame_chunk(const h1::DataPlan& plan, PyObject* chunk, std::string_view data) {
  switch (plan.kind) {
    case h1::DataPlan::Kind::NoRequest:
      throw py::value_error(std::string(h1::kNoRequestMessage));
    case h1::DataPlan::Kind::Unchanged:
      return py::Ref::borrow(chunk);
    case h1::DataPlan::Kind::Prefix:
      return py::bytes(data.substr(0, plan.size));
    case h1::DataPlan::Kind::Chunked: {
      char* out = nullptr;
      py::Ref r = py::bytes_uninit(plan.size, &out);
      h1::write_chunk(out, data);
      return r;
    }
  }
  py::fail_internal("unknown data plan");
}

constexpr py::Sig kSerializeData("H1Codec.serialize_data", "chunk");
py::Ref codec_serialize_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSerializeData>(args, nargs, kwnames);
  std::string_view data = a.bytes("chunk");
  CodecObj& c = codec_of(self);
  const h1::DataPlan plan = py::locked(c, [&] { return h1::encode_data(c.state, data.size()); });
  return frame_chunk(plan, a["chunk"], data);
}

py::Ref finish_body(const h1::BodyEnd& end) {
  switch (end.kind) {
    case h1::BodyEnd::Kind::Empty:
      return empty_bytes();
    case h1::BodyEnd::Kind::Terminator:
      return py::Ref::borrow(terminator());
    case h1::BodyEnd::Kind::Aborted:
      raise_h1(end.failure());
    case h1::BodyEnd::Kind::Trailers: {
      char* out = nullptr;
      py::Ref r = py::bytes_uninit(end.size, &out);
      end.write(out);
      return r;
    }
  }
  py::fail_internal("unknown body end");
}

py::Ref codec_serialize_end(PyObject* self) {
  CodecObj& c = codec_of(self);
  const h1::BodyEnd end = py::locked(c, [&] { return h1::encode_end(c.state); });
  return finish_body(end);
}

constexpr py::Sig kSerializeTrailers("H1Codec.serialize_trailers", "trailers");
py::Ref codec_serialize_trailers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kSerializeTrailers>(args, nargs, kwnames);
  if (!is_header_map(a["trailers"])) a.bad_type("trailers", "HeaderMap");
  http::HeaderMapCore trailers = copy_header_map(a["trailers"]);
  CodecObj& c = codec_of(self);
  const h1::BodyEnd end = py::locked(c, [&] { return h1::encode_trailers(c.state, trailers); });
  return finish_body(end);
}

constexpr py::Sig kHeadAndBody("H1Codec.serialize_head_and_body", "head, body=None, trailers=None");
py::Ref codec_serialize_head_and_body(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto a = py::parse<kHeadAndBody>(args, nargs, kwnames);
  std::string_view head = a.bytes("head");
  std::string_view body = a.has("body") ? a.bytes("body") : std::string_view();
  std::optional<http::HeaderMapCore> trailers;
  if (a.has("trailers")) {
    if (!is_header_map(a["trailers"])) a.bad_type("trailers", "HeaderMap or None");
    trailers = copy_header_map(a["trailers"]);
  }
  CodecObj& c = codec_of(self);
  const h1::MessagePlan plan =
      py::locked(c, [&] { return h1::plan_head_and_body(c.state, head.size(), body, trailers ? &*trailers : nullptr); });
  if (plan.failed()) raise_h1(plan.end.failure());
  if (plan.head_only) return py::Ref::borrow(a["head"]);
  char* out = nullptr;
  py::Ref r = py::bytes_uninit(plan.total, &out);
  h1::write_message(plan, head, body, out);
  return r;
}

py::Ref codec_body_is_eof(PyObject* self) {
  CodecObj& c = codec_of(self);
  return py::boolean(py::locked(c, [&] { return h1::body_is_eof(c.state); }));
}

PyTypeObject* build_codec() {
  py::TypeDef d = py::type_def<CodecObj>(
      "H1Codec",
      "The sans-IO HTTP/1.1 codec of one connection, for either role: heads are parsed from\n"
      "the bytes fed to it and encoded with their body framing; body chunks are framed with the\n"
      "framing the last head chose. It never touches a socket.");
  py::set_ctor<codec_new>(d, kCodecCtor);
  d.methods = {
      py::method<codec_receive_head>("receive_head", kReceiveHead,
                                     "Append data and parse one response head (client). None when more bytes\n"
                                     "are needed; raises H1ParseError on a malformed head."),
      py::method<codec_receive_request_head>(
          "receive_request_head", kReceiveRequestHead,
          "Append data and parse one request head (server). None when more bytes are needed; on a\n"
          "malformed head sets parse_error_status and raises H1ParseError."),
      py::method<codec_feed>("feed", kFeed, "Append bytes to the read buffer without parsing."),
      py::noargs<codec_take_body>("take_body", "Remove and return everything in the read buffer."),
      py::method<codec_take_body_into>("take_body_into", kTakeBodyInto,
                                       "Move everything in the read buffer into decoder's input."),
      py::noargs<codec_buffered>("buffered", "Number of bytes in the read buffer."),
      py::noargs<codec_reset>("reset", "Start the next message; the read buffer is kept."),
      py::method<codec_serialize_request>("serialize_request", kSerializeRequest,
                                          "Encode a request head and fix the body framing."),
      py::method<codec_serialize_response>("serialize_response", kSerializeResponse,
                                           "Encode a response head for the recorded request and fix the body\n"
                                           "framing."),
      py::method<codec_continue_response>("continue_response", kContinue,
                                          "The interim \"HTTP/1.1 100 Continue\" response.", true),
      py::method<codec_connection_close>("connection_close", kConnectionClose,
                                         "True when any connection line of headers holds the token close.", true),
      py::method<codec_serialize_data>("serialize_data", kSerializeData,
                                       "Frame one body chunk (the chunk itself where framing leaves it "
                                       "untouched)."),
      py::noargs<codec_serialize_end>("serialize_end", "End the body; raises H1UserError for a short body."),
      py::method<codec_serialize_trailers>("serialize_trailers", kSerializeTrailers,
                                           "End a chunked body with the declared, allowed trailer fields."),
      py::method<codec_serialize_head_and_body>("serialize_head_and_body", kHeadAndBody,
                                                "One whole message (head, framed body, end) in one buffer."),
      py::noargs<codec_body_is_eof>("body_is_eof", "True when the in-flight framing carries no body."),
  };
  d.getters = {
      py::property<codec_parse_error_status>("parse_error_status",
                                             "The automatic status for the last failed request head (400, 414,\n"
                                             "431, 501), or None."),
      py::property<codec_max_buf_size>("max_buf_size", "Cap on buffered bytes of an incomplete head."),
      py::property<codec_flag<&h1::CodecState::request_connection_close>>(
          "request_connection_close", "The request serialized last carried connection: close."),
      py::property<codec_flag<&h1::CodecState::response_is_last>>(
          "response_is_last", "The connection closes after the response serialized last."),
      py::property<codec_flag<&h1::CodecState::response_close_delimited>>(
          "response_close_delimited", "The body of the response serialized last ends by closing."),
  };
  return py::build_type(std::move(d));
}

}  // namespace

PyTypeObject* h1_codec_type() { return py::cached_type<build_codec>(); }
PyTypeObject* h1_request_head_type() { return py::cached_type<build_request_head>(); }
PyTypeObject* h1_response_head_type() { return py::cached_type<build_response_head>(); }
PyTypeObject* h1_body_decoder_type() { return py::cached_type<build_decoder>(); }

bool is_h1_codec(PyObject* o) { return Py_IS_TYPE(o, h1_codec_type()); }

H1CodecCore h1_codec_core(PyObject* codec) {
  CodecObj& c = codec_of(codec);
  return H1CodecCore{c.mu, c.state, c.config};
}

py::Ref wrap_h1_request_head(h1::RequestHead&& head) { return wrap_request_head(std::move(head)); }

py::Ref new_h1_body_decoder() { return py::make<DecoderObj>(h1_body_decoder_type(), BodyKind::Empty, 0); }

bool start_h1_body_decoder(PyObject* decoder, BodyKind kind, uint64_t length, std::string&& bytes) {
  DecoderObj& d = decoder_of(decoder);
  return py::locked(d, [&] {
    d.dec = h1::BodyDecoder(kind, length);
    if (!bytes.empty()) d.dec.append(std::move(bytes));
    return d.dec.is_complete();
  });
}

std::string take_h1_decoder_bytes(PyObject* decoder, bool whole, py::Graveyard& gy) {
  DecoderObj& d = decoder_of(decoder);
  return py::locked(d, [&] {
    if (!whole && !d.dec.is_complete()) return std::string();
    d.flush(gy);
    return d.dec.take_leftover();
  });
}

void raise_h1_encode(const h1::EncodeError& e) {
  switch (e.kind) {
    case h1::EncodeError::Kind::ValueError:
      throw py::value_error(e.message);
    case h1::EncodeError::Kind::User:
      throw errors::from_h1(e.failure);
    case h1::EncodeError::Kind::Internal:
      py::fail_internal(e.message);
    case h1::EncodeError::Kind::None:
      break;
  }
  py::fail_internal("an encoder error was raised without one");
}

PyObject* h1_headers_ref(py::Arg a) {
  if (!a.given()) return nullptr;
  PyObject* o = a.value;
  if (!is_header_map(o)) a.bad_type("HeaderMap or None");
  // Read under its own mutex inside the codec's step: a poisoned map must
  // fail the call here, not poison the codec or connection state.
  header_map_mutex(o).check_usable();
  return o;
}

http::HeaderMapCore h1_headers_arg(py::Arg a) {
  PyObject* m = h1_headers_ref(a);
  return m ? copy_header_map(m) : http::HeaderMapCore();
}

uint16_t h1_status_arg(py::Arg a) {
  static const std::string message(h1::kInvalidStatusMessage);
  return static_cast<uint16_t>(py::arg_int_in(a, 100, 999, message.c_str()));
}

}  // namespace quillon::bind
