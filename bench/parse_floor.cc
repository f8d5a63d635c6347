// The parse floor: reads a data file and converts every field with
// std::from_chars, nothing else. Prints the sum so that nothing is skipped.
#include <charconv>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s datafile\n", argv[0]);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  constexpr std::size_t BUFFER = 1 << 18;
  std::vector<char> buf(BUFFER);
  std::size_t have = 0;
  double sum = 0;
  long fields = 0;
  bool header = true;
  for (;;) {
    const std::size_t n = std::fread(buf.data() + have, 1, buf.size() - have, in);
    have += n;
    const char* p = buf.data();
    const char* end = p + have;
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (!nl) break;
      if (header) {
        header = false;
      } else {
        const char* q = p;
        while (q < nl) {
          double v = 0;
          const auto r = std::from_chars(q, nl, v);
          sum += v;
          ++fields;
          q = r.ptr == q ? q + 1 : r.ptr;
          while (q < nl && (*q == ',' || *q == ' ')) ++q;
        }
      }
      p = nl + 1;
    }
    have = static_cast<std::size_t>(end - p);
    std::memmove(buf.data(), p, have);
    if (n == 0) break;
  }
  std::fclose(in);
  std::printf("%ld fields, sum %g\n", fields, sum);
  return 0;
}
