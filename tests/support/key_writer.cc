#include "support/key_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace karva::testing {
namespace {

void put_int(std::string& out, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFFu));
}

void put_real(std::string& out, double v) {
  std::uint64_t u = 0;
  std::memcpy(&u, &v, sizeof u);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFFu));
}

bool parse_real(const std::string& word, double& out) {
  char* end = nullptr;
  out = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0';
}

bool unescape(const std::string& word, std::string& out) {
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '\\' && i + 3 < word.size() && word[i + 1] == 'x') {
      const std::string hex = word.substr(i + 2, 2);
      char* end = nullptr;
      const long v = std::strtol(hex.c_str(), &end, 16);
      if (hex.size() != 2 || *end != '\0') return false;
      out.push_back(static_cast<char>(v));
      i += 3;
    } else {
      out.push_back(word[i]);
    }
  }
  return true;
}

}  // namespace

std::string key_bytes(std::int32_t variable_count, const std::vector<GeneSpec>& genes,
                      std::optional<std::int32_t> gene_count) {
  std::string out;
  put_int(out, variable_count);
  put_int(out, gene_count.value_or(static_cast<std::int32_t>(genes.size())));
  for (const GeneSpec& g : genes) {
    put_real(out, g.intercept);
    put_real(out, g.slope);
    put_int(out, static_cast<std::int32_t>(g.symbols.size()));
    out += g.symbols;
    put_real(out, g.trailing_value);
  }
  return out;
}

std::optional<std::string> key_from_text(const std::string& text, std::string* error) {
  std::istringstream lines(text);
  std::string line;
  std::optional<std::int32_t> variables;
  std::vector<GeneSpec> genes;
  int number = 0;
  const auto fail = [&](const std::string& why) -> std::optional<std::string> {
    if (error) *error = "line " + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  while (std::getline(lines, line)) {
    ++number;
    std::istringstream words(line);
    std::string word;
    if (!(words >> word) || word[0] == '#') continue;
    if (word == "variables") {
      long long n = 0;
      if (!(words >> n)) return fail("variables needs a count");
      variables = static_cast<std::int32_t>(n);
    } else if (word == "gene") {
      GeneSpec g;
      std::string a, b, s, t;
      if (!(words >> a >> b >> s)) return fail("gene needs intercept, slope and symbols");
      if (!parse_real(a, g.intercept) || !parse_real(b, g.slope)) return fail("bad number");
      if (!unescape(s, g.symbols)) return fail("bad escape in symbols");
      if (words >> t && !parse_real(t, g.trailing_value)) return fail("bad trailing value");
      genes.push_back(g);
    } else {
      return fail("unknown word " + word);
    }
  }
  if (!variables) return fail("no variables line");
  return key_bytes(*variables, genes);
}

std::vector<GeneSpec> random_genes(std::mt19937_64& rng, int variables, int genes, int max_head,
                                   const std::string& functions) {
  std::vector<GeneSpec> out;
  std::uniform_real_distribution<double> coefficient(-3, 3);
  for (int j = 0; j < genes; ++j) {
    const auto letters = static_cast<unsigned>(variables + j);
    const auto letter = [&] { return static_cast<char>('a' + rng() % letters); };
    std::string symbols;
    const int head = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_head));
    for (int s = 0; s < head; ++s) symbols += rng() % 3 ? functions[rng() % functions.size()] : letter();
    // '?', a symbol in no set, would give no tree as the root.
    if (symbols[0] == '?') symbols[0] = '+';
    for (int s = 0; s <= head; ++s) symbols += letter();
    const double intercept = coefficient(rng);
    out.push_back({intercept, coefficient(rng), symbols, 0.0});
  }
  return out;
}

bool write_file(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace karva::testing
