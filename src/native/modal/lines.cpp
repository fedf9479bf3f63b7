#include "modal/lines.hpp"

#include "runtime/module.hpp"
#include "runtime/object.hpp"

#include <cstring>

#include "modal/exchange.hpp"
#include "modal/fast_json.hpp"
#include "modal/fast_paths.hpp"

namespace qv::modal {

void LineSplitter::push(nb::handle block) {
    if (PyBytes_GET_SIZE(block.ptr()) == 0) return;
    block_ = nb::borrow(block);
    pos_ = 0;
    if (skip_newline_ && PyBytes_AS_STRING(block.ptr())[0] == '\n') pos_ = 1;
    skip_newline_ = false;
}

bool LineSplitter::next(const char *&data, Py_ssize_t &size) {
    if (pending_taken_) {
        pending_taken_ = false;
        pending_.clear();
        // The buffer of a long line is not kept at its peak size.
        if (pending_.capacity() > 256 * 1024) std::string().swap(pending_);
    }
    if (!block_.is_valid()) return false;
    const Py_ssize_t total = PyBytes_GET_SIZE(block_.ptr());
    if (pos_ >= total) {
        block_.reset();
        return false;
    }
    const char *start = PyBytes_AS_STRING(block_.ptr()) + pos_;
    const Py_ssize_t left = total - pos_;
    const char *const limit = start + left;
    // The first \n, then a \r before it if any: both searches are memchr.
    const char *end = (const char *) std::memchr(start, '\n', (size_t) left);
    if (!end) end = limit;
    if (const char *cr = (const char *) std::memchr(start, '\r', (size_t) (end - start))) end = cr;
    if (end == limit) {
        pending_.append(start, (size_t) left);
        block_.reset();
        return false;
    }
    const Py_ssize_t length = end - start;
    pos_ += length + 1;
    if (*end == '\r') {
        if (end + 1 < limit) {
            if (end[1] == '\n') ++pos_;
        } else {
            skip_newline_ = true;
        }
    }
    if (pending_.empty()) {
        data = start;
        size = length;
    } else {
        pending_.append(start, (size_t) length);
        pending_taken_ = true;
        data = pending_.data();
        size = (Py_ssize_t) pending_.size();
    }
    return true;
}

bool LineSplitter::rest(const char *&data, Py_ssize_t &size) {
    if (pending_taken_ || pending_.empty()) return false;
    pending_taken_ = true;
    data = pending_.data();
    size = (Py_ssize_t) pending_.size();
    return true;
}

int LineSplitter::traverse(visitproc visit, void *arg) const {
    if (block_.ptr()) Py_VISIT(block_.ptr());
    return 0;
}

void LineSource::open(nb::handle body) {
    native_ = fast::native_lines.taken_if([&] { return truthy(get_attr(body, names::splittable)); });
    source_ = own(PyObject_GetIter(call_method(body, native_ ? names::blocks : names::lines).ptr()));
}

bool LineSource::next() {
    line_.reset();
    if (native_) {
        for (;;) {
            if (splitter_.next(data_, size_)) return true;
            if (!take_block()) return splitter_.rest(data_, size_);
        }
    }
    PyObject *raw = into_python([&] { return PyIter_Next(source_.ptr()); });
    if (!raw) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    line_ = nb::steal(raw);
    return true;
}

nb::object LineSource::line_object() {
    if (!line_.is_valid()) line_ = own(PyBytes_FromStringAndSize(data_, size_));
    return line_;
}

// The next block of the body, handed to the splitter; false at the end
// of the body.
bool LineSource::take_block() {
    PyObject *raw = into_python([&] { return PyIter_Next(source_.ptr()); });
    if (!raw) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    nb::object block = nb::steal(raw);
    if (!PyBytes_Check(block.ptr()))
        raise_format(PyExc_TypeError, "the body gave %.200s, not bytes", Py_TYPE(block.ptr())->tp_name);
    splitter_.push(block);
    return true;
}

int LineSource::traverse(visitproc visit, void *arg) const {
    if (source_.ptr()) Py_VISIT(source_.ptr());
    if (line_.ptr()) Py_VISIT(line_.ptr());
    return splitter_.traverse(visit, arg);
}

}  // namespace qv::modal
