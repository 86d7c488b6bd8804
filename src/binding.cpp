#include "binding.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <rapidjson/reader.h>

#include "quoting.hpp"

namespace voskel::binding {
namespace {

// ---------------------------------------------------------------------------------------------
// Record shapes: one declaration per record, fields in positional order.

template <class R, class M> struct Field {
  std::string_view key;
  M R::*member;
  bool required;
  constexpr M &of(R &r) const { return r.*member; }
};
template <class R, class M> constexpr Field<R, M> req(std::string_view key, M R::*member) {
  return {key, member, true};
}
template <class R, class M> constexpr Field<R, M> opt(std::string_view key, M R::*member) {
  return {key, member, false};
}

// An optional key held in a record embedded in R (the shared read-filter keys).
template <class R, class Sub, class M> struct SubField {
  std::string_view key;
  Sub R::*outer;
  M Sub::*member;
  bool required = false;
  constexpr M &of(R &r) const { return (r.*outer).*member; }
};

// The read-filter keys, named once for every configuration that embeds them.
template <class R> constexpr auto min_mapq(bam::ReadFilterCfg R::*f) {
  return SubField<R, bam::ReadFilterCfg, uint8_t>{"min_mapq", f, &bam::ReadFilterCfg::min_mapq};
}
template <class R> constexpr auto require_unique_nh(bam::ReadFilterCfg R::*f) {
  return SubField<R, bam::ReadFilterCfg, bool>{"require_unique_nh", f,
                                               &bam::ReadFilterCfg::require_unique_nh};
}
template <class R> constexpr auto skip_duplicate(bam::ReadFilterCfg R::*f) {
  return SubField<R, bam::ReadFilterCfg, std::string>{"skip_duplicate", f,
                                                      &bam::ReadFilterCfg::skip_duplicate};
}

template <class R> struct Shape; // name (for messages) and fields

template <class R>
concept Described = requires {
  Shape<R>::name;
  Shape<R>::fields;
};

template <> struct Shape<types::SampleIn> {
  using R = types::SampleIn;
  static constexpr std::string_view name = "SampleIn";
  static constexpr auto fields =
      std::tuple{req("sample_id", &R::sample_id), req("bam", &R::bam), opt("group", &R::group),
                 req("strandedness", &R::strandedness), req("replicate", &R::replicate)};
};
template <> struct Shape<types::PreflightInput> {
  using R = types::PreflightInput;
  static constexpr std::string_view name = "PreflightInput";
  static constexpr auto fields =
      std::tuple{req("samples", &R::samples),
                 req("assembly", &R::assembly),
                 req("library_layout", &R::library_layout),
                 req("de_enabled", &R::de_enabled),
                 req("treat_min_detected_replicates", &R::treat_min_detected_replicates),
                 opt("threads", &R::threads)};
};
template <class Entry> struct Shape<SamplesDoc<Entry>> {
  using R = SamplesDoc<Entry>;
  static constexpr std::string_view name = "SamplesJson";
  static constexpr auto fields = std::tuple{req("samples", &R::samples)};
};
template <> struct Shape<classcode::ClassifyCfg> {
  using R = classcode::ClassifyCfg;
  static constexpr std::string_view name = "ClassifyCfg";
  static constexpr auto fields = std::tuple{opt("strandedness", &R::strandedness)};
};
template <> struct Shape<quantify::QuantCfg> {
  using R = quantify::QuantCfg;
  static constexpr std::string_view name = "QuantCfg";
  static constexpr auto fields = std::tuple{min_mapq(&R::filter),
                                            require_unique_nh(&R::filter),
                                            opt("strandedness", &R::strandedness),
                                            skip_duplicate(&R::filter),
                                            opt("library_layout", &R::library_layout),
                                            opt("threads", &R::threads)};
};
template <> struct Shape<quantify::SampleIn> {
  using R = quantify::SampleIn;
  static constexpr std::string_view name = "SampleIn";
  static constexpr auto fields = std::tuple{req("sample_id", &R::sample_id), req("bam", &R::bam),
                                            opt("dup_flag_seen", &R::dup_flag_seen)};
};
template <> struct Shape<leak::LeakCfg> {
  using R = leak::LeakCfg;
  static constexpr std::string_view name = "LeakCfg";
  static constexpr auto fields = std::tuple{min_mapq(&R::filter),
                                            require_unique_nh(&R::filter),
                                            opt("strandedness", &R::strandedness),
                                            skip_duplicate(&R::filter),
                                            opt("library_layout", &R::library_layout),
                                            opt("threads", &R::threads),
                                            opt("min_samples", &R::min_samples),
                                            opt("min_support", &R::min_support),
                                            opt("max_control_support", &R::max_control_support),
                                            opt("fasta", &R::fasta)};
};
template <> struct Shape<leak::SampleIn> {
  using R = leak::SampleIn;
  static constexpr std::string_view name = "SampleIn";
  static constexpr auto fields =
      std::tuple{req("sample_id", &R::sample_id), req("bam", &R::bam), opt("group", &R::group),
                 opt("dup_flag_seen", &R::dup_flag_seen)};
};
template <> struct Shape<structure::StructCfg> {
  using R = structure::StructCfg;
  static constexpr std::string_view name = "StructCfg";
  static constexpr auto fields =
      std::tuple{opt("strandedness", &R::strandedness),
                 min_mapq(&R::filter),
                 require_unique_nh(&R::filter),
                 skip_duplicate(&R::filter),
                 opt("discontinuity_window_bp", &R::discontinuity_window_bp),
                 opt("discontinuity_valley_bp", &R::discontinuity_valley_bp),
                 opt("threads", &R::threads)};
};
template <> struct Shape<structure::SampleIn> {
  using R = structure::SampleIn;
  static constexpr std::string_view name = "SampleIn";
  static constexpr auto fields = std::tuple{req("sample_id", &R::sample_id), req("bam", &R::bam),
                                            opt("dup_flag_seen", &R::dup_flag_seen)};
};
template <> struct Shape<terminal::Cfg> {
  using R = terminal::Cfg;
  static constexpr std::string_view name = "Cfg";
  static constexpr auto fields = std::tuple{min_mapq(&R::filter),
                                            skip_duplicate(&R::filter),
                                            opt("max_terminal_nt", &R::max_terminal_nt),
                                            opt("min_depth", &R::min_depth),
                                            opt("max_gap_nt", &R::max_gap_nt),
                                            opt("fasta", &R::fasta)};
};
template <> struct Shape<terminal::SampleIn> {
  using R = terminal::SampleIn;
  static constexpr std::string_view name = "SampleIn";
  static constexpr auto fields =
      std::tuple{req("bam", &R::bam), req("strandedness", &R::strandedness),
                 opt("dup_flag_seen", &R::dup_flag_seen)};
};
template <> struct Shape<orf::Cfg> {
  using R = orf::Cfg;
  static constexpr std::string_view name = "Cfg";
  static constexpr auto fields =
      std::tuple{opt("min_orf_aa", &R::min_orf_aa), req("hexamer_table", &R::hexamer_table),
                 opt("hexamer_coding_min", &R::hexamer_coding_min),
                 opt("hexamer_noncoding_max", &R::hexamer_noncoding_max)};
};

// ---------------------------------------------------------------------------------------------
// Tokens and texts.

// Nesting beyond this many open brackets is refused, so hostile documents stay cheap.
constexpr int kMaxDepth = 128;

struct Scalar {
  enum class Kind { Null, Bool, Str, Num };
  Kind kind;
  bool flag = false;     // Bool
  std::string_view text; // Str: decoded contents; Num: the number as written
  size_t end = 0;        // offset just past the token
};

// A JSON number as the records see it: non-negative integers, negative integers and floats
// are distinct, so that 1.0 is never an integer and -1 never an unsigned value.
struct Number {
  enum class Kind { Unsigned, Signed, Float };
  Kind kind;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0;
};

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Decimal magnitude of a float text whose conversion left the double range: positive means
// it overflowed, otherwise it underflowed to zero.
long decimal_magnitude(std::string_view raw) {
  size_t i = raw.starts_with('-') ? 1 : 0;
  long int_digits = 0, lead_frac_zeros = 0;
  bool nonzero = false;
  for (; i < raw.size() && is_digit(raw[i]); ++i)
    if (nonzero || raw[i] != '0') {
      nonzero = true;
      ++int_digits;
    }
  if (i < raw.size() && raw[i] == '.')
    for (++i; i < raw.size() && is_digit(raw[i]); ++i) {
      if (nonzero)
        continue;
      if (raw[i] == '0')
        ++lead_frac_zeros;
      else
        nonzero = true;
    }
  long exp = 0;
  if (i < raw.size() && (raw[i] == 'e' || raw[i] == 'E')) {
    ++i;
    const bool neg = i < raw.size() && raw[i] == '-';
    if (i < raw.size() && (raw[i] == '-' || raw[i] == '+'))
      ++i;
    for (; i < raw.size() && is_digit(raw[i]); ++i)
      exp = std::min(exp * 10 + (raw[i] - '0'), 1L << 40);
    if (neg)
      exp = -exp;
  }
  return (int_digits > 0 ? int_digits : -lead_frac_zeros) + exp;
}

// nullopt when the value lies outside the double range.
std::optional<Number> to_number(std::string_view raw) {
  if (raw.find_first_of(".eE") == std::string_view::npos) {
    const bool neg = raw.starts_with('-');
    const auto digits = raw.substr(neg ? 1 : 0);
    uint64_t v = 0;
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    if (r.ec == std::errc{}) {
      if (!neg)
        return Number{Number::Kind::Unsigned, v};
      if (v == 0)
        return Number{Number::Kind::Float, 0, 0, -0.0};
      if (v <= uint64_t{1} << 63)
        return Number{Number::Kind::Signed, 0, static_cast<int64_t>(~v + 1)};
    }
    // Integers beyond 64 bits are read as floats.
  }
  double d = 0;
  const auto r = std::from_chars(raw.data(), raw.data() + raw.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    if (decimal_magnitude(raw) > 0)
      return std::nullopt;
    d = raw.starts_with('-') ? -0.0 : 0.0;
  }
  return Number{Number::Kind::Float, 0, 0, d};
}

// Shortest round-trip text, plain notation for moderate exponents, always with a point or an
// exponent so that it reads as a float.
std::string float_text(double v) {
  if (v == 0)
    return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, r.ptr);
  std::string out;
  size_t i = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    i = 1;
  }
  const size_t epos = sci.find('e');
  std::string digits;
  for (; i < epos; ++i)
    if (sci[i] != '.')
      digits.push_back(sci[i]);
  int exp = 0;
  std::from_chars(sci.data() + epos + (sci[epos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exp);
  const long len = static_cast<long>(digits.size());
  const long kk = exp + 1; // 10^(kk-1) <= |v| < 10^kk
  if (kk >= len && kk <= 16) {
    out += digits;
    out.append(static_cast<size_t>(kk - len), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out += digits.substr(0, static_cast<size_t>(kk));
    out.push_back('.');
    out += digits.substr(static_cast<size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-kk), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (len > 1) {
      out.push_back('.');
      out += digits.substr(1);
    }
    out += fmt::format("e{}", kk - 1);
  }
  return out;
}

std::string found_text(const Scalar &s, const std::optional<Number> &n) {
  switch (s.kind) {
  case Scalar::Kind::Null:
    return "null";
  case Scalar::Kind::Bool:
    return s.flag ? "boolean `true`" : "boolean `false`";
  case Scalar::Kind::Str:
    return "string " + quoting::quote(s.text);
  case Scalar::Kind::Num:
    break;
  }
  switch (n->kind) {
  case Number::Kind::Unsigned:
    return fmt::format("integer `{}`", n->u);
  case Number::Kind::Signed:
    return fmt::format("integer `{}`", n->i);
  case Number::Kind::Float:
    break;
  }
  return fmt::format("floating point `{}`", float_text(n->f));
}

// ---------------------------------------------------------------------------------------------
// The input stream RapidJSON reads from: a view with its offset. A NUL byte inside the text is
// handed over as 0x01 so that the reader does not mistake it for the end; both are invalid at
// every place, and the fault texts are composed from the original bytes.

struct Stream {
  using Ch = char;
  std::string_view text;
  size_t pos = 0;

  Ch Peek() const {
    if (pos >= text.size())
      return '\0';
    return text[pos] == '\0' ? '\x01' : text[pos];
  }
  Ch Take() {
    const Ch c = Peek();
    if (pos < text.size())
      ++pos;
    return c;
  }
  size_t Tell() const { return pos; }
  // Write side, unused: the reader never parses in place.
  Ch *PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  size_t PutEnd(Ch *) { return 0; }
};

struct Fault {
  std::string desc;
  size_t pos; // bytes consumed when the fault was found
};

class Binder;

// One open container of the document, receiving the values inside it.
class Frame {
public:
  virtual ~Frame() = default;
  virtual bool key(Binder &b, std::string_view key);
  virtual bool scalar(Binder &b, const Scalar &s) = 0;
  // A container opens at offset `at` as the next value inside this one.
  virtual bool open(Binder &b, bool object, size_t at) = 0;
  // This container's closing bracket sits at offset `at`.
  virtual bool close(Binder &b, size_t at) = 0;
  // A positional record that holds all its fields: anything but `]` is trailing.
  virtual bool full() const { return false; }
};

// The SAX handler: routes events to the innermost frame and keeps the first fault.
class Binder {
public:
  Binder(std::string_view text, const Stream &in) : text_(text), in_(in) {}

  void push(std::unique_ptr<Frame> f) { stack_.push_back(std::move(f)); }
  // Opens a container frame, refusing nesting beyond the limit.
  bool push_nested(std::unique_ptr<Frame> f, size_t at) {
    if (++depth_ >= kMaxDepth)
      return fail("recursion limit exceeded", at + 1);
    push(std::move(f));
    return true;
  }
  void pop() {
    stack_.pop_back();
    --depth_;
  }

  bool fail(std::string desc, size_t pos) {
    fault_ = Fault{std::move(desc), std::min(pos, text_.size())};
    return false;
  }
  bool invalid_type(const Scalar &s, std::string_view expected) {
    std::optional<Number> n;
    if (s.kind == Scalar::Kind::Num && !(n = number(s)))
      return false;
    return fail(fmt::format("invalid type: {}, expected {}", found_text(s, n), expected), s.end);
  }
  bool invalid_value(const Scalar &s, const Number &n, std::string_view expected) {
    return fail(fmt::format("invalid value: {}, expected {}", found_text(s, n), expected), s.end);
  }
  // A container where a scalar or another container kind belongs: reported before its bracket.
  bool invalid_container(bool object, size_t at, std::string_view expected) {
    return fail(fmt::format("invalid type: {}, expected {}", object ? "map" : "sequence", expected),
                at);
  }
  std::optional<Number> number(const Scalar &s) {
    auto n = to_number(s.text);
    if (!n)
      fail("number out of range", s.end);
    return n;
  }
  size_t skip_ws(size_t pos) const {
    while (pos < text_.size() && is_ws(text_[pos]))
      ++pos;
    return pos;
  }
  // Fault for whatever follows the last field of a full positional record.
  Fault trailing_after_full() const {
    size_t p = skip_ws(prev_end_);
    if (p >= text_.size())
      return {"EOF while parsing a list", p};
    if (text_[p] == ',') {
      p = skip_ws(p + 1);
      if (p < text_.size() && text_[p] == ']')
        return {"trailing comma", p + 1};
    }
    return {"trailing characters", std::min(p + 1, text_.size())};
  }
  bool fail(Fault f) {
    fault_ = std::move(f);
    return false;
  }

  // RapidJSON handler interface.
  bool Null() { return value({Scalar::Kind::Null, false, {}, in_.Tell()}); }
  bool Bool(bool v) { return value({Scalar::Kind::Bool, v, {}, in_.Tell()}); }
  bool RawNumber(const char *s, rapidjson::SizeType len, bool) {
    const std::string_view raw(s, len);
    const size_t end = in_.Tell();
    // The reader stops a number after a leading zero; a digit right behind it is the fault.
    if ((raw == "0" || raw == "-0") && end < text_.size() && is_digit(text_[end]))
      return fail("invalid number", end + 1);
    return value({Scalar::Kind::Num, false, raw, end});
  }
  bool String(const char *s, rapidjson::SizeType len, bool) {
    const std::string_view str(s, len);
    if (!check_surrogates(str))
      return false;
    return value({Scalar::Kind::Str, false, str, in_.Tell()});
  }
  bool Key(const char *s, rapidjson::SizeType len, bool) {
    const std::string_view str(s, len);
    if (!check_surrogates(str))
      return false;
    prev_end_ = in_.Tell();
    return stack_.back()->key(*this, str);
  }
  bool StartObject() { return start(true); }
  bool StartArray() { return start(false); }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool EndArray(rapidjson::SizeType) { return end(); }
  // Numbers arrive as raw text only.
  bool Int(int) { return false; }
  bool Uint(unsigned) { return false; }
  bool Int64(int64_t) { return false; }
  bool Uint64(uint64_t) { return false; }
  bool Double(double) { return false; }

  std::string describe(const rapidjson::ParseResult &r) const {
    const Fault f = r.Code() == rapidjson::kParseErrorTermination && fault_
                        ? *fault_
                        : syntax_fault(r.Code(), r.Offset());
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < f.pos; ++i)
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    return fmt::format("{} at line {} column {}", f.desc, line, f.pos - line_start);
  }

  // Faults found by RapidJSON, mapped to descriptions and to the position of the offending byte.
  Fault syntax_fault(rapidjson::ParseErrorCode code, size_t o) const {
    using namespace rapidjson;
    const size_t n = text_.size();
    const bool eof = o >= n;
    const char before = prev_nonws(o);
    if (!stack_.empty() && stack_.back()->full() && code != kParseErrorDocumentRootNotSingular)
      return trailing_after_full();
    switch (code) {
    case kParseErrorDocumentEmpty:
      return {"EOF while parsing a value", n};
    case kParseErrorDocumentRootNotSingular:
      return {"trailing characters", o + 1};
    case kParseErrorValueInvalid:
      if (o > 0 && text_[o - 1] == '-')
        return {"invalid number", std::min(o + 1, n)};
      if (eof)
        return {before == '[' ? "EOF while parsing a list" : "EOF while parsing a value", n};
      if (o > 0 && text_[o - 1] >= 'a' && text_[o - 1] <= 'z')
        return {"expected ident", o + 1};
      if (text_[o] == ']' && before == ',')
        return {"trailing comma", o + 1};
      return {"expected value", o + 1};
    case kParseErrorObjectMissName:
      if (eof)
        return {before == '{' ? "EOF while parsing an object" : "EOF while parsing a value", n};
      return {text_[o] == '}' ? "trailing comma" : "key must be a string", o + 1};
    case kParseErrorObjectMissColon:
      return eof ? Fault{"EOF while parsing an object", n} : Fault{"expected `:`", o + 1};
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return eof ? Fault{"EOF while parsing an object", n} : Fault{"expected `,` or `}`", o + 1};
    case kParseErrorArrayMissCommaOrSquareBracket:
      return eof ? Fault{"EOF while parsing a list", n} : Fault{"expected `,` or `]`", o + 1};
    case kParseErrorStringMissQuotationMark:
      return {"EOF while parsing a string", n};
    case kParseErrorStringEscapeInvalid:
      if (text_[o] != '\\')
        return {"control character (\\u0000-\\u001F) found while parsing a string", o + 1};
      return o + 1 >= n ? Fault{"EOF while parsing a string", n} : Fault{"invalid escape", o + 2};
    case kParseErrorStringUnicodeEscapeInvalidHex:
      return hex_fault(o);
    case kParseErrorStringUnicodeSurrogateInvalid:
      return surrogate_fault(o);
    case kParseErrorStringInvalidEncoding:
      return {"invalid unicode code point", o + 1};
    case kParseErrorNumberTooBig: {
      size_t e = o;
      while (e < n && (is_digit(text_[e]) || std::strchr("+-.eE", text_[e]) != nullptr))
        ++e;
      return {"number out of range", e};
    }
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return eof ? Fault{"EOF while parsing a value", n} : Fault{"invalid number", o + 1};
    default:
      return eof ? Fault{"EOF while parsing a value", n} : Fault{"expected value", o + 1};
    }
  }

  size_t prev_end() const { return prev_end_; }
  std::string_view text() const { return text_; }

private:
  // Frames see prev_end_ as the end of the token before the current one.
  bool value(const Scalar &s) {
    const bool ok = stack_.back()->scalar(*this, s);
    prev_end_ = s.end;
    return ok;
  }
  bool start(bool object) {
    const size_t at = in_.Tell(); // the bracket is not consumed yet
    const bool ok = stack_.back()->open(*this, object, at);
    prev_end_ = at + 1;
    return ok;
  }
  bool end() {
    const size_t at = in_.Tell();
    const bool ok = stack_.back()->close(*this, at);
    prev_end_ = at + 1;
    return ok;
  }

  char prev_nonws(size_t o) const {
    o = std::min(o, text_.size());
    while (o > 0 && is_ws(text_[o - 1]))
      --o;
    return o > 0 ? text_[o - 1] : '\0';
  }

  // A \u escape at `o` with a bad hex digit, in it or in the low half of its pair.
  Fault hex_fault(size_t o) const {
    const auto check = [&](size_t at) -> std::optional<Fault> {
      if (at + 4 > text_.size())
        return Fault{"EOF while parsing a string", text_.size()};
      for (size_t i = 0; i < 4; ++i)
        if (!is_hex(text_[at + i]))
          return Fault{"invalid escape", at + 4};
      return std::nullopt;
    };
    if (auto f = check(o + 2))
      return *f;
    return check(o + 8).value_or(Fault{"invalid escape", o + 12});
  }

  // A high surrogate escape at `o` that is not followed by a low one.
  Fault surrogate_fault(size_t o) const {
    const size_t n = text_.size();
    const size_t p = o + 6;
    if (p >= n)
      return {"EOF while parsing a string", n};
    if (text_[p] != '\\')
      return {"unexpected end of hex escape", p + 1};
    if (p + 1 >= n)
      return {"EOF while parsing a string", n};
    if (text_[p + 1] != 'u')
      return {"unexpected end of hex escape", p + 2};
    return {"lone leading surrogate in hex escape", p + 6};
  }

  // The reader encodes a lone low-surrogate escape as if it were a code point; refuse it. Pairs
  // and literal bytes never produce the pattern, so only the escapes of the token are searched.
  bool check_surrogates(std::string_view decoded) {
    bool suspect = false;
    for (size_t i = 0; i + 1 < decoded.size() && !suspect; ++i)
      suspect = static_cast<unsigned char>(decoded[i]) == 0xED &&
                static_cast<unsigned char>(decoded[i + 1]) >= 0xA0;
    if (!suspect)
      return true;
    const size_t end = in_.Tell();
    size_t i = text_.find('"', prev_end_) + 1;
    while (i < end) {
      if (text_[i] != '\\') {
        ++i;
        continue;
      }
      if (text_[i + 1] != 'u') {
        i += 2;
        continue;
      }
      unsigned v = 0;
      std::from_chars(text_.data() + i + 2, text_.data() + i + 6, v, 16);
      if (v >= 0xDC00 && v <= 0xDFFF)
        return fail("lone leading surrogate in hex escape", i + 6);
      i += v >= 0xD800 && v <= 0xDBFF ? 12 : 6;
    }
    return true;
  }

  std::string_view text_;
  const Stream &in_;
  std::vector<std::unique_ptr<Frame>> stack_;
  std::optional<Fault> fault_;
  size_t prev_end_ = 0; // offset past the last token seen
  int depth_ = 0;
};

bool Frame::key(Binder &, std::string_view) { return false; }

// ---------------------------------------------------------------------------------------------
// Value binding per member type. Each slot takes one value: a scalar, or the opening of a
// container, for which it pushes the frame that fills it.

template <class X> struct Slot;

// A value nobody reads: containers are walked and dropped.
class SkipFrame final : public Frame {
public:
  bool key(Binder &, std::string_view) override { return true; }
  bool scalar(Binder &, const Scalar &) override { return true; }
  bool open(Binder &b, bool, size_t at) override {
    return b.push_nested(std::make_unique<SkipFrame>(), at);
  }
  bool close(Binder &b, size_t) override {
    b.pop();
    return true;
  }
};

template <class R> struct Table {
  using S = Shape<R>;
  static constexpr size_t size = std::tuple_size_v<std::remove_const_t<decltype(S::fields)>>;
  struct Entry {
    std::string_view key;
    bool required;
    bool (*scalar)(R &, Binder &, const Scalar &);
    bool (*open)(R &, Binder &, bool, size_t);
  };
  template <size_t I> static constexpr Entry entry() {
    constexpr auto f = std::get<I>(S::fields);
    using M = std::remove_reference_t<decltype(f.of(std::declval<R &>()))>;
    return {f.key, f.required,
            [](R &r, Binder &b, const Scalar &s) {
              return Slot<M>::scalar(std::get<I>(S::fields).of(r), b, s);
            },
            [](R &r, Binder &b, bool object, size_t at) {
              return Slot<M>::open(std::get<I>(S::fields).of(r), b, object, at);
            }};
  }
  static constexpr std::array<Entry, size> entries = []<size_t... I>(std::index_sequence<I...>) {
    return std::array<Entry, size>{entry<I>()...};
  }(std::make_index_sequence<size>{});
};

// A record written as an object (keys) or as an array (values in field order).
template <class R> class RecordFrame final : public Frame {
  using T = Table<R>;

public:
  RecordFrame(R &out, bool object) : out_(out), object_(object) {}

  bool key(Binder &b, std::string_view key) override {
    current_ = -1;
    for (size_t i = 0; i < T::size; ++i)
      if (T::entries[i].key == key) {
        if (seen_[i])
          return b.fail(fmt::format("duplicate field `{}`", key), b.skip_ws(b.prev_end()));
        seen_[i] = true;
        current_ = static_cast<int>(i);
      }
    return true;
  }
  bool scalar(Binder &b, const Scalar &s) override {
    const int i = next(b);
    if (i == kFault)
      return false;
    return i == kSkip ? true : T::entries[i].scalar(out_, b, s);
  }
  bool open(Binder &b, bool object, size_t at) override {
    const int i = next(b);
    if (i == kFault)
      return false;
    if (i == kSkip)
      return b.push_nested(std::make_unique<SkipFrame>(), at);
    return T::entries[i].open(out_, b, object, at);
  }
  bool close(Binder &b, size_t at) override {
    for (size_t i = 0; i < T::size; ++i) {
      if (!T::entries[i].required || seen_[i])
        continue;
      if (object_)
        return b.fail(fmt::format("missing field `{}`", T::entries[i].key), at + 1);
      return b.fail(fmt::format("invalid length {}, expected struct {} with {} element{}", count_,
                                Shape<R>::name, T::size, T::size == 1 ? "" : "s"),
                    at + 1);
    }
    b.pop();
    return true;
  }
  bool full() const override { return !object_ && count_ == T::size; }

private:
  static constexpr int kSkip = -1, kFault = -2;

  // The field the next value belongs to.
  int next(Binder &b) {
    if (object_)
      return current_;
    if (count_ == T::size) {
      b.fail(b.trailing_after_full());
      return kFault;
    }
    seen_[count_] = true;
    return static_cast<int>(count_++);
  }

  R &out_;
  bool object_;
  std::array<bool, T::size> seen_{};
  int current_ = kSkip;
  size_t count_ = 0; // values given, positional form
};

template <class E> class VecFrame final : public Frame {
public:
  explicit VecFrame(std::vector<E> &out) : out_(out) {}
  bool scalar(Binder &b, const Scalar &s) override {
    return Slot<E>::scalar(out_.emplace_back(), b, s);
  }
  bool open(Binder &b, bool object, size_t at) override {
    return Slot<E>::open(out_.emplace_back(), b, object, at);
  }
  bool close(Binder &b, size_t) override {
    b.pop();
    return true;
  }

private:
  std::vector<E> &out_;
};

// The document itself: exactly one value.
template <class T> class RootFrame final : public Frame {
public:
  explicit RootFrame(T &out) : out_(out) {}
  bool scalar(Binder &b, const Scalar &s) override { return Slot<T>::scalar(out_, b, s); }
  bool open(Binder &b, bool object, size_t at) override {
    return Slot<T>::open(out_, b, object, at);
  }
  bool close(Binder &, size_t) override { return false; } // the reader never closes the root

private:
  T &out_;
};

// Slots that take scalars only.
template <class X, class Self> struct ScalarSlot {
  static bool open(X &, Binder &b, bool object, size_t at) {
    return b.invalid_container(object, at, Self::expected);
  }
};

template <> struct Slot<std::string> : ScalarSlot<std::string, Slot<std::string>> {
  static constexpr std::string_view expected = "a string";
  static bool scalar(std::string &out, Binder &b, const Scalar &s) {
    if (s.kind != Scalar::Kind::Str)
      return b.invalid_type(s, expected);
    out.assign(s.text);
    return true;
  }
};

template <>
struct Slot<std::optional<std::string>>
    : ScalarSlot<std::optional<std::string>, Slot<std::optional<std::string>>> {
  static constexpr std::string_view expected = "a string";
  static bool scalar(std::optional<std::string> &out, Binder &b, const Scalar &s) {
    if (s.kind == Scalar::Kind::Null) {
      out.reset();
      return true;
    }
    return Slot<std::string>::scalar(out.emplace(), b, s);
  }
};

template <> struct Slot<bool> : ScalarSlot<bool, Slot<bool>> {
  static constexpr std::string_view expected = "a boolean";
  static bool scalar(bool &out, Binder &b, const Scalar &s) {
    if (s.kind != Scalar::Kind::Bool)
      return b.invalid_type(s, expected);
    out = s.flag;
    return true;
  }
};

template <class U>
  requires std::is_unsigned_v<U> && (!std::is_same_v<U, bool>)
struct Slot<U> : ScalarSlot<U, Slot<U>> {
  static constexpr std::string_view expected = sizeof(U) == 1   ? "u8"
                                               : sizeof(U) == 2 ? "u16"
                                               : sizeof(U) == 4 ? "u32"
                                                                : "u64";
  static bool scalar(U &out, Binder &b, const Scalar &s) {
    if (s.kind != Scalar::Kind::Num)
      return b.invalid_type(s, expected);
    const auto n = b.number(s);
    if (!n)
      return false;
    switch (n->kind) {
    case Number::Kind::Unsigned:
      if (n->u > std::numeric_limits<U>::max())
        return b.invalid_value(s, *n, expected);
      out = static_cast<U>(n->u);
      return true;
    case Number::Kind::Signed:
      return b.invalid_value(s, *n, expected);
    case Number::Kind::Float:
      break;
    }
    return b.invalid_type(s, expected);
  }
};

template <> struct Slot<double> : ScalarSlot<double, Slot<double>> {
  static constexpr std::string_view expected = "f64";
  static bool scalar(double &out, Binder &b, const Scalar &s) {
    if (s.kind != Scalar::Kind::Num)
      return b.invalid_type(s, expected);
    const auto n = b.number(s);
    if (!n)
      return false;
    out = n->kind == Number::Kind::Unsigned ? static_cast<double>(n->u)
          : n->kind == Number::Kind::Signed ? static_cast<double>(n->i)
                                            : n->f;
    return true;
  }
};

template <class E> struct Slot<std::vector<E>> {
  static bool scalar(std::vector<E> &, Binder &b, const Scalar &s) {
    return b.invalid_type(s, "a sequence");
  }
  static bool open(std::vector<E> &out, Binder &b, bool object, size_t at) {
    if (object)
      return b.invalid_container(object, at, "a sequence");
    return b.push_nested(std::make_unique<VecFrame<E>>(out), at);
  }
};

template <Described R> struct Slot<R> {
  static bool scalar(R &, Binder &b, const Scalar &s) {
    return b.invalid_type(s, fmt::format("struct {}", Shape<R>::name));
  }
  static bool open(R &out, Binder &b, bool object, size_t at) {
    return b.push_nested(std::make_unique<RecordFrame<R>>(out, object), at);
  }
};

// Numbers come as text (converted here, correctly rounded); strings are checked to be UTF-8;
// the iterative reader keeps deep nesting off the call stack.
constexpr unsigned kParseFlags =
    rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseFullPrecisionFlag;

} // namespace

template <class T> Result<T> parse(std::string_view text) {
  static_assert(Described<T>);
  T out{};
  Stream in{text};
  Binder binder(text, in);
  binder.push(std::make_unique<RootFrame<T>>(out));
  rapidjson::Reader reader;
  const rapidjson::ParseResult r = reader.Parse<kParseFlags>(in, binder);
  if (r.IsError())
    return fail(CoreError::json(binder.describe(r)));
  return out;
}

template Result<types::PreflightInput> parse(std::string_view);
template Result<classcode::ClassifyCfg> parse(std::string_view);
template Result<quantify::QuantCfg> parse(std::string_view);
template Result<quantify::SamplesJson> parse(std::string_view);
template Result<leak::LeakCfg> parse(std::string_view);
template Result<leak::SamplesJson> parse(std::string_view);
template Result<structure::StructCfg> parse(std::string_view);
template Result<structure::SamplesJson> parse(std::string_view);
template Result<terminal::Cfg> parse(std::string_view);
template Result<terminal::SamplesJson> parse(std::string_view);
template Result<orf::Cfg> parse(std::string_view);

} // namespace voskel::binding
