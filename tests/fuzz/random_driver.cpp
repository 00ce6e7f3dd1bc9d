// Stand-in for libFuzzer when building with g++: runs LLVMFuzzerTestOneInput
// on random and mutated inputs. Usage: <harness> [iterations=200000] [seed=1]
// Inputs start with a few random control bytes (the harnesses read their
// configuration from the first bytes) followed by a mutated seed message or
// random bytes drawn from an HTTP-flavoured alphabet. When a harness aborts
// (a failed invariant or a sanitizer report with abort_on_error), the input
// is written to random_driver_crash.bin for replay: <harness> FILE... (or
// --replay FILE...) runs each file once, as a libFuzzer binary does, so a
// kept input replays the same way whichever driver built the harness (and a
// file name is never read as a count of zero inputs, a run that passes
// having run nothing).
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const std::vector<std::string>& seeds() {
  static const std::vector<std::string> s = {
      "GET / HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n",
      "POST /upload?x=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\nhello",
      "PUT /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\nTE: trailers\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: 1\r\n\r\n",
      "CONNECT host:443 HTTP/1.1\r\nHost: host:443\r\n\r\n",
      "GET /ws HTTP/1.0\nConnection: keep-alive, Upgrade\nUpgrade: websocket\n\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1a;ext\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nA: b\r\n\r\n",
      "HTTP/1.0 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n",
      "HTTP/1.1 304 Not Modified\r\nContent-Length: 10, 10\r\n\r\n",
      "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
      "3\r\nabc\r\n0\r\n\r\n",
      "1\r\na\r\n2;n=\"q\"\r\nbc\r\nA\r\n0123456789\r\n0\r\n\r\n",
      "4 \t;x\r\nwxyz\r\n0;last\r\nExpires: never\r\nX-Checksum: abc\r\n\r\n",
      "10 ; a=b\r\n0123456789abcdef\r\n0\r\nX-Trailer: v\r\nY: w\r\n\r\nGET / HTTP/1.1\r\n\r\n",
  };
  return s;
}

const char kAlphabet[] = "\r\n\r\n: \t;,0123456789abcdefABCDEF/HTTP1.GETPOSTchunked\x00\x7f\x80\xff";

struct Mutator {
  std::mt19937_64 rng;
  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng() % n); }
  char interesting() { return kAlphabet[below(sizeof kAlphabet - 1)]; }

  void mutate(std::string& s) {
    const size_t rounds = 1 + below(6);
    for (size_t i = 0; i < rounds; ++i) {
      switch (below(8)) {
        case 0:  // flip a bit
          if (!s.empty()) s[below(s.size())] ^= static_cast<char>(1u << below(8));
          break;
        case 1:  // overwrite with a protocol byte
          if (!s.empty()) s[below(s.size())] = interesting();
          break;
        case 2:  // insert protocol bytes
          s.insert(below(s.size() + 1), 1 + below(3), interesting());
          break;
        case 3:  // delete a run
          if (!s.empty()) {
            size_t at = below(s.size());
            s.erase(at, 1 + below(std::min<size_t>(8, s.size() - at)));
          }
          break;
        case 4:  // duplicate a run (repeated lines, long values)
          if (!s.empty()) {
            size_t at = below(s.size());
            size_t n = 1 + below(std::min<size_t>(64, s.size() - at));
            std::string run = s.substr(at, n);
            size_t times = 1 + below(below(4) == 0 ? 200 : 3);
            for (size_t t = 0; t < times && s.size() < 20000; ++t) s.insert(at, run);
          }
          break;
        case 5:  // splice another seed
        {
          const std::string& other = seeds()[below(seeds().size())];
          s.insert(below(s.size() + 1), other.substr(below(other.size())));
          break;
        }
        case 6:  // truncate
          s.resize(below(s.size() + 1));
          break;
        default:  // swap case of a byte
          if (!s.empty()) s[below(s.size())] ^= 0x20;
          break;
      }
    }
  }
};

const std::string* g_current = nullptr;

void save_current(int sig) {
  if (g_current != nullptr) {
    int fd = ::open("random_driver_crash.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ssize_t w = ::write(fd, g_current->data(), g_current->size());
      (void)w;
      ::close(fd);
    }
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int replay(char** paths, int count) {
  for (int i = 0; i < count; ++i) {
    std::FILE* f = std::fopen(paths[i], "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "random_driver: cannot read %s\n", paths[i]);
      return 2;
    }
    std::string input;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) input.append(buf, n);
    std::fclose(f);
    std::fprintf(stderr, "random_driver: replaying %s (%zu bytes)\n", paths[i], input.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  }
  return 0;
}

bool is_number(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--replay") return replay(argv + 2, argc - 2);
  if (argc > 1 && !is_number(argv[1])) return replay(argv + 1, argc - 1);
  std::signal(SIGABRT, save_current);
  std::signal(SIGSEGV, save_current);
  const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
  const unsigned long long seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  // Said first, so a run that stops on an input can be repeated.
  std::fprintf(stderr, "random_driver: %ld inputs, seed %llu\n", iterations, seed);
  Mutator m{std::mt19937_64(seed)};
  std::string input;
  for (long i = 0; i < iterations; ++i) {
    input.clear();
    const size_t control = 3;
    for (size_t c = 0; c < control; ++c) input += static_cast<char>(m.rng());
    if (m.below(10) == 0) {
      const size_t n = m.below(300);
      for (size_t k = 0; k < n; ++k) input += m.below(4) == 0 ? static_cast<char>(m.rng()) : m.interesting();
    } else {
      std::string body = seeds()[m.below(seeds().size())];
      m.mutate(body);
      input += body;
    }
    g_current = &input;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    if ((i + 1) % 50000 == 0) std::fprintf(stderr, "random_driver: %ld inputs\n", i + 1);
  }
  std::fprintf(stderr, "random_driver: done, %ld inputs (seed %llu)\n", iterations, seed);
  return 0;
}
