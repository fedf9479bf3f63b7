#include "modal/think_tags.hpp"

#include <algorithm>

namespace qv::modal {
namespace {

inline Name open_tag{"<think>"};
inline Name close_tag{"</think>"};
constexpr Py_ssize_t open_length = 7, close_length = 8;

Py_ssize_t length(nb::handle text) { return PyUnicode_GET_LENGTH(text.ptr()); }

// text[start:end]; a null object when empty.
nb::object slice(nb::handle text, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start) return {};
    if (start == 0 && end == length(text)) return nb::borrow(text);
    return own(PyUnicode_Substring(text.ptr(), start, end));
}

// The first position at or after `start` that is not a blank.
Py_ssize_t skip_blanks(nb::handle text, Py_ssize_t start) {
    const int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    Py_ssize_t i = start;
    while (i < length(text) && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
    return i;
}

// Whether text[start:] and the tag agree over the shorter of the two.
bool agrees_with(nb::handle text, Py_ssize_t start, const Name &tag, Py_ssize_t tag_length) {
    const Py_ssize_t n = std::min(length(text) - start, tag_length);
    nb::object head = own(PyUnicode_Substring(tag.ptr(), 0, n));
    return check((int) PyUnicode_Tailmatch(text.ptr(), head.ptr(), start, start + n, -1)) == 1;
}

// The length of the longest end of `text` that could begin "</think>"
// (shorter than the tag: the whole tag would have been found).
Py_ssize_t partial_close_at_end(nb::handle text) {
    for (Py_ssize_t n = std::min(length(text), close_length - 1); n > 0; --n)
        if (agrees_with(text, length(text) - n, close_tag, close_length)) return n;
    return 0;
}

}  // namespace

ThinkTags::Split ThinkTags::feed(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) return {{}, nb::borrow(text)};
    if (state_ == State::answer) return {{}, length(text) ? nb::borrow(text) : nb::object()};
    nb::object piece = nb::borrow(text);
    if (held_.is_valid()) piece = own(PyUnicode_Concat(held_.ptr(), piece.ptr()));
    held_.reset();
    return scan(std::move(piece));
}

ThinkTags::Split ThinkTags::scan(nb::object text) {
    Split out;
    Py_ssize_t at = 0;
    if (state_ == State::opening) {
        const Py_ssize_t first = skip_blanks(text, 0);
        if (first < length(text) && !agrees_with(text, first, open_tag, open_length)) {
            // No tag: the answer starts here, blanks included.
            state_ = State::answer;
            out.content = slice(text, 0, length(text));
            return out;
        }
        if (length(text) - first < open_length) {
            held_ = slice(text, 0, length(text));
            return out;
        }
        state_ = State::inside;
        at = first + open_length;
    }
    if (state_ == State::inside) {
        const Py_ssize_t end = PyUnicode_Find(text.ptr(), close_tag.ptr(), at, length(text), 1);
        if (end == -2) raise_current();
        if (end < 0) {
            const Py_ssize_t partial = partial_close_at_end(text);
            out.reasoning = slice(text, at, length(text) - partial);
            held_ = slice(text, length(text) - partial, length(text));
            return out;
        }
        out.reasoning = slice(text, at, end);
        state_ = State::after;
        at = end + close_length;
    }
    if (state_ == State::after) {
        at = skip_blanks(text, at);
        if (at == length(text)) return out;
        state_ = State::answer;
    }
    out.content = slice(text, at, length(text));
    return out;
}

ThinkTags::Split ThinkTags::finish() {
    Split out;
    nb::object held = std::move(held_);
    held_.reset();
    if (!held.is_valid()) return out;
    if (state_ == State::inside)
        out.reasoning = std::move(held);
    else
        out.content = std::move(held);
    return out;
}

}  // namespace qv::modal
