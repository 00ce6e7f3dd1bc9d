// A host for the HTTP/1 connection states made of counted references, shared
// by the core tests and the fuzz harness. It holds the states to their
// ownership contract, which the interpreter cannot observe: no reference is
// released inside a step (a dropped one goes to bury()), and a reference
// handed back is one the host gave in. Bytes objects and body decoders are
// real: a watcher's read has contents, and a decoder is the core's own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "h1/body_decoder.hpp"
#include "h1/conn.hpp"

namespace h1host {

// Everything the references count, reset for each test or fuzz input.
struct World {
  std::map<int, int> refs;  // live references per object
  std::map<int, std::string> bytes;
  std::map<int, quillon::h1::BodyDecoder> decoders;
  int next_id = 1;
  bool in_step = false;
  int released_in_step = 0;

  static World& get() {
    static World w;
    return w;
  }
  void reset() { *this = World{}; }
};

// One counted reference to an opaque object; copies are new references.
class Ref {
 public:
  Ref() = default;
  static Ref make() { return Ref(World::get().next_id++); }
  static Ref make_bytes(std::string_view b) {
    Ref r = make();
    World::get().bytes[r.id_] = std::string(b);
    return r;
  }
  static Ref make_decoder() {
    Ref r = make();
    World::get().decoders.emplace(r.id_, quillon::h1::BodyDecoder(quillon::h1::BodyKind::Empty));
    return r;
  }

  Ref(const Ref& o) : Ref(o.id_) {}
  Ref(Ref&& o) noexcept : id_(std::exchange(o.id_, 0)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(id_, o.id_);
    return *this;
  }
  ~Ref() {
    if (!id_) return;
    World& w = World::get();
    --w.refs[id_];
    if (w.in_step) ++w.released_in_step;
  }

  int id() const { return id_; }
  explicit operator bool() const { return id_ != 0; }
  friend bool operator==(const Ref& a, const Ref& b) { return a.id_ == b.id_; }

 private:
  explicit Ref(int id) : id_(id) {
    if (id_) ++World::get().refs[id_];
  }
  int id_ = 0;
};

struct Host {
  using Handle = Ref;
  std::vector<Ref> grave;
  void bury(Ref&& r) {
    if (r) grave.push_back(std::move(r));
  }
  static std::string_view bytes(const Ref& r) { return World::get().bytes.at(r.id()); }
};

struct ServerHost : Host {
  quillon::h1::CodecState codec_state;
  quillon::h1::CodecConfig codec_config;
  quillon::h1::CodecState& codec() { return codec_state; }
  const quillon::h1::CodecConfig& config() { return codec_config; }
  static quillon::h1::BodyDecoder& decoder(const Ref& r) { return World::get().decoders.at(r.id()); }
  std::string leftover(const Ref& dec, bool whole) {
    quillon::h1::BodyDecoder& d = decoder(dec);
    if (!whole && !d.is_complete()) return {};
    return d.take_leftover();
  }
  bool start_decoder(const Ref& dec, quillon::h1::BodyKind kind, uint64_t n, std::string&& bytes) {
    quillon::h1::BodyDecoder& d = decoder(dec);
    d = quillon::h1::BodyDecoder(kind, n);
    if (!bytes.empty()) d.append(std::move(bytes));
    return d.is_complete();
  }
};

static_assert(quillon::h1::ConnHost<Host>);
static_assert(quillon::h1::ServerHost<ServerHost>);

// Runs one step of a state as the binding does: inside it nothing may be
// released; what the state buried is released after it.
template <class Core, class H, class F>
decltype(auto) step(Core& core, H& host, F&& f) {
  struct Scope {
    H& host;
    explicit Scope(H& h) : host(h) { World::get().in_step = true; }
    ~Scope() {
      World::get().in_step = false;
      host.grave.clear();
    }
  } scope(host);
  return f(core, host);
}

// References of `core` that its visit() reports.
template <class Core>
std::vector<int> held(const Core& core) {
  std::vector<int> ids;
  core.visit([&](const Ref& r) {
    if (r) ids.push_back(r.id());
    return 0;
  });
  return ids;
}

}  // namespace h1host
