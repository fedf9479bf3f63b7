// `_PushDecoder`: one exchange's answer decoded from the blocks of its body
// as they arrive, whoever reads them; `_call_guard`: one call of an instance
// held across awaits.  Both are small native types over the decoder and the
// turn rules the synchronous paths use (answer_decoder.hpp, turn.hpp).
#include <memory>
#include <string>

#include "modal/answer_decoder.hpp"
#include "modal/lines.hpp"
#include "modal/private_api.hpp"
#include "modal/turn.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

namespace n = names;

Held push_decoder_type_ref, call_guard_type_ref;

// ---- _PushDecoder -----------------------------------------------------------------

struct PushState {
    nb::object model;
    bool stream = false;
    bool finished = false;
    bool busy = false;  // a feed or finish is running (Python code it calls may re-enter)
    AnswerDecoder decoder;
    LineSplitter splitter;
    std::string body;  // a whole answer's bytes so far
};

struct PushDecoder {
    PyObject_HEAD
    PushState *state;
};

PushState &state_of(PyObject *self) {
    PushState *state = ((PushDecoder *) self)->state;
    if (!state) raise_format(PyExc_ValueError, "this decoder has been cleared");
    return *state;
}

// Marks the decoder busy for one feed or finish.
class Busy {
public:
    explicit Busy(PushState &state) : state_(state) {
        if (state.busy) raise_format(PyExc_RuntimeError, "this decoder is already decoding");
        if (state.finished) raise_format(PyExc_ValueError, "this decoder has finished");
        state.busy = true;
    }
    ~Busy() { state_.busy = false; }

private:
    PushState &state_;
};

void append_record(nb::handle records, const nb::object &record) {
    if (record.is_valid()) check(PyList_Append(records.ptr(), record.ptr()));
}

// The records a line or the end made beyond the one returned.
void append_queued(nb::handle records, AnswerDecoder &decoder) {
    while (nb::object record = decoder.queued()) append_record(records, record);
}

PyObject *push_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return boundary([&] {
        static const char *keywords[] = {"model", "stream", nullptr};
        PyObject *model, *stream;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_PushDecoder", (char **) keywords, &model, &stream))
            raise_current();
        auto state = std::make_unique<PushState>();
        state->model = nb::borrow(model);
        state->stream = truthy(stream);
        if (state->stream) state->decoder.bind_stream(model);
        auto *self = (PushDecoder *) type->tp_alloc(type, 0);
        if (!self) raise_current();
        self->state = state.release();
        return nb::steal((PyObject *) self);
    });
}

PyObject *push_feed(PyObject *self, PyObject *block) {
    return boundary([&] {
        PushState &state = state_of(self);
        if (!PyBytes_Check(block)) raise_format(PyExc_TypeError, "feed() takes bytes, not %.200s", Py_TYPE(block)->tp_name);
        Busy busy(state);
        nb::object records = own(PyList_New(0));
        if (!state.stream) {
            state.body.append(PyBytes_AS_STRING(block), (size_t) PyBytes_GET_SIZE(block));
            return records;
        }
        if (state.decoder.done()) return records;
        state.splitter.push(block);
        const char *p;
        Py_ssize_t size;
        while (!state.decoder.done() && state.splitter.next(p, size)) {
            append_record(records, state.decoder.line(p, size));
            append_queued(records, state.decoder);
        }
        return records;
    });
}

PyObject *push_finish(PyObject *self, PyObject *) {
    return boundary([&] {
        PushState &state = state_of(self);
        Busy busy(state);
        state.finished = true;
        nb::object records = own(PyList_New(0));
        if (state.stream) {
            const char *p;
            Py_ssize_t size;
            if (!state.decoder.done() && state.splitter.rest(p, size)) append_record(records, state.decoder.line(p, size));
            append_queued(records, state.decoder);
            // A body that was one whole answer gives its records only now.
            nb::object last = state.decoder.end_of_stream();
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(last.ptr()); ++i) append_record(records, nb::borrow(PyList_GET_ITEM(last.ptr(), i)));
            append_queued(records, state.decoder);
            return records;
        }
        nb::object body = own(PyBytes_FromStringAndSize(state.body.data(), (Py_ssize_t) state.body.size()));
        std::string().swap(state.body);
        WholeMessage message = state.decoder.whole(state.model, fast_json::body_document(body));
        append_record(records, message.record(global(n::LLMResult), status_member(n::idle)));
        return records;
    });
}

PyObject *push_done(PyObject *self, void *) {
    return boundary([&] { return nb::bool_(state_of(self).decoder.done()); });
}
PyObject *push_finished(PyObject *self, void *) {
    return boundary([&] { return nb::bool_(state_of(self).decoder.finished()); });
}
PyObject *push_already_added(PyObject *self, void *) {
    return boundary([&] { return nb::bool_(state_of(self).decoder.already_added()); });
}
PyObject *push_usage(PyObject *self, void *) {
    return boundary([&] {
        nb::handle usage = state_of(self).decoder.usage();
        return nb::borrow(usage.is_valid() ? usage : nb::none());
    });
}

int push_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    PushState *state = ((PushDecoder *) self)->state;
    if (!state) return 0;
    if (state->model.ptr()) Py_VISIT(state->model.ptr());
    if (int rc = state->decoder.traverse(visit, arg)) return rc;
    return state->splitter.traverse(visit, arg);
}

int push_clear(PyObject *self) {
    auto *d = (PushDecoder *) self;
    // Never while a feed is running: its frames still use the state.
    if (d->state && !d->state->busy) {
        PushState *state = d->state;
        d->state = nullptr;
        delete state;
    }
    return 0;
}

void push_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    delete ((PushDecoder *) self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef push_methods[] = {
    {"feed", push_feed, METH_O,
     "feed($self, block, /)\n--\n\nDecodes the lines this block of the body completes; returns their reason and "
     "answer records (none for a whole answer, which is decoded by finish())."},
    {"finish", push_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nThe end of the body: decodes what is left and returns its records (a whole "
     "answer's idle record, tools not run)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef push_getset[] = {
    {"done", push_done, nullptr,
     "The finishing chunk or [DONE] (or, awaited with stream_usage on, the usage chunk) has been read: read no "
     "further.",
     nullptr},
    {"finished", push_finished, nullptr,
     "The finishing chunk has been read.  While done is still false the usage chunk is awaited: read on for at "
     "most 2 s, then call finish().",
     nullptr},
    {"already_added", push_already_added, nullptr, "This exchange has put answer text into the history.", nullptr},
    {"usage", push_usage, nullptr, "The last usage object the answer carried, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- _call_guard -----------------------------------------------------------------------

struct CallGuard {
    PyObject_HEAD
    PyObject *model;
    bool entered;
};

PyObject *guard_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    return boundary([&] {
        static const char *keywords[] = {"model", nullptr};
        PyObject *model;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_call_guard", (char **) keywords, &model)) raise_current();
        auto *self = (CallGuard *) type->tp_alloc(type, 0);
        if (!self) raise_current();
        self->model = Py_NewRef(model);
        self->entered = false;
        return nb::steal((PyObject *) self);
    });
}

PyObject *guard_enter(PyObject *self, PyObject *) {
    return boundary([&] {
        auto *g = (CallGuard *) self;
        if (g->entered || !g->model) raise_format(PyExc_RuntimeError, "this call guard is already in use");
        turn::enter_guarded(g->model, g);
        g->entered = true;
        return nb::borrow(self);
    });
}

PyObject *guard_exit(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return boundary([&] {
        auto *g = (CallGuard *) self;
        if (g->entered) {
            g->entered = false;
            turn::leave_guarded(g->model, g);
            // A call cut short by something outside the Exception family
            // (cancellation, KeyboardInterrupt) leaves no tool calls behind.
            PyObject *value = nargs >= 2 ? args[1] : Py_None;
            if (PyExceptionInstance_Check(value) && !PyErr_GivenExceptionMatches(value, PyExc_Exception))
                call_method(g->model, n::reset);
        }
        return nb::object(nb::borrow(Py_False));
    });
}

int guard_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((CallGuard *) self)->model);
    return 0;
}

void guard_release(CallGuard *g) {
    if (g->entered && g->model) turn::leave_guarded(g->model, g);
    g->entered = false;
}

int guard_clear(PyObject *self) {
    auto *g = (CallGuard *) self;
    guard_release(g);
    Py_CLEAR(g->model);
    return 0;
}

void guard_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    guard_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef guard_methods[] = {
    {"__enter__", guard_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nMarks the instance as running this call."},
    {"__exit__", (PyCFunction) (void (*)(void)) guard_exit, METH_FASTCALL,
     "__exit__($self, exc_type, exc, tb, /)\n--\n\nReleases the instance."},
    {nullptr, nullptr, 0, nullptr},
};

nb::object make_type(const char *name, int size, PyType_Slot *slots) {
    PyType_Spec spec = {name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return own(PyType_FromModuleAndSpec(module_object(), &spec, nullptr));
}

}  // namespace

void define_private_types() {
    static std::string push_name = std::string(module_name()) + "._PushDecoder";
    static std::string guard_name = std::string(module_name()) + "._call_guard";
    static PyType_Slot push_slots[] = {
        {Py_tp_new, (void *) push_new},
        {Py_tp_dealloc, (void *) push_dealloc},
        {Py_tp_traverse, (void *) push_traverse},
        {Py_tp_clear, (void *) push_clear},
        {Py_tp_methods, push_methods},
        {Py_tp_getset, push_getset},
        {Py_tp_doc, (void *) "_PushDecoder(model, stream)\n--\n\nOne exchange's answer decoded from the blocks of "
                             "its body, fed as they arrive."},
        {0, nullptr},
    };
    static PyType_Slot guard_slots[] = {
        {Py_tp_new, (void *) guard_new},
        {Py_tp_dealloc, (void *) guard_dealloc},
        {Py_tp_traverse, (void *) guard_traverse},
        {Py_tp_clear, (void *) guard_clear},
        {Py_tp_methods, guard_methods},
        {Py_tp_doc, (void *) "_call_guard(model)\n--\n\nOne call of the instance, held from __enter__ to __exit__ "
                             "(across awaits): any other call meanwhile is refused with RuntimeError."},
        {0, nullptr},
    };
    push_decoder_type_ref.set(make_type(push_name.c_str(), (int) sizeof(PushDecoder), push_slots));
    call_guard_type_ref.set(make_type(guard_name.c_str(), (int) sizeof(CallGuard), guard_slots));
    set_global("_PushDecoder", push_decoder_type_ref.h());
    set_global("_call_guard", call_guard_type_ref.h());
}

}  // namespace qv::modal
