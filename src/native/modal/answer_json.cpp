#include "modal/answer_json.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "modal/names.hpp"
#include "runtime/state.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv::modal::answer_json {
namespace {

// Thrown inside the parser for a text it does not take.
struct Refused {};

[[noreturn]] void refuse() { throw Refused{}; }

bool is_digit(char c) { return (unsigned char) (c - '0') < 10; }

// The first byte of [p, end) that ends a run of plain text characters: a
// quote, a backslash, a control character, or (when `stop_at_non_ascii`)
// any byte from 0x80 on; `end` when there is none.
const char *text_stop(const char *p, const char *end, bool stop_at_non_ascii) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20), control_top = _mm_set1_epi8(0x1F);
    for (; end - p >= 16; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash));
        // Signed, bytes from 0x80 on are negative: below 0x20 takes them too.
        // Unsigned, a byte is at most 0x1F when its maximum with 0x1F is 0x1F.
        hits = _mm_or_si128(hits, stop_at_non_ascii
                                      ? _mm_cmplt_epi8(block, space)
                                      : _mm_cmpeq_epi8(_mm_max_epu8(block, control_top), control_top));
        if (const int mask = _mm_movemask_epi8(hits)) return p + __builtin_ctz((unsigned) mask);
    }
#endif
    for (; p < end; ++p) {
        const unsigned char c = (unsigned char) *p;
        if (c == '"' || c == '\\' || c < 0x20 || (stop_at_non_ascii && c >= 0x80)) return p;
    }
    return end;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string &out, unsigned code) {
    if (code < 0x80) {
        out += (char) code;
    } else if (code < 0x800) {
        out += (char) (0xC0 | (code >> 6));
        out += (char) (0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += (char) (0xE0 | (code >> 12));
        out += (char) (0x80 | ((code >> 6) & 0x3F));
        out += (char) (0x80 | (code & 0x3F));
    } else {
        out += (char) (0xF0 | (code >> 18));
        out += (char) (0x80 | ((code >> 12) & 0x3F));
        out += (char) (0x80 | ((code >> 6) & 0x3F));
        out += (char) (0x80 | (code & 0x3F));
    }
}

// A str from UTF-8 bytes; invalid UTF-8 (which requests' strict decoding
// would not let through either) is refused.
nb::object decoded(const char *p, size_t size) {
    PyObject *text = PyUnicode_DecodeUTF8(p, (Py_ssize_t) size, "strict");
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise_current();
        PyErr_Clear();
        refuse();
    }
    return nb::steal(text);
}

// Short texts an answer repeats (its keys, roles, finish reasons), kept
// with their hashes computed: one answer after another reuses them instead
// of making and hashing each again.  json.loads makes new ones, which
// differ only in identity.  Each text has a pair of slots, the one used
// last first: two texts of one answer that fall on the same pair both stay
// kept instead of taking each other's place at every answer.
constexpr Py_ssize_t short_text = 24;
constexpr size_t kept_slots = 512;
Held kept_texts[kept_slots];

// The first slot of a text's pair, from its length and its first and last
// eight bytes (all of a text of up to sixteen), mixed by one multiplication.
size_t kept_pair(const char *p, Py_ssize_t size) {
    std::uint64_t head = 0, tail = 0;
    const size_t n = (size_t) size;
    std::memcpy(&head, p, n < 8 ? n : 8);
    if (n > 8) std::memcpy(&tail, p + (n < 16 ? 8 : n - 8), n < 16 ? n - 8 : 8);
    const std::uint64_t mixed = (head * 0x9E3779B97F4A7C15ull) ^ (tail * 0xC2B2AE3D27D4EB4Full) ^ (n * 0x165667B19E3779F9ull);
    return (size_t) ((mixed * 0x9E3779B97F4A7C15ull) >> 56) % (kept_slots / 2) * 2;
}

// The keys the module looks answers up by, as its interned Names: these are
// the very objects the lookups pass, and a dict lookup that meets its own
// key object needs no comparing of texts.  A key equal to one of them is
// parsed into that object.
const Name *const looked_up_keys[] = {
    &names::choices,       &names::delta,     &names::message,           &names::finish_reason,
    &names::content,       &names::role,      &names::reasoning_content, &names::reasoning,
    &names::tool_calls,    &names::index,     &names::id,                &names::type,
    &names::function,      &names::name,      &names::arguments,         &names::usage,
    &names::error,         &names::code,      &names::text,              &names::summary,
    &names::reasoning_details, &names::prompt_tokens, &names::completion_tokens, &names::total_tokens,
};

bool holds(PyObject *kept, const char *p, Py_ssize_t size) {
    return kept && PyUnicode_GET_LENGTH(kept) == size && std::memcmp(PyUnicode_1BYTE_DATA(kept), p, (size_t) size) == 0;
}

PyObject *looked_up_key(const char *p, Py_ssize_t size) {
    for (const Name *key : looked_up_keys)
        if (holds(key->ptr(), p, size)) return key->ptr();
    return nullptr;
}

// The ASCII text p[0:size] as a str; a key the module looks up is its Name.
nb::object ascii_text(const char *p, Py_ssize_t size, bool key) {
    Held *pair = nullptr;
    if (size <= short_text) {
        pair = &kept_texts[kept_pair(p, size)];
        if (PyObject *kept = pair[0].ptr(); holds(kept, p, size)) return nb::borrow(kept);
        if (PyObject *kept = pair[1].ptr(); holds(kept, p, size)) return nb::borrow(kept);
    }
    if (PyObject *name = pair && key ? looked_up_key(p, size) : nullptr) {
        pair[1].set(pair[0].h());
        pair[0].set(name);
        return nb::borrow(name);
    }
    nb::object text = own(PyUnicode_New(size, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.ptr()), p, (size_t) size);
    if (pair) {
        if (PyObject_Hash(text.ptr()) == -1) raise_current();
        pair[1].set(pair[0].h());
        pair[0].set(text);
    }
    return text;
}

// The members of an answer's outermost object that the decoder reads: the
// others (id, object, created, model, system_fingerprint and the like) are
// checked as strictly as any, but not built.
bool read_member(const char *key, Py_ssize_t size) {
    return holds(names::choices.ptr(), key, size) || holds(names::usage.ptr(), key, size) ||
           holds(names::error.ptr(), key, size);
}

class Parser {
public:
    Parser(const char *p, Py_ssize_t size, Py_ssize_t max_depth) : at_(p), end_(p + size), max_depth_(max_depth) {}

    nb::object document() {
        skip_space();
        nb::object value = this->value(0);
        skip_space();
        if (at_ != end_) refuse();
        return value;
    }

private:
    const char *at_;
    const char *const end_;
    const Py_ssize_t max_depth_;

    void skip_space() {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
    }

    char next() const {
        if (at_ >= end_) refuse();
        return *at_;
    }

    bool literal(const char *word, size_t size) {
        if ((size_t) (end_ - at_) < size || std::memcmp(at_, word, size) != 0) return false;
        at_ += size;
        return true;
    }

    nb::object value(Py_ssize_t depth) {
        switch (next()) {
            case '"':
                ++at_;
                return text(false);
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case 't':
                if (literal("true", 4)) return nb::borrow(Py_True);
                break;
            case 'f':
                if (literal("false", 5)) return nb::borrow(Py_False);
                break;
            case 'n':
                if (literal("null", 4)) return nb::none();
                break;
            default:
                if (*at_ == '-' || is_digit(*at_)) return number();
                break;
        }
        refuse();
    }

    // Opens a container (at its bracket): true when it closes at once.
    bool opens_empty(Py_ssize_t depth, char close) {
        if (depth > max_depth_) refuse();
        ++at_;
        skip_space();
        if (next() != close) return false;
        ++at_;
        return true;
    }

    // After an item: true at the container's close, false after a comma.
    bool item_ends_container(char close) {
        skip_space();
        const char c = next();
        ++at_;
        if (c == close) return true;
        if (c != ',') refuse();
        skip_space();
        return false;
    }

    nb::object object(Py_ssize_t depth) {
        nb::object dict = own(PyDict_New());
        if (opens_empty(depth, '}')) return dict;
        const bool outermost = depth == 1;
        do {
            if (next() != '"') refuse();
            ++at_;
            if (outermost && skipped_member(depth)) continue;
            nb::object key = text(true);
            skip_space();
            if (next() != ':') refuse();
            ++at_;
            skip_space();
            nb::object item = value(depth);
            check(PyDict_SetItem(dict.ptr(), key.ptr(), item.ptr()));
        } while (!item_ends_container('}'));
        return dict;
    }

    // At a key of the outermost object (after its quote): a member nobody
    // reads, with a plain key, is read past, and true returned.  Its value
    // is checked as a kept one would be; a text without escapes or other
    // than ASCII characters and a short int are not even made.
    bool skipped_member(Py_ssize_t depth) {
        const char *stop = text_stop(at_, end_, true);
        if (stop == end_ || *stop != '"' || read_member(at_, stop - at_)) return false;
        at_ = stop + 1;
        skip_space();
        if (next() != ':') refuse();
        ++at_;
        skip_space();
        const char first = next();
        if (first == '"') {
            stop = text_stop(at_ + 1, end_, true);
            if (stop != end_ && *stop == '"') {
                at_ = stop + 1;
                return true;
            }
        } else if (first == '-' || is_digit(first)) {
            const char *start = at_;
            if (const NumberShape shape = number_shape(); !shape.is_float && shape.int_digits <= 18) return true;
            at_ = start;
        }
        value(depth);
        return true;
    }

    nb::object array(Py_ssize_t depth) {
        nb::object list = own(PyList_New(0));
        if (opens_empty(depth, ']')) return list;
        do {
            nb::object item = value(depth);
            check(PyList_Append(list.ptr(), item.ptr()));
        } while (!item_ends_container(']'));
        return list;
    }

    // A text, from after its opening quote; `key` when it is an object's key.
    nb::object text(bool key) {
        const char *start = at_;
        const char *stop = text_stop(at_, end_, true);
        if (stop == end_) refuse();
        if (*stop == '"') {
            // ASCII throughout: copied as it stands.
            at_ = stop + 1;
            return ascii_text(start, stop - start, key);
        }
        // Other characters or escapes: the text is gathered as UTF-8.
        std::string gathered;
        const char *piece = start;
        bool escaped = false;
        while (true) {
            stop = text_stop(stop, end_, false);
            if (stop == end_) refuse();
            const char c = *stop;
            if (c == '"') break;
            if (c != '\\') refuse();  // a control character
            escaped = true;
            gathered.append(piece, stop);
            stop = escape(stop + 1, gathered);
            piece = stop;
        }
        at_ = stop + 1;
        if (!escaped) return decoded(start, (size_t) (stop - start));
        gathered.append(piece, stop);
        return decoded(gathered.data(), gathered.size());
    }

    // The character of the escape at p (after its backslash) added to
    // `out`; returns what follows the escape.
    const char *escape(const char *p, std::string &out) {
        if (p >= end_) refuse();
        switch (*p) {
            case '"': out += '"'; return p + 1;
            case '\\': out += '\\'; return p + 1;
            case '/': out += '/'; return p + 1;
            case 'b': out += '\b'; return p + 1;
            case 'f': out += '\f'; return p + 1;
            case 'n': out += '\n'; return p + 1;
            case 'r': out += '\r'; return p + 1;
            case 't': out += '\t'; return p + 1;
            case 'u': break;
            default: refuse();
        }
        unsigned code = hex4(p + 1);
        p += 5;
        if (code >= 0xDC00 && code <= 0xDFFF) refuse();  // a lone low surrogate
        if (code >= 0xD800 && code <= 0xDBFF) {
            // Only a pair makes one character; a lone half is left to json.loads.
            if (end_ - p < 6 || p[0] != '\\' || p[1] != 'u') refuse();
            const unsigned low = hex4(p + 2);
            if (low < 0xDC00 || low > 0xDFFF) refuse();
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            p += 6;
        }
        append_utf8(out, code);
        return p;
    }

    unsigned hex4(const char *p) const {
        if (end_ - p < 4) refuse();
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(p[i]);
            if (digit < 0) refuse();
            code = code << 4 | (unsigned) digit;
        }
        return code;
    }

    struct NumberShape {
        bool negative = false;
        bool is_float = false;
        Py_ssize_t int_digits = 0;
    };

    // Reads past a number as json.loads reads it,
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?, refusing anything else.
    NumberShape number_shape() {
        NumberShape shape;
        const char *start = at_, *p = at_;
        shape.negative = *p == '-';
        if (shape.negative) ++p;
        if (p >= end_ || !is_digit(*p)) refuse();
        if (*p == '0') {
            ++p;
        } else {
            while (p < end_ && is_digit(*p)) ++p;
        }
        shape.int_digits = p - start - (shape.negative ? 1 : 0);
        if (p < end_ && *p == '.') {
            ++p;
            if (p >= end_ || !is_digit(*p)) refuse();
            while (p < end_ && is_digit(*p)) ++p;
            shape.is_float = true;
        }
        if (p < end_ && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end_ && (*p == '+' || *p == '-')) ++p;
            if (p >= end_ || !is_digit(*p)) refuse();
            while (p < end_ && is_digit(*p)) ++p;
            shape.is_float = true;
        }
        at_ = p;
        return shape;
    }

    // The number: an int without fraction and exponent, a float (Python's
    // own rounding) with either.
    nb::object number() {
        const char *start = at_;
        const NumberShape shape = number_shape();
        const char *p = at_;
        const bool negative = shape.negative, is_float = shape.is_float;
        if (!is_float && shape.int_digits <= 18) {
            long long value = 0;
            for (const char *d = start + (negative ? 1 : 0); d < p; ++d) value = value * 10 + (*d - '0');
            return own(PyLong_FromLongLong(negative ? -value : value));
        }
        const std::string literal(start, p);
        if (is_float) {
            const double value = PyOS_string_to_double(literal.c_str(), nullptr, nullptr);
            if (value == -1.0 && PyErr_Occurred()) raise_current();
            // Beyond the float range (json.loads gives an infinity): refused
            // as orjson refuses it, so that both count such a text alike.
            if (std::isinf(value)) refuse();
            return own(PyFloat_FromDouble(value));
        }
        PyObject *value = PyLong_FromString(literal.c_str(), nullptr, 10);
        if (!value) {
            // Beyond the interpreter's digit limit: json.loads says so itself.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_current();
            PyErr_Clear();
            refuse();
        }
        return nb::steal(value);
    }
};

}  // namespace

nb::object parse(const char *p, Py_ssize_t size, Py_ssize_t max_depth) {
    // A byte order mark is json.loads' to refuse.
    if (size >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) return {};
    try {
        return Parser(p, size, max_depth).document();
    } catch (Refused &) {
        return {};
    }
}

}  // namespace qv::modal::answer_json
